// Setup's headless check modes, run as processes the way a release pipeline
// or a support engineer runs them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ui_driver.h"
#include "windows_test_support.h"

namespace tessaline {
namespace {

using testing::ReadBytes;
using testing::RunProcess;
using testing::CurrentFolderOf;
using testing::ScratchFolder;
using testing::SetupExecutable;

DWORD RunSetup(const std::vector<std::wstring>& arguments) { return RunProcess(SetupExecutable(), arguments); }

class LifecycleProbe : public ::testing::Test {
 protected:
  ScratchFolder folder;
  std::filesystem::path output = folder / L"probe.txt";

  DWORD Probe(const std::wstring& installed, const std::wstring& available) {
    return RunSetup({L"--lifecycle-probe", installed, available, output.native()});
  }
};

TEST_F(LifecycleProbe, WritesTheActionWordAndOneLineFeed) {
  struct Case {
    const wchar_t* installed;
    const wchar_t* available;
    const char* word;
  };
  const Case cases[] = {
      {L"none", L"1.0.0", "install"},
      {L"1.0.0", L"1.0.0", "repair"},
      {L"1.0.0+a", L"1.0.0", "repair"},
      {L"1.2.0", L"1.10.0", "update"},
      {L"1.3.9", L"1.4.0", "update"},
      {L"2.0.0", L"1.9.9", "block-downgrade"},
      {L"1.0.0", L"1.0.0-rc.1", "block-downgrade"},
      {L"1.0.0-rc.1", L"1.0.0", "update"},
      {L"", L"1.0.0", "install"},  // an empty element means nothing installed as well
  };
  for (const Case& c : cases) {
    // A longer earlier content must be replaced, not overwritten in place.
    testing::WriteBytes(output, "previous content that is longer than any word");
    ASSERT_EQ(Probe(c.installed, c.available), 0U) << c.word;
    EXPECT_EQ(ReadBytes(output), std::string(c.word) + "\n");
  }
}

TEST_F(LifecycleProbe, InvalidVersionsFailWithoutTouchingTheFile) {
  for (const auto& [installed, available] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"None", L"1.0.0"}, {L"none", L"1.0"}, {L"1.0", L"1.0.0"}, {L"none", L""}}) {
    EXPECT_EQ(Probe(installed, available), 1U) << installed << L" " << available;
    EXPECT_FALSE(std::filesystem::exists(output));
  }
}

TEST_F(LifecycleProbe, AnUnwritableOutputFails) {
  EXPECT_EQ(RunSetup({L"--lifecycle-probe", L"none", L"1.0.0", (folder / L"no such folder" / L"p.txt").native()}), 1U);
  EXPECT_EQ(RunSetup({L"--lifecycle-probe", L"none", L"1.0.0", folder.Path().native()}), 1U);
}

TEST_F(LifecycleProbe, SwitchesMatchInAnyCaseAndNeedAllArguments) {
  EXPECT_EQ(RunSetup({L"--LIFECYCLE-Probe", L"none", L"1.0.0", output.native()}), 0U);
  EXPECT_EQ(ReadBytes(output), "install\n");
  EXPECT_EQ(RunSetup({L"--lifecycle-probe", L"none", L"1.0.0"}), 2U);
  EXPECT_EQ(RunSetup({L"--uninstall-worker"}), 2U);
  EXPECT_EQ(RunSetup({L"--cleanup-worker", L"12"}), 2U);
}

class ManifestVerification : public ::testing::Test {
 protected:
  std::filesystem::path fixtures = testing::TestExecutableFolder() / L"fixtures" / L"signatures";

  DWORD Verify(const std::wstring& manifest, const std::wstring& signature) {
    return RunSetup({L"--verify-manifest", (fixtures / manifest).native(), (fixtures / signature).native()});
  }
};

