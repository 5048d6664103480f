#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <array>
#include <cstdint>
#include <string>

#include "common/setup_error.h"
#include "common/unique_handle.h"
#include "trust/digest.h"
#include "windows_test_support.h"

namespace tessaline {
namespace {

using testing::ScratchFolder;
using testing::WriteBytes;

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Sha256Hex(const std::string& data) { return HexLower(Sha256(data.data(), data.size())); }

std::string ErrorOf(const std::filesystem::path& path) {
  try {
    FileSha256Hex(path);
  } catch (const SetupError& e) {
    return e.what();
  }
  return "no error";
}

TEST(Sha256, MatchesThePublishedVectors) {
  EXPECT_EQ(Sha256Hex(""), kEmptyDigest);
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Sha256(nullptr, 0), Sha256("", 0));
}

TEST(HexLower, PadsEveryByteToTwoLowerCaseDigits) {
  const std::array<std::uint8_t, 4> bytes = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(HexLower(bytes), "000fa0ff");
  EXPECT_EQ(HexLower(nullptr, 0), "");
}

TEST(FileSha256Hex, HashesWholeFilesAndRefusesWhatCannotBeRead) {
  ScratchFolder folder;
  WriteBytes(folder / L"empty.bin", "");
  EXPECT_EQ(FileSha256Hex(folder / L"empty.bin"), kEmptyDigest);

  // Larger than one read of the reader, with zero bytes inside.
  std::string large(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + (i >> 11));
  WriteBytes(folder / L"large.bin", large);
  EXPECT_EQ(FileSha256Hex(folder / L"large.bin"), Sha256Hex(large));
  // Small files are still read whole, into one buffer of the file's size and
  // a read's room: a buffer grown on the way would double the memory.
  const std::vector<std::uint8_t> read = ReadSetupFile(folder / L"large.bin");
  EXPECT_EQ(read.size(), large.size());
  EXPECT_LE(read.capacity(), large.size() + (1U << 20));

  // Past 4 GiB, where a 32-bit length would wrap: sparse, so only its two
  // written ends take room. The digest is of an identical file made on Linux:
  //   truncate -s 4294971393 f; printf start | dd of=f conv=notrunc
  //   printf end | dd of=f bs=1 seek=4294971390 conv=notrunc; sha256sum f
  {
    const auto huge = folder / L"huge.bin";
    UniqueFile file(CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.Valid());
    // Without the flag NTFS would write out the zeros in between.
    DWORD ignored = 0;
    DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), "start", 5, &written, nullptr));
    LARGE_INTEGER at{};
    at.QuadPart = 4294971390LL;
    ASSERT_TRUE(SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(file.Get(), "end", 3, &written, nullptr));
    ASSERT_TRUE(SetEndOfFile(file.Get()));
  }
  EXPECT_EQ(FileSha256Hex(folder / L"huge.bin"), "967122a55ce2804c93c911faee1d51f1893310d7db804ea29ed5d87c49296f0b");

  EXPECT_EQ(ErrorOf(folder / L"missing.bin"), "Unable to read a setup file");
  EXPECT_EQ(ErrorOf(folder.Path()), "Unable to read a setup file");
}

TEST(ReadSetupFile, ReadsAFileThatAnotherProcessHoldsOpenForWriting) {
  ScratchFolder folder;
  const auto path = folder / L"held.bin";
  // A writer that shares reading and writing but not deletion, like a
  // download still in progress in another copy of Setup.
  UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer.Valid());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writer.Get(), "abc", 3, &written, nullptr));
  EXPECT_EQ(FileSha256Hex(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // And the reader does not lock others out while it holds the file.
  UniqueFile reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.Valid());
  EXPECT_EQ(ReadSetupFile(path).size(), 3U);
}

}  // namespace
}  // namespace tessaline
