#include <gtest/gtest.h>

#include "ui/progress_text.h"

namespace tessaline {
namespace {

TEST(ProgressText, ShowsSizesRateAndTimeRemaining) {
  EXPECT_EQ(ProgressPercent(121034844, 288178201), 41);
  EXPECT_EQ(ProgressText(288178201, 121034844, 0, 18.0),
            L"115.4 of 274.8 MB  \u00B7  6.4 MB/s  \u00B7  about 24 seconds remaining");
}

TEST(ProgressText, CountsOnlyBytesFetchedInThisRunTowardsTheRate) {
  // Resumed with 100 MiB on disk and nothing new yet: no rate, no estimate.
  EXPECT_EQ(ProgressText(200 << 20, 100 << 20, 100 << 20, 5.0), L"100.0 of 200.0 MB  \u00B7  0.0 MB/s");
  // A counter that fell below its start value (a discarded part) is not a negative rate.
  EXPECT_EQ(ProgressText(200 << 20, 50 << 20, 100 << 20, 5.0), L"50.0 of 200.0 MB  \u00B7  0.0 MB/s");
  EXPECT_EQ(ProgressText(200 << 20, 150 << 20, 100 << 20, 10.0),
            L"150.0 of 200.0 MB  \u00B7  5.0 MB/s  \u00B7  about 10 seconds remaining");
}

TEST(ProgressText, DropsTheEstimateOnceEverythingIsThere) {
  EXPECT_EQ(ProgressPercent(300, 300), 100);
  EXPECT_EQ(ProgressPercent(301, 300), 100);
  EXPECT_EQ(ProgressText(3 << 20, 3 << 20, 0, 3.0), L"3.0 of 3.0 MB  \u00B7  1.0 MB/s");
}

TEST(ProgressText, NeverDividesByLessThanATenthOfASecond) {
  EXPECT_DOUBLE_EQ(ElapsedSeconds(1'000'000, 1'000'000), 0.1);
  EXPECT_DOUBLE_EQ(ElapsedSeconds(50'000'000, 0), 0.1);
  EXPECT_DOUBLE_EQ(ElapsedSeconds(2'500'000'000, 500'000'000), 2.0);
  EXPECT_EQ(ProgressText(10 << 20, 1 << 20, 0, ElapsedSeconds(0, 0)),
            L"1.0 of 10.0 MB  \u00B7  10.0 MB/s  \u00B7  about 0 seconds remaining");
}

TEST(ProgressText, TruncatesTheRemainingSeconds) {
  // 1.5 MiB left at 1 MiB/s: "about 1", not 2.
  EXPECT_EQ(ProgressText(3 << 20, (3 << 20) / 2, 0, 1.5),
            L"1.5 of 3.0 MB  \u00B7  1.0 MB/s  \u00B7  about 1 seconds remaining");
}

}  // namespace
}  // namespace tessaline
