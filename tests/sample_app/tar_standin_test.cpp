// The tar stand-in as Setup runs it (tar -xf <archive> -C <folder>), on
// archives made by GNU tar and bsdtar: what it writes, byte for byte, what
// it refuses, and that a refused or damaged archive writes nothing outside
// the target folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "windows_test_support.h"

namespace tessaline {
namespace {

using testing::ReadBytes;
using testing::RunProcess;
using testing::ScratchFolder;
using testing::TestExecutableFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

fs::path TarExecutable() { return TestExecutableFolder() / L"tools" / L"tar.exe"; }
fs::path Fixture(const std::wstring& name) { return TestExecutableFolder() / L"fixtures" / L"tar" / name; }

// Relative path -> file bytes, or nullopt for a folder.
using Tree = std::map<std::wstring, std::optional<std::string>>;

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::wstring relative = entry.path().lexically_relative(root).generic_wstring();
    if (entry.is_directory()) {
      tree[relative] = std::nullopt;
    } else {
      tree[relative] = ReadBytes(entry.path());
    }
  }
  return tree;
}

class TarStandin : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(target); }

  DWORD Run(const std::vector<std::wstring>& arguments) { return RunProcess(TarExecutable(), arguments); }
  DWORD Extract(const std::wstring& archive) {
    return Run({L"-xf", Fixture(archive + L".tar.gz").native(), L"-C", target.native()});
  }

  // Nothing but the target folder may appear beside it, nor at the roots an
  // absolute or drive-qualified name would reach.
  void ExpectNothingOutsideTheTarget() {
    std::vector<std::wstring> beside;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch.Path())) {
      beside.push_back(entry.path().filename());
    }
    EXPECT_EQ(beside, std::vector<std::wstring>{L"target"});
    for (const fs::path& root : {target.root_path(), fs::current_path().root_path(), fs::path(L"C:\\")}) {
      EXPECT_FALSE(fs::exists(root / L"abs.txt")) << root;
      EXPECT_FALSE(fs::exists(root / L"escape.txt")) << root;
    }
  }

  ScratchFolder scratch;
  fs::path target = scratch / L"target";
};

class GoodArchive : public TarStandin, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(GoodArchive, ExtractsEveryFileAndFolderByteForByte) {
  if (!fs::exists(Fixture(std::wstring(GetParam()) + L".tar.gz"))) GTEST_SKIP() << "no writer for this format";
  ASSERT_EQ(Extract(GetParam()), 0U);
  const Tree extracted = ReadTree(target);
  EXPECT_EQ(extracted, ReadTree(Fixture(L"tree")));
  // Independent of how Wine shows the fixture tree's own names.
  EXPECT_EQ(extracted.at(L"app/\u00DCn\u00EFc\u00F8d\u00E9 \u540D\u524D.txt"), "non-ASCII name");
  EXPECT_EQ(extracted.at(L"app/empty-folder"), std::nullopt);
  EXPECT_GT(extracted.at(L"app/large.bin")->size(), 1024U * 1024U);
  ExpectNothingOutsideTheTarget();
}

INSTANTIATE_TEST_SUITE_P(Formats, GoodArchive,
                         ::testing::Values(L"good-pax", L"good-ustar", L"good-gnu", L"good-bsdtar"),
                         [](const auto& info) {
                           std::string name;
                           for (const wchar_t* c = info.param; *c != 0; ++c) {
                             if (*c != L'-') name += static_cast<char>(*c);
                           }
                           return name;
                         });

class HostileArchive : public TarStandin, public ::testing::WithParamInterface<const wchar_t*> {};

// Each archive holds a harmless inside.txt first, then the bad entry.
TEST_P(HostileArchive, IsRefusedAfterTheEntriesBeforeItAndWritesNothingOutside) {
  EXPECT_EQ(Extract(GetParam()), 1U);
  EXPECT_EQ(ReadTree(target), (Tree{{L"inside.txt", "inside\n"}}));
  ExpectNothingOutsideTheTarget();
}

INSTANTIATE_TEST_SUITE_P(Names, HostileArchive,
                         ::testing::Values(L"escape-dotdot", L"escape-absolute", L"escape-drive",
                                           L"escape-backslash", L"symlink", L"hardlink"),
                         [](const auto& info) {
                           std::string name;
                           for (const wchar_t* c = info.param; *c != 0; ++c) {
                             if (*c != L'-') name += static_cast<char>(*c);
                           }
                           return name;
                         });

TEST_F(TarStandin, TruncatedArchiveFailsAndLeavesNoCutOffFile) {
  EXPECT_EQ(Extract(L"truncated"), 1U);
  EXPECT_TRUE(ReadTree(target).empty());
  ExpectNothingOutsideTheTarget();
}

