#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/product_constants.h"
#include "trust/lifecycle.h"

namespace tessaline {
namespace {

// Each case writes DisplayVersion into the real registration key of the
// current user and reads it back through ReadInstalledVersion.
class InstalledVersion : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKeyPath); }

  static void Store(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const LSTATUS status = RegSetValueExW(key, kDisplayVersionValue, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS);
  }
  // With its terminating zero, as the registration step writes it.
  static void StoreText(const std::wstring& text, DWORD type = REG_SZ) {
    Store(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
};

TEST_F(InstalledVersion, NothingRecordedMeansNothingInstalled) {
  EXPECT_EQ(ReadInstalledVersion(), "");
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(ReadInstalledVersion(), "");
}

TEST_F(InstalledVersion, AValidTextIsReturnedUnchanged) {
  StoreText(L"1.4.0-rc.1+build.7");
  EXPECT_EQ(ReadInstalledVersion(), "1.4.0-rc.1+build.7");
  // Stored without its terminating zero: the zero-filled buffer ends it.
  Store(REG_SZ, L"2.0.0", 5 * sizeof(wchar_t));
  EXPECT_EQ(ReadInstalledVersion(), "2.0.0");
}

TEST_F(InstalledVersion, WrongTypesAndInvalidTextsCountAsAbsent) {
  StoreText(L"1.0");
  EXPECT_EQ(ReadInstalledVersion(), "");
  StoreText(L"1.2.3", REG_EXPAND_SZ);
  EXPECT_EQ(ReadInstalledVersion(), "");
  StoreText(L"1.2.3", REG_MULTI_SZ);
  EXPECT_EQ(ReadInstalledVersion(), "");
  const DWORD number = 1;
  Store(REG_DWORD, &number, sizeof(number));
  EXPECT_EQ(ReadInstalledVersion(), "");
  StoreText(L"");
  EXPECT_EQ(ReadInstalledVersion(), "");
  Store(REG_SZ, "", 1);
  EXPECT_EQ(ReadInstalledVersion(), "");
  // A lone surrogate is not UTF-16 text.
  const wchar_t broken[] = {0xD800, L'1', L'.', L'2', L'.', L'3', 0};
  Store(REG_SZ, broken, sizeof(broken));
  EXPECT_EQ(ReadInstalledVersion(), "");
}

TEST_F(InstalledVersion, TheTextAndItsZeroMustFitIn256Units) {
  const std::wstring longest = L"1.0.0-" + std::wstring(249, L'a');  // 255 units and the zero
  StoreText(longest);
  EXPECT_EQ(ReadInstalledVersion(), std::string(longest.begin(), longest.end()));

  StoreText(longest + L"a");  // 256 units and the zero
  EXPECT_EQ(ReadInstalledVersion(), "");

  const std::wstring unterminated = longest + L"a";  // exactly 512 bytes, no zero
  Store(REG_SZ, unterminated.data(), 512);
  EXPECT_EQ(ReadInstalledVersion(), "");
}

}  // namespace
}  // namespace tessaline
