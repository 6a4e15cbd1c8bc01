// The autorun entry as a string value under the current user's Run key. Names and the path go
// through the wide calls, so a path outside the ANSI code page is stored as it is.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "base/uPlatformTextWin.h"
#include "settings/uAutorunStore.h"

namespace {

constexpr const wchar_t* kRunKey = L"software\\microsoft\\windows\\currentversion\\run";

// The Run key, opened for full access by every operation; never created.
class TRunKey {
 public:
  TRunKey() {
    open_ = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS;
  }
  ~TRunKey() {
    if (open_) RegCloseKey(key_);
  }
  TRunKey(const TRunKey&) = delete;
  TRunKey& operator=(const TRunKey&) = delete;
  bool Open() const { return open_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
  bool open_ = false;
};

}  // namespace

bool AutorunPathStorable(const std::string& path) {
  // The value is the path itself, in UTF-16, which holds any name the system gives.
  return !path.empty();
}

void AutorunStoreSet(const std::string& name, const std::string& path) {
  TRunKey key;
  if (!key.Open()) throw std::runtime_error("the Run key cannot be opened");
  const std::wstring value = WideText(path);
  // REG_SZ with its terminating zero counted in the size.
  const LONG result = RegSetValueExW(key.Get(), WideText(name).c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  if (result != ERROR_SUCCESS) throw std::runtime_error("the Run value cannot be written");
}

void AutorunStoreDelete(const std::string& name) {
  TRunKey key;
  if (key.Open()) RegDeleteValueW(key.Get(), WideText(name).c_str());
}

bool AutorunStoreExists(const std::string& name) {
  TRunKey key;
  if (!key.Open()) return false;
  DWORD type = 0;
  DWORD size = 0;
  return RegQueryValueExW(key.Get(), WideText(name).c_str(), nullptr, &type, nullptr, &size) ==
         ERROR_SUCCESS;
}