TEST_F(TarStandin, HeaderChecksumMismatchStopsAtThatEntry) {
  EXPECT_EQ(Extract(L"bad-checksum"), 1U);
  EXPECT_EQ(ReadTree(target), (Tree{{L"first.txt", "first\n"}}));
}

TEST_F(TarStandin, WrongGzipChecksumFails) { EXPECT_EQ(Extract(L"bad-crc"), 1U); }

TEST_F(TarStandin, SomethingThatIsNotGzipFailsWithoutWriting) {
  EXPECT_EQ(Extract(L"not-gzip"), 1U);
  EXPECT_TRUE(ReadTree(target).empty());
}

TEST_F(TarStandin, MissingArchiveOrTargetFolderFails) {
  EXPECT_EQ(Extract(L"no-such-archive"), 1U);
  const fs::path missing = scratch / L"missing";
  EXPECT_EQ(Run({L"-xf", Fixture(L"small.tar.gz").native(), L"-C", missing.native()}), 1U);
  EXPECT_FALSE(fs::exists(missing));
}

// Windows' tar.exe reads its arguments in the ANSI code page (1252 on the
// bench): a folder named with a letter from it is reached, one named in
// another script is not, whatever Wine could have passed on.
TEST_F(TarStandin, ReadsItsArgumentsInTheAnsiCodePage) {
  const std::wstring representable = L"Zo\u00EB \u00D8rsted";
  const std::wstring foreign = L"\u674E";
  if (GetACP() != 1252) GTEST_SKIP() << "written for the ANSI code page 1252; this system has " << GetACP();
  const std::wstring archive = Fixture(L"small.tar.gz").native();
  for (const std::wstring& name : {representable, foreign}) fs::create_directories(target / name);

  EXPECT_EQ(Run({L"-xf", archive, L"-C", (target / representable).native()}), 0U);
  EXPECT_EQ(ReadBytes(target / representable / L"small.txt"), "small\n");
  EXPECT_EQ(Run({L"-xf", archive, L"-C", (target / foreign).native()}), 1U);
  EXPECT_FALSE(fs::exists(target / foreign / L"small.txt"));
}

TEST_F(TarStandin, ReplacesAFileOfTheSameNameButNotAFolder) {
  WriteBytes(target / L"small.txt", "an older and longer content");
  ASSERT_EQ(Extract(L"small"), 0U);
  EXPECT_EQ(ReadBytes(target / L"small.txt"), "small\n");

  fs::remove(target / L"small.txt");
  fs::create_directories(target / L"small.txt" / L"inner");
  EXPECT_EQ(Extract(L"small"), 1U);
  EXPECT_TRUE(fs::is_directory(target / L"small.txt" / L"inner"));
}

TEST_F(TarStandin, AcceptsTheUsualSpellingsOfExtract) {
  const std::wstring archive = Fixture(L"small.tar.gz").native();
  const std::wstring folder = target.native();
  const std::vector<std::vector<std::wstring>> spellings = {
      {L"-xf", archive, L"-C", folder},   {L"-x", L"-f", archive, L"-C", folder}, {L"xf", archive, L"-C", folder},
      {L"-C", folder, L"-xf", archive},   {L"-C", folder, L"-x", L"-f", archive},
  };
  for (std::size_t i = 0; i < spellings.size(); ++i) {
    fs::remove_all(target);
    fs::create_directories(target);
    EXPECT_EQ(Run(spellings[i]), 0U) << "case " << i;
    EXPECT_EQ(ReadTree(target), (Tree{{L"small.txt", "small\n"}})) << "case " << i;
  }
}

TEST_F(TarStandin, AnythingElseIsAUsageError) {
  const std::wstring archive = Fixture(L"small.tar.gz").native();
  const std::wstring folder = target.native();
  const std::vector<std::vector<std::wstring>> wrong = {
      {},
      {L"-xf", archive},
      {L"-f", archive, L"-C", folder},
      {L"-tf", archive, L"-C", folder},
      {L"-cf", archive, L"-C", folder},
      {L"-xzf", archive, L"-C", folder},
      {L"-fx", archive, L"-C", folder},
      {L"-xf", archive, L"-C"},
      {L"-xf", archive, L"-C", folder, L"small.txt"},
      {L"-xf", archive, L"-C", folder, L"-C", folder},
      {L"-xf", archive, L"-xf", archive, L"-C", folder},
      {L"--extract", L"--file", archive, L"-C", folder},
  };
  for (std::size_t i = 0; i < wrong.size(); ++i) {
    EXPECT_EQ(Run(wrong[i]), 2U) << "case " << i;
  }
  EXPECT_TRUE(ReadTree(target).empty());
}

}  // namespace
}  // namespace tessaline