TEST_F(ManifestVerification, AcceptsOnlyTheExactSignedBytes) {
  ASSERT_TRUE(std::filesystem::exists(fixtures / L"manifest.json")) << "the signature fixtures were not made";
  EXPECT_EQ(Verify(L"manifest.json", L"manifest.json.sig"), 0U);
  // The test build trusts two keys, as a Setup does while the maker changes
  // keys: a signing under either is accepted, under any other refused.
  EXPECT_EQ(Verify(L"manifest.json", L"manifest.json.next-key.sig"), 0U);
  EXPECT_EQ(Verify(L"empty.json", L"empty.json.sig"), 0U);
  EXPECT_EQ(Verify(L"manifest-changed.json", L"manifest.json.sig"), 1U);
  EXPECT_EQ(Verify(L"manifest-newline.json", L"manifest.json.sig"), 1U);
  EXPECT_EQ(Verify(L"empty.json", L"manifest.json.sig"), 1U);
  EXPECT_EQ(Verify(L"manifest.json", L"sig-other-key.bin"), 1U);
}

TEST_F(ManifestVerification, RefusesMalformedSignatures) {
  for (const wchar_t* signature : {L"sig-0.bin", L"sig-63.bin", L"sig-65.bin", L"sig-72.bin", L"sig-der.bin",
                                   L"sig-r-order.bin", L"sig-s-order.bin", L"sig-s-max.bin", L"missing.bin"}) {
    EXPECT_EQ(Verify(L"manifest.json", signature), 1U) << signature;
  }
  EXPECT_EQ(Verify(L"missing.json", L"manifest.json.sig"), 1U);
  EXPECT_EQ(RunSetup({L"--verify-manifest", (fixtures / L"manifest.json").native()}), 2U);
}

TEST_F(ManifestVerification, TheOrderOfChecksDecidesTheMode) {
  // With --uninstall anywhere on the line the uninstall launcher runs instead
  // and succeeds, although the signature given to --verify-manifest is bad.
  EXPECT_EQ(RunSetup({L"--verify-manifest", (fixtures / L"manifest.json").native(), (fixtures / L"sig-0.bin").native(),
                      L"--UNINSTALL", L"--quiet"}),
            0U);
  EXPECT_EQ(RunSetup({L"--quiet", L"--verify-manifest", (fixtures / L"manifest.json").native(),
                      (fixtures / L"manifest.json.sig").native(), L"--lifecycle-probe"}),
            0U);
}

// The application starts Setup from its installation folder, and Windows
// will not rename a folder that a process has as its current folder (Wine
// would): every mode works from System32, whatever folder it started in.
TEST(EveryMode, LeavesTheFolderItWasStartedIn) {
  ScratchFolder folder;
  std::wstring starting(MAX_PATH + 1, L'\0');
  starting.resize(GetCurrentDirectoryW(MAX_PATH + 1, starting.data()));
  ASSERT_TRUE(SetCurrentDirectoryW(folder.Path().c_str()));
  const testing::StartedProcess window(SetupExecutable(), {L"--ui-preview"});
  const testing::StartedProcess question(SetupExecutable(), {L"--uninstall"});
  ASSERT_TRUE(SetCurrentDirectoryW(starting.c_str()));
  std::wstring system(MAX_PATH + 1, L'\0');
  system.resize(GetSystemDirectoryW(system.data(), MAX_PATH + 1));
  const auto inSystem32 = [&](HANDLE process) {
    std::wstring current = CurrentFolderOf(process);
    if (!current.empty() && current.back() == L'\\') current.pop_back();
    return _wcsicmp(current.c_str(), system.c_str()) == 0;
  };
  ASSERT_TRUE(testing::WaitUntil([&] { return testing::FindProcessWindow(window.Id(), L"TessalineSetupWindow"); }));
  EXPECT_TRUE(inSystem32(window.Handle())) << CurrentFolderOf(window.Handle());
  HWND box = nullptr;
  ASSERT_TRUE(testing::WaitUntil([&] { return (box = testing::FindMessageBox(question.Id())) != nullptr; }));
  EXPECT_TRUE(inSystem32(question.Handle())) << CurrentFolderOf(question.Handle());
  testing::PressMessageBoxButton(box, IDNO);
  EXPECT_TRUE(question.EndsWithin(std::chrono::seconds(10)));
  EXPECT_EQ(question.ExitCode(), 0U);
}

}  // namespace
}  // namespace tessaline
