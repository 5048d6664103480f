// The download stage's threads: every thread that was started is joined, also
// when a later one cannot be started.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "common/install_session.h"
#include "common/setup_error.h"
#include "install/install_worker.h"

namespace tessaline {
namespace {

TEST(RunDownloadThreads, StopsAndJoinsTheStartedThreadsWhenOneCannotStart) {
  std::atomic<bool> cancelRequested{false};
  std::atomic<int> ended{0};
  const auto body = [&ended, &cancelRequested] {
    while (!cancelRequested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ++ended;
  };
  int starts = 0;
  const ThreadStarter failingSecond = [&starts](std::function<void()> run) {
    if (++starts == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(run));
  };
  try {
    RunDownloadThreads(3, body, failingSecond, cancelRequested);
    ADD_FAILURE() << "no failure reported";
  } catch (const SetupError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Unable to start the download: ", 0), 0U) << e.what();
  }
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(ended.load(), 1);  // the first thread ran to its end before the call returned
  EXPECT_TRUE(cancelRequested.load());
}

}  // namespace
}  // namespace tessaline
