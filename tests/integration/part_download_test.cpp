// DownloadPart against the test HTTPS server: reuse, resume, restart, retry,
// verification and cancellation, with the server's record as evidence.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>

#include "common/install_session.h"
#include "common/setup_error.h"
#include "test_server.h"
#include "transfer/part_download.h"
#include "trust/digest.h"

namespace tessaline {
namespace {

using namespace tessaline::testing;

class DownloadPartTest : public ::testing::Test {
 protected:
  ScratchFolder cache;
  InstallSession session;
  std::string content;
  PackagePart part;

  void SetUp() override {
    ResetServer();
    const std::string folder = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(ServerRoot() / Utf8ToWide(folder));
    Publish(folder, 1024 * 1024 + 123);
  }

  // Serves a part of `size` bytes under /<folder>/part.bin with the given fault prefix.
  void Publish(const std::string& folder, std::size_t size, const std::string& fault = "") {
    content = PatternBytes(size, static_cast<unsigned>(size));
    WriteBytes(ServerRoot() / Utf8ToWide(folder) / L"part.bin", content);
    part.name = "part.bin";
    part.size = content.size();
    part.sha256 = HexLower(Sha256(content.data(), content.size()));
    SetFault(fault);
  }
  void SetFault(const std::string& fault) {
    const std::string folder = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    part.url = ServerUrl((fault.empty() ? "" : "/fault/" + fault) + "/" + folder + "/part.bin");
  }

  std::filesystem::path File() const { return cache / L"part.bin"; }
  std::string FailureOfDownload() {
    try {
      DownloadPart(part, cache.Path(), session);
    } catch (const SetupError& e) {
      return e.what();
    }
    return "no failure";
  }
};

TEST_F(DownloadPartTest, FetchesAnAbsentPartWithoutARange) {
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].range, "");
  EXPECT_EQ(requests[0].userAgent, "TessalineSetup/0.1");
}

TEST_F(DownloadPartTest, ReusesAVerifiedPartWithoutConnecting) {
  WriteBytes(File(), content);
  session.progressCounters.bytesDone = content.size();  // counted before the download stage
  part.url = L"https://localhost:1/never-asked";
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
  EXPECT_TRUE(ServerRequests().empty());
}

TEST_F(DownloadPartTest, ReplacesACompleteLengthFileWithAWrongDigestInOneAttempt) {
  std::string wrong = content;
  wrong[10] ^= 0x55;
  WriteBytes(File(), wrong);
  session.progressCounters.bytesDone = content.size();
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].range, "");
}

TEST_F(DownloadPartTest, DiscardsAnOversizeFile) {
  WriteBytes(File(), content + "tail");
  session.progressCounters.bytesDone = content.size();
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
}

TEST_F(DownloadPartTest, ResumesAShortFileWithARangeRequest) {
  const std::size_t kept = 300000;
  WriteBytes(File(), content.substr(0, kept));
  session.progressCounters.bytesDone = kept;
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].range, "bytes=300000-");
  EXPECT_EQ(requests[0].status, 206);
  EXPECT_EQ(requests[0].bytesSent, content.size() - kept);
}

// Kept bytes are worthless only when the host sends the whole part instead
// (200) or says they do not fit its file (416): those restart at once. A busy
// host's answer is a failed attempt, and the next one resumes after them.
TEST_F(DownloadPartTest, DiscardsKeptBytesOnlyForTheWholePartOrARangeThatCannotBe) {
  const std::size_t kept = 4096;
  for (const auto& [fault, status, keeps] : {std::tuple{"ignore-range,times=1", 200, false},
                                             std::tuple{"status=416,times=1", 416, false},
                                             std::tuple{"status=503,times=1", 503, true},
                                             std::tuple{"status=429,times=1", 429, true}}) {
    SCOPED_TRACE(fault);
    ResetServer();
    WriteBytes(File(), content.substr(0, kept));
    session.progressCounters.bytesDone = kept;
    SetFault(fault);
    DownloadPart(part, cache.Path(), session);
    EXPECT_EQ(ReadBytes(File()), content);
    EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
    const auto requests = ServerRequests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].range, "bytes=4096-");
    EXPECT_EQ(requests[0].status, status);
    EXPECT_EQ(requests[1].range, keeps ? "bytes=4096-" : "");
  }
}

TEST_F(DownloadPartTest, ResumesAfterAConnectionLostMidBody) {
  SetFault("drop=500000,times=1");
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[0].range, "");
  EXPECT_EQ(requests[1].range, "bytes=500000-");
}

TEST_F(DownloadPartTest, StartsOverAfterWrongBytes) {
  SetFault("corrupt,times=1");
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[1].range, "");
}

