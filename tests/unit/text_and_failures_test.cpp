#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <random>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "entry/mode_selection.h"
#include "windows_test_support.h"

namespace tessaline {
namespace {

TEST(Utf8ToWide, ConvertsStrictlyAndKeepsEmbeddedZeros) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(Utf8ToWide("Tessaline \xE2\x80\xA6"), L"Tessaline \u2026");
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  for (const std::string bad : {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80"}) {
    try {
      Utf8ToWide(bad);
      ADD_FAILURE() << "accepted invalid UTF-8";
    } catch (const SetupError& e) {
      EXPECT_STREQ(e.what(), "The release contains invalid UTF-8");
    }
  }
}

TEST(WideToUtf8, RejectsInvalidUtf16AsEmptyText) {
  EXPECT_EQ(WideToUtf8(L"1.0.0 \u00B7"), "1.0.0 \xC2\xB7");
  const wchar_t lone[] = {L'a', 0xDC00, 0};
  EXPECT_EQ(WideToUtf8(lone), "");
}

TEST(RaiseWindowsError, AppendsTheThreadsLastError) {
  SetLastError(12006);
  try {
    RaiseWindowsError("Invalid download URL");
  } catch (const SetupError& e) {
    EXPECT_STREQ(e.what(), "Invalid download URL (Windows error 12006)");
  }
}

TEST(FileSystemFailure, NamesTheOperationTheErrorAndBothPaths) {
  testing::ScratchFolder folder;
  try {
    fsops::Rename(folder / L"absent", folder / L"target");
    ADD_FAILURE() << "renamed a missing file";
  } catch (const SetupError& e) {
    const std::string text = e.what();
    const std::string from = PathText(folder / L"absent");
    const std::string to = PathText(folder / L"target");
    EXPECT_EQ(text.rfind("rename: ", 0), 0U) << text;
    EXPECT_NE(text.find(": \"" + from + "\", \"" + to + "\""), std::string::npos) << text;
    // The system's own description sits between the name and the paths.
    EXPECT_GT(text.size(), std::string("rename: : \"\", \"\"").size() + from.size() + to.size() + 3) << text;
  }
  // Not found is an answer, not a failure, for queries.
  EXPECT_FALSE(fsops::Exists(folder / L"absent"));
  EXPECT_EQ(fsops::Status(folder / L"absent").type(), std::filesystem::file_type::not_found);
  EXPECT_FALSE(fsops::Remove(folder / L"absent"));
  EXPECT_THROW(fsops::FileSize(folder / L"absent"), FileSystemFailure);
}

// Windows without long paths enabled (its default) stops a plain path at 260
// characters, and a backup's name is longer than the installation's. Wine
// has no such limit, so the form the removal and the moves use is checked
// here instead.
TEST(ExtendedLengthPath, IsAbsoluteNormalisedAndKeepsEveryCharacter) {
  EXPECT_EQ(ExtendedLengthPath(L"C:\\users\\a\\b.txt"), L"\\\\?\\C:\\users\\a\\b.txt");
  EXPECT_EQ(ExtendedLengthPath(L"C:/users/./a/../b"), L"\\\\?\\C:\\users\\b");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\Tessaline"), L"\\\\?\\UNC\\server\\share\\Tessaline");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\?\\C:\\a\\..\\b"), L"\\\\?\\C:\\a\\..\\b");  // taken as it stands
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  EXPECT_EQ(ExtendedLengthPath(L"relative"), L"\\\\?\\" + (std::filesystem::path(current) / L"relative").native());
  std::wstring deep = L"C:\\users\\Quorvant\\.Tessaline-backup-123456-7890123";
  while (deep.size() < 400) deep += L"\\resources-with-a-long-name";
  EXPECT_EQ(ExtendedLengthPath(deep), L"\\\\?\\" + deep);
}

// A profile folder named in a script the ANSI code page lacks.
const std::wstring kForeignName = L"Zo\u00EB \u00D8rsted \u674E";

TEST(FileSystemFailure, CarriesPathsOutsideTheAnsiCodePageWholeAsUtf8) {
  testing::ScratchFolder folder;
  const std::filesystem::path from = folder / kForeignName / L"absent";
  try {
    fsops::Rename(from, folder / L"target");
    ADD_FAILURE() << "renamed a missing file";
  } catch (const SetupError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("Zo\xC3\xAB \xC3\x98rsted \xE6\x9D\x8E\\absent\", \""), std::string::npos) << text;
    // What the window shows.
    EXPECT_NE(Utf8ToWide(text).find(L"\"" + from.native() + L"\""), std::wstring::npos);
  }
}

