#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/setup_error.h"
#include "trust/lifecycle.h"
#include "trust/semantic_version.h"

namespace tessaline {
namespace {

std::string ParseFailure(const std::string& text) {
  try {
    ParseSemanticVersion(text);
  } catch (const SetupError& e) {
    return e.what();
  }
  return "accepted";
}

TEST(SemanticVersion, AcceptsTheGrammar) {
  for (const char* text : {"0.0.0", "1.2.3", "1.2.3-rc.1", "1.2.3-rc-1", "1.2.3-01", "1.2.3+build.7", "1.2.3+",
                           "1.2.3-alpha+exp.sha.5114f85", "18446744073709551615.0.0", "1.0.0+..\\..\\x"}) {
    EXPECT_NO_THROW(ParseSemanticVersion(text)) << text;
  }
  const SemanticVersion v = ParseSemanticVersion("18446744073709551615.20.3-alpha.01+x");
  EXPECT_EQ(v.major, 18446744073709551615ULL);
  EXPECT_EQ(v.minor, 20U);
  EXPECT_EQ(v.patch, 3U);
  EXPECT_EQ(v.prerelease, (std::vector<std::string>{"alpha", "01"}));
}

TEST(SemanticVersion, RefusesWithTheWholeText) {
  for (const char* text : {"", "1.2", "1.2.3.4", "v1.2.3", " 1.2.3", "01.2.3", "1.02.3", "1.2.03", "1.2.3-",
                           "1.2.3-a..b", "1.2.3-a.", "1.2.3-.a", "1.2.3-a_b", "1..3", "-1.2.3", "1.2.-3",
                           "18446744073709551616.0.0", "1.2.3 ", "1.2.x", "1.2.3-é"}) {
    EXPECT_EQ(ParseFailure(text), "Invalid Tessaline semantic version: " + std::string(text)) << text;
  }
  // The message carries the build part too.
  EXPECT_EQ(ParseFailure("1.2+meta"), "Invalid Tessaline semantic version: 1.2+meta");
}

TEST(SemanticVersion, PrecedenceFollowsTheRules) {
  const std::vector<std::string> ascending = {"1.0.0-alpha",  "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",
                                              "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1",       "1.0.0",
                                              "1.0.1",        "1.2.0",         "1.10.0",           "2.0.0"};
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      const int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(CompareSemanticVersions(ascending[i], ascending[j]), expected) << ascending[i] << " vs " << ascending[j];
    }
  }
  EXPECT_EQ(CompareSemanticVersions("1.0.0+a", "1.0.0+b"), 0);
  EXPECT_EQ(CompareSemanticVersions("1.0.0-01", "1.0.0-1"), 0);
  EXPECT_EQ(CompareSemanticVersions("1.0.0-A", "1.0.0-a"), -1);
  EXPECT_EQ(CompareSemanticVersions("1.0.0-alpha", "1.0.0-alpha-2"), -1);
  EXPECT_EQ(CompareSemanticVersions("1.0.0-2", "1.0.0-10"), -1);
  EXPECT_EQ(CompareSemanticVersions("1.0.0-99", "1.0.0-a"), -1);
  EXPECT_EQ(CompareSemanticVersions("18446744073709551615.0.0", "18446744073709551614.9.9"), 1);
}

TEST(SemanticVersion, HugeNumericPrereleaseFailsTheComparison) {
  EXPECT_THROW(CompareSemanticVersions("1.0.0-18446744073709551616", "1.0.0-1"), std::out_of_range);
  // Compared text that differs before it never converts the huge identifier.
  EXPECT_EQ(CompareSemanticVersions("1.0.0-a.18446744073709551616", "1.0.0-b.1"), -1);
  EXPECT_THROW(CompareSemanticVersions("x", "1.0.0"), SetupError);
}

TEST(Lifecycle, DecidesFromBothVersions) {
  struct Case {
    const char* installed;
    const char* available;
    LifecycleAction action;
  };
  const Case cases[] = {
      {"", "1.0.0", LifecycleAction::Install},
      {"1.0.0", "1.0.0", LifecycleAction::Repair},
      {"1.0.0+a", "1.0.0", LifecycleAction::Repair},
      {"1.2.0", "1.10.0", LifecycleAction::Update},
      {"1.0.0-rc.1", "1.0.0", LifecycleAction::Update},
      {"2.0.0", "1.9.9", LifecycleAction::BlockDowngrade},
      {"1.0.0", "1.0.0-rc.1", LifecycleAction::BlockDowngrade},
  };
  for (const Case& c : cases) {
    const LifecycleDecision d = DecideLifecycle(c.installed, c.available);
    EXPECT_EQ(d.action, c.action) << c.installed << " -> " << c.available;
    EXPECT_EQ(d.installedVersion, c.installed);
    EXPECT_EQ(d.availableVersion, c.available);
  }
  EXPECT_STREQ(LifecycleActionText(LifecycleAction::BlockDowngrade), "block-downgrade");
}

TEST(Lifecycle, AlwaysValidatesTheAvailableVersion) {
  EXPECT_THROW(DecideLifecycle("", "1.0"), SetupError);
  EXPECT_THROW(DecideLifecycle("1.0.0", "1.0"), SetupError);
  EXPECT_THROW(DecideLifecycle("None", "1.0.0"), SetupError);
}

}  // namespace
}  // namespace tessaline