TEST_F(DownloadPartTest, GivesUpAfterFourAttemptsWithTheLastFailure) {
  SetFault("status=404");
  EXPECT_EQ(FailureOfDownload(), "GitHub returned HTTP 404");
  EXPECT_EQ(ServerRequests().size(), 4U);
  EXPECT_FALSE(std::filesystem::exists(File()));

  ResetServer();
  SetFault("corrupt");
  EXPECT_EQ(FailureOfDownload(), "Downloaded part verification failed: part.bin");
  EXPECT_EQ(ServerRequests().size(), 4U);
}

TEST_F(DownloadPartTest, ReportsARangeRefusedOnTheLastAttempt) {
  // Attempts alternate: a dropped body leaves a short file, the next attempt's
  // range is ignored and restarts; the fourth attempt ends on such a restart.
  SetFault("drop=1000,ignore-range");
  EXPECT_EQ(FailureOfDownload(), "Package download could not be resumed: part.bin");
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 4U);
  EXPECT_EQ(requests[1].range, "bytes=1000-");
  EXPECT_EQ(requests[3].range, "bytes=1000-");
  EXPECT_FALSE(std::filesystem::exists(File()));
  EXPECT_EQ(session.progressCounters.bytesDone.load(), 0U);
}

std::uintmax_t SizeOrZero(const std::filesystem::path& file) {
  std::error_code absent;
  const std::uintmax_t size = std::filesystem::file_size(file, absent);
  return absent ? 0 : size;
}

TEST_F(DownloadPartTest, NeverWritesPastThePartsSize) {
  SetFault("endless");
  EXPECT_EQ(FailureOfDownload(), "Downloaded part verification failed: part.bin");
  EXPECT_LE(SizeOrZero(File()), part.size);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), 0U);
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 4U);
  for (const RecordedRequest& request : requests) EXPECT_LT(request.bytesSent, kEndlessBodyCap);

  // A body a little longer than the part: refused by its length, then fetched
  // again; the part is counted once.
  ResetServer();
  SetFault("extra=1000,times=1");
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size());
  EXPECT_EQ(ServerRequests().size(), 2U);
}

TEST_F(DownloadPartTest, RefusesARangeOtherThanTheRestOfThePart) {
  // Starting before the offset asked for, running past the part's end,
  // ending before it, or naming another total size: the attempt fails without
  // touching the kept bytes, and the next resumes.
  const std::string otherTotal = "range-total=" + std::to_string(part.size + 1) + ",times=1";
  for (const std::string fault :
       {"range-before=1000,times=1", "extra=1000,times=1", "range-short=1000,times=1", otherTotal.c_str()}) {
    ResetServer();
    const std::size_t kept = 300000;
    WriteBytes(File(), content.substr(0, kept));
    session.progressCounters.bytesDone = kept;
    SetFault(fault);
    DownloadPart(part, cache.Path(), session);
    EXPECT_EQ(ReadBytes(File()), content) << fault;
    EXPECT_EQ(session.progressCounters.bytesDone.load(), content.size()) << fault;
    const auto requests = ServerRequests();
    ASSERT_EQ(requests.size(), 2U) << fault;
    EXPECT_EQ(requests[0].status, 206) << fault;
    EXPECT_EQ(requests[1].range, "bytes=300000-") << fault;
  }
  // A range that does not name the total size is still the rest of the part.
  ResetServer();
  WriteBytes(File(), content.substr(0, 1000));
  session.progressCounters.bytesDone = 1000;
  SetFault("range-total=*");
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  EXPECT_EQ(ServerRequests().size(), 1U);
}

TEST_F(DownloadPartTest, FollowsARedirectAndResendsTheRange) {
  WriteBytes(File(), content.substr(0, 1000));
  session.progressCounters.bytesDone = 1000;
  SetFault(std::string("redirect=") + kMirrorHostAndPort);
  DownloadPart(part, cache.Path(), session);
  EXPECT_EQ(ReadBytes(File()), content);
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[1].range, "bytes=1000-");
  EXPECT_EQ(requests[1].status, 206);
}

TEST_F(DownloadPartTest, StopsWhenCancelledAndKeepsWhatWasWritten) {
  session.cancelRequested = true;
  EXPECT_EQ(FailureOfDownload(), "Installation cancelled");
  EXPECT_TRUE(ServerRequests().empty());

  session.cancelRequested = false;
  const std::string folder = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  Publish(folder, 48 * 1024 * 1024);
  std::thread canceller([this] {
    while (session.progressCounters.bytesDone.load() < 1024 * 1024) std::this_thread::yield();
    session.cancelRequested = true;
  });
  EXPECT_EQ(FailureOfDownload(), "Installation cancelled");
  canceller.join();
  const std::uintmax_t kept = std::filesystem::file_size(File());
  EXPECT_GE(kept, 1024U * 1024U);
  EXPECT_LT(kept, content.size());
  EXPECT_EQ(session.progressCounters.bytesDone.load(), kept);
  EXPECT_EQ(ServerRequests().size(), 1U);  // no further attempt
}

}  // namespace
}  // namespace tessaline
