// One small owner type per kind of Windows handle: released exactly once, on
// every path out of the scope that owns it.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdint>
#include <utility>

namespace tessaline {

// Owns one value of type T and releases it with Close, unless it is Invalid
// (an integer, since a handle such as INVALID_HANDLE_VALUE is no constant
// a template can take as a pointer). One line per kind below.
template <typename T, auto Close, std::intptr_t Invalid = 0>
class UniqueResource {
 public:
  using Type = T;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Type value) noexcept : value_(value) {}
  ~UniqueResource() { Reset(); }

  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  [[nodiscard]] Type Get() const noexcept { return value_; }
  [[nodiscard]] bool Valid() const noexcept { return value_ != InvalidValue(); }
  explicit operator bool() const noexcept { return Valid(); }

  // For out-parameters of creating calls; releases what is held first.
  Type* Put() noexcept {
    Reset();
    return &value_;
  }

  Type Release() noexcept { return std::exchange(value_, InvalidValue()); }

  void Reset(Type value = InvalidValue()) noexcept {
    const Type old = std::exchange(value_, value);
    if (old != InvalidValue()) static_cast<void>(Close(old));
  }

 private:
  static Type InvalidValue() noexcept { return reinterpret_cast<Type>(Invalid); }

  Type value_ = InvalidValue();
};

inline BOOL CloseAlgorithmProvider(BCRYPT_ALG_HANDLE provider) noexcept {
  return BCRYPT_SUCCESS(BCryptCloseAlgorithmProvider(provider, 0));
}

// COM on this thread for one scope; uninitialised at its end only when the
// start succeeded, as COM requires.
class ComInitialization {
 public:
  explicit ComInitialization(DWORD model) noexcept : result_(CoInitializeEx(nullptr, model)) {}
  ~ComInitialization() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComInitialization(const ComInitialization&) = delete;
  ComInitialization& operator=(const ComInitialization&) = delete;

 private:
  HRESULT result_;
};

// Selects an object into a device context for one scope and puts the
// previous one back at its end.
class ScopedSelection {
 public:
  ScopedSelection(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~ScopedSelection() { SelectObject(dc_, previous_); }
  ScopedSelection(const ScopedSelection&) = delete;
  ScopedSelection& operator=(const ScopedSelection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

using UniqueHandle = UniqueResource<HANDLE, CloseHandle>;
// CreateFileW and a few others report failure as INVALID_HANDLE_VALUE.
using UniqueFile = UniqueResource<HANDLE, CloseHandle, -1>;
using UniqueRegistryKey = UniqueResource<HKEY, RegCloseKey>;
using UniqueLocalMemory = UniqueResource<HLOCAL, LocalFree>;
using UniqueCoTaskMemory = UniqueResource<void*, CoTaskMemFree>;
using UniqueAlgorithmProvider = UniqueResource<BCRYPT_ALG_HANDLE, CloseAlgorithmProvider>;
using UniqueCryptoKey = UniqueResource<BCRYPT_KEY_HANDLE, BCryptDestroyKey>;
using UniqueHash = UniqueResource<BCRYPT_HASH_HANDLE, BCryptDestroyHash>;
using UniqueInternet = UniqueResource<HINTERNET, WinHttpCloseHandle>;
using UniqueGdiObject = UniqueResource<HGDIOBJ, DeleteObject>;
using UniqueFind = UniqueResource<HANDLE, FindClose, -1>;
using UniqueBstr = UniqueResource<BSTR, SysFreeString>;

// The process and thread handles CreateProcessW returns, owned together.
struct UniqueProcessInformation {
  UniqueProcessInformation() = default;
  explicit UniqueProcessInformation(const PROCESS_INFORMATION& info) noexcept
      : process(info.hProcess), thread(info.hThread), processId(info.dwProcessId) {}
  UniqueHandle process;
  UniqueHandle thread;
  DWORD processId = 0;
};

}  // namespace tessaline
