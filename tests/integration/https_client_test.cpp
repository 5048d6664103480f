// FetchToMemory against the test HTTPS server over real TLS.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/setup_error.h"
#include "test_server.h"
#include "transfer/https_client.h"
#include "ui_driver.h"

namespace tessaline {
namespace {

using namespace tessaline::testing;

class FetchToMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetServer();
    std::filesystem::create_directories(ServerRoot() / L"fetch");
  }

  static constexpr std::size_t kLimit = 1024 * 1024;
  static std::string Fetch(const std::string& path, std::size_t limit = kLimit) {
    const std::vector<std::uint8_t> body = FetchToMemory(ServerUrl(path), limit, "Too large");
    return std::string(body.begin(), body.end());
  }
  static std::string FailureOf(const std::wstring& url, std::size_t limit = kLimit) {
    try {
      FetchToMemory(url, limit, "Too large");
    } catch (const SetupError& e) {
      return e.what();
    }
    return "no failure";
  }
};

TEST_F(FetchToMemoryTest, ReturnsTheWholeBodyAndSendsTheQueryAndUserAgent) {
  const std::string content = PatternBytes(300 * 1024 + 5, 1);  // several 64 KiB reads
  WriteBytes(ServerRoot() / L"fetch" / L"manifest", content);
  EXPECT_EQ(Fetch("/fetch/manifest?channel=stable&x=%20"), content);
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/fetch/manifest?channel=stable&x=%20");
  EXPECT_EQ(requests[0].userAgent, "TessalineSetup/0.1");
  EXPECT_EQ(requests[0].range, "");
}

TEST_F(FetchToMemoryTest, RefusesABodyLongerThanItsLimit) {
  const std::string content(1000, 'm');
  WriteBytes(ServerRoot() / L"fetch" / L"manifest", content);
  EXPECT_EQ(Fetch("/fetch/manifest", 1000), content);
  EXPECT_EQ(FailureOf(ServerUrl("/fetch/manifest"), 999), "Too large");
  // Refused by its announced length: the server stops when Setup does, long
  // before its own cap.
  EXPECT_EQ(FailureOf(ServerUrl("/fault/endless/fetch/manifest")), "Too large");
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 3U);
  EXPECT_LT(requests[2].bytesSent, kEndlessBodyCap);
}

TEST_F(FetchToMemoryTest, ReportsStatusesOutsideTheSuccessRange) {
  WriteBytes(ServerRoot() / L"fetch" / L"manifest", "{}");
  EXPECT_EQ(FailureOf(ServerUrl("/fetch/absent")), "Release service returned HTTP 404");
  EXPECT_EQ(FailureOf(ServerUrl("/fault/status=503/fetch/manifest")), "Release service returned HTTP 503");
  EXPECT_EQ(Fetch("/fault/status=204/fetch/manifest"), "");
}

TEST_F(FetchToMemoryTest, RefusesPlainHttpBeforeConnecting) {
  EXPECT_EQ(FailureOf(L"http://localhost:28444/fetch/manifest"), "Setup downloads require HTTPS");
  EXPECT_TRUE(ServerRequests().empty());
}

TEST_F(FetchToMemoryTest, RefusesACertificateFromAnUntrustedAuthority) {
  const std::string failure = FailureOf(std::wstring(kUntrustedOrigin) + L"/control/ping");
  EXPECT_EQ(failure.rfind("HTTPS request failed (Windows error ", 0), 0U) << failure;
}

TEST_F(FetchToMemoryTest, FollowsARedirectToAnotherLoopbackName) {
  WriteBytes(ServerRoot() / L"fetch" / L"manifest", "redirected body");
  EXPECT_EQ(Fetch(std::string("/fault/redirect=") + kMirrorHostAndPort + "/fetch/manifest"), "redirected body");
  const auto requests = ServerRequests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[1].path, "/fetch/manifest");
}

// A server that sends a byte now and then never trips a per-receive
// time-out: the whole exchange has a deadline, and a cancel ends it at once.
TEST_F(FetchToMemoryTest, EndsATricklingExchangeAtItsDeadlineOrAtACancel) {
  WriteBytes(ServerRoot() / L"fetch" / L"manifest", std::string(4096, 'm'));
  const std::wstring url = ServerUrl("/fault/trickle=100/fetch/manifest");
  const auto failureOf = [&](const ExchangeBounds& bounds) -> std::string {
    try {
      FetchToMemory(url, kLimit, "Too large", bounds);
    } catch (const SetupError& e) {
      return e.what();
    }
    return "no failure";
  };
  EXPECT_EQ(failureOf({std::chrono::seconds(2), nullptr, "Too slow"}), "Too slow");
  ResetServer();
  std::atomic<bool> cancel{false};
  std::thread canceller([&] {
    // Once bytes are arriving.
    WaitUntil([] {
      const auto requests = ServerRequests();
      return !requests.empty() && requests.front().bytesSent > 0;
    });
    cancel = true;
  });
  EXPECT_EQ(failureOf({std::chrono::minutes(10), &cancel, "Too slow"}), "Installation cancelled");
  canceller.join();
}

// An attempt may be slow, but a whole minute with less than a kilobyte ends it.
TEST(StallWatch, EndsAnAttemptOnlyAfterAWholeWindowBelowTheMinimum) {
  const auto start = StallWatch::Clock::now();
  StallWatch slow(start);
  slow.Received(kMinimumProgressBytes - 1, start + kProgressWindow - std::chrono::seconds(1));
  EXPECT_THROW(slow.Received(0, start + kProgressWindow), SetupError);
  StallWatch steady(start);
  for (int minute = 1; minute <= 3; ++minute) {
    EXPECT_NO_THROW(steady.Received(kMinimumProgressBytes, start + minute * kProgressWindow));
  }
  EXPECT_THROW(steady.Received(kMinimumProgressBytes - 1, start + 4 * kProgressWindow), SetupError);
}

TEST_F(FetchToMemoryTest, AnUnreachableServiceFailsTheRequest) {
  const std::string failure = FailureOf(L"https://localhost:1/manifest");
  EXPECT_EQ(failure.rfind("HTTPS request failed (Windows error ", 0), 0U) << failure;
}

}  // namespace
}  // namespace tessaline