TEST(SurvivesAnsiCodePage, TellsWhatANarrowMainReceivesIntact) {
  if (GetACP() != 1252) GTEST_SKIP() << "written for the ANSI code page 1252; this system has " << GetACP();
  EXPECT_TRUE(SurvivesAnsiCodePage(L""));
  EXPECT_TRUE(SurvivesAnsiCodePage(L"..\\..\\Quorvant\\InstallerCache\\1.0.0\\Tessaline-1.0.0-windows-x64.tar.gz"));
  EXPECT_TRUE(SurvivesAnsiCodePage(L"C:\\users\\Zo\u00EB \u00D8rsted"));
  EXPECT_FALSE(SurvivesAnsiCodePage(kForeignName));
  // No look-alike counts: the best fit for a macron letter is its plain letter.
  EXPECT_FALSE(SurvivesAnsiCodePage(L"\u0100.tar"));
}

// Languages as the system numbers them.
constexpr unsigned short kEnglishUs = 0x0409;
constexpr unsigned short kGerman = 0x0407;
constexpr unsigned short kIcelandic = 0x040F;  // no system messages under the bench's Wine

TEST(WindowsErrorDescription, TakesTheFirstLanguageThatHasTheTextAndTheNumberLast) {
  const std::string english = WindowsErrorDescription(ERROR_ACCESS_DENIED, {kEnglishUs});
  ASSERT_FALSE(english.empty());
  EXPECT_NE(english, "Windows error 5");
  EXPECT_NE(english.back(), '.');
  EXPECT_EQ(english.find_first_of("\r\n"), std::string::npos) << english;
  // A language with its own text comes first; one without gives way to English.
  const std::string german = WindowsErrorDescription(ERROR_ACCESS_DENIED, {kGerman, kEnglishUs});
  EXPECT_EQ(german, WindowsErrorDescription(ERROR_ACCESS_DENIED, {kGerman}));
  EXPECT_NE(german, english);
  ASSERT_EQ(WindowsErrorDescription(ERROR_ACCESS_DENIED, {kIcelandic}), "Windows error 5");
  EXPECT_EQ(WindowsErrorDescription(ERROR_ACCESS_DENIED, {kIcelandic, kEnglishUs}), english);
  // By default the system's own language, which always has a text.
  EXPECT_EQ(WindowsErrorDescription(ERROR_ACCESS_DENIED),
            WindowsErrorDescription(ERROR_ACCESS_DENIED, {GetSystemDefaultUILanguage()}));
  EXPECT_EQ(WindowsErrorDescription(0x2000BEEF), "Windows error 536919791");
}

std::vector<std::wstring> SplitBack(const std::wstring& quoted) {
  // Element 0 is the program and splits by other rules; put a plain one first.
  return SplitCommandLine((L"setup.exe " + quoted).c_str());
}

TEST(QuoteCommandLineArgument, FollowsTheSplittingRules) {
  EXPECT_EQ(QuoteCommandLineArgument(L"C:\\A B\\x.exe"), L"\"C:\\A B\\x.exe\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"C:\\dir\\"), L"\"C:\\dir\\\\\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"a\\b\\\\c"), L"\"a\\b\\\\c\"");
  EXPECT_EQ(QuoteCommandLineArgument(L""), L"\"\"");
}

TEST(QuoteCommandLineArgument, RoundTripsThroughTheSystemSplitter) {
  std::mt19937 random(20261208);
  const wchar_t alphabet[] = {L'a', L' ', L'\\', L'"', L'\t', L'x', L'\u00e9'};
  for (int round = 0; round < 500; ++round) {
    std::vector<std::wstring> arguments(1 + random() % 3);
    std::wstring commandLine;
    for (std::wstring& argument : arguments) {
      const std::size_t length = random() % 12;
      for (std::size_t i = 0; i < length; ++i) argument.push_back(alphabet[random() % std::size(alphabet)]);
      commandLine += QuoteCommandLineArgument(argument) + L" ";
    }
    ASSERT_EQ(SplitBack(commandLine), arguments) << "round " << round;
  }
}

}  // namespace
}  // namespace tessaline
