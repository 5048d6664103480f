#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/mode_selection.h"

namespace tessaline {
namespace {

ModeChoice Select(const std::wstring& commandLine) {
  return SelectMode(SplitCommandLine((L"\"C:\\Downloads\\TessalineSetup.exe\" " + commandLine).c_str()));
}

TEST(SelectMode, FollowsTheOrderOfChecksNotTheOrderOnTheCommandLine) {
  EXPECT_EQ(Select(L"").mode, SetupMode::Interactive);
  EXPECT_EQ(Select(L"--quiet").mode, SetupMode::Interactive);
  EXPECT_EQ(Select(L"--verify-manifest a b --uninstall").mode, SetupMode::UninstallLauncher);
  EXPECT_EQ(Select(L"--uninstall --cleanup-worker 1 p --uninstall-worker 7").mode, SetupMode::UninstallWorker);
  EXPECT_EQ(Select(L"--lifecycle-probe a b c --verify-manifest m s").mode, SetupMode::VerifyManifest);
  EXPECT_EQ(Select(L"--unknown --ui-preview").mode, SetupMode::Interactive);
}

TEST(SelectMode, MatchesWholeElementsIgnoringLetterCase) {
  EXPECT_EQ(Select(L"--UnInstall").mode, SetupMode::UninstallLauncher);
  EXPECT_EQ(Select(L"--uninstall-workers 4").mode, SetupMode::Interactive);
  EXPECT_EQ(Select(L"\"--uninstall \"").mode, SetupMode::Interactive);
  const ModeChoice quiet = Select(L"--uninstall --QUIET");
  EXPECT_TRUE(quiet.quiet);
  EXPECT_FALSE(Select(L"--uninstall --quieter").quiet);
}

TEST(SelectMode, ASwitchWithoutItsArgumentsIsMissingArguments) {
  EXPECT_EQ(Select(L"--uninstall-worker").mode, SetupMode::MissingArguments);
  EXPECT_EQ(Select(L"--cleanup-worker 12").mode, SetupMode::MissingArguments);
  EXPECT_EQ(Select(L"--verify-manifest only-one").mode, SetupMode::MissingArguments);
  EXPECT_EQ(Select(L"--lifecycle-probe none 1.0.0").mode, SetupMode::MissingArguments);
  // An earlier mode missing its arguments wins over a complete later one.
  EXPECT_EQ(Select(L"--verify-manifest m s --cleanup-worker 1").mode, SetupMode::MissingArguments);
}

TEST(SelectMode, HandsOverTheOperands) {
  const ModeChoice cleanup = Select(L"--cleanup-worker 4242 \"C:\\Users\\me\\AppData\\Local\\Programs\\Quorvant\\x\"");
  EXPECT_EQ(cleanup.mode, SetupMode::CleanupWorker);
  EXPECT_EQ(cleanup.processId, 4242U);
  EXPECT_EQ(cleanup.operands.at(1), L"C:\\Users\\me\\AppData\\Local\\Programs\\Quorvant\\x");
  EXPECT_EQ(Select(L"--uninstall-worker 77abc").processId, 77U);
  EXPECT_EQ(Select(L"--uninstall-worker abc").processId, 0U);
  const ModeChoice probe = Select(L"--lifecycle-probe none 1.0.0 \"C:\\out dir\\probe.txt\" extra");
  EXPECT_EQ(probe.operands, (std::vector<std::wstring>{L"none", L"1.0.0", L"C:\\out dir\\probe.txt"}));
}

TEST(UiPreview, IsAPlainCaseSensitiveSubstringOfTheTail) {
  EXPECT_TRUE(HasUiPreviewSwitch(L"--ui-preview"));
  EXPECT_TRUE(HasUiPreviewSwitch(L"\"C:\\tools--ui-preview\\x\""));
  EXPECT_FALSE(HasUiPreviewSwitch(L"--UI-PREVIEW"));
  EXPECT_FALSE(HasUiPreviewSwitch(L""));
  EXPECT_FALSE(HasUiPreviewSwitch(nullptr));
}

}  // namespace
}  // namespace tessaline
