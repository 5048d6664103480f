#include "common/current_user.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

#include "common/setup_error.h"
#include "common/unique_handle.h"

namespace tessaline {
namespace {

// The token's TOKEN_USER record, which holds the SID it points to.
std::vector<unsigned char> TokenUserRecord(const std::string& failure) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) RaiseWindowsError(failure);
  const UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) {
    RaiseWindowsError(failure);
  }
  return buffer;
}

PSID SidOf(std::vector<unsigned char>& tokenUser) { return reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid; }

}  // namespace

std::wstring CurrentUserSid(const std::string& failure) {
  std::vector<unsigned char> user = TokenUserRecord(failure);
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(SidOf(user), &text)) RaiseWindowsError(failure);
  const UniqueLocalMemory owned(text);
  return text;
}

std::wstring CurrentUserAccount(const std::string& failure) {
  std::vector<unsigned char> user = TokenUserRecord(failure);
  DWORD nameLength = 0;
  DWORD domainLength = 0;
  SID_NAME_USE use{};
  LookupAccountSidW(nullptr, SidOf(user), nullptr, &nameLength, nullptr, &domainLength, &use);
  if (nameLength == 0) RaiseWindowsError(failure);
  std::wstring name(nameLength, L'\0');
  std::wstring domain(domainLength, L'\0');
  if (!LookupAccountSidW(nullptr, SidOf(user), name.data(), &nameLength, domain.data(), &domainLength, &use)) {
    RaiseWindowsError(failure);
  }
  // On success the lengths no longer count the terminating zeros.
  name.resize(nameLength);
  domain.resize(domainLength);
  return domain.empty() ? name : domain + L"\\" + name;
}

}  // namespace tessaline
