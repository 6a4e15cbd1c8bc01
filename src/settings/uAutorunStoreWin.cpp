// The autorun entry as a string value under the current user's Run key.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "settings/uAutorunStore.h"

namespace {

constexpr const char* kRunKey = "software\\microsoft\\windows\\currentversion\\run";

// The Run key, opened for full access by every operation; never created.
class TRunKey {
 public:
  TRunKey() {
    open_ = RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS;
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

void AutorunStoreSet(const std::string& name, const std::string& path) {
  TRunKey key;
  if (!key.Open()) throw std::runtime_error("the Run key cannot be opened");
  const LONG result = RegSetValueExA(key.Get(), name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(path.c_str()),
                                     static_cast<DWORD>(path.size() + 1));
  if (result != ERROR_SUCCESS) throw std::runtime_error("the Run value cannot be written");
}

void AutorunStoreDelete(const std::string& name) {
  TRunKey key;
  if (key.Open()) RegDeleteValueA(key.Get(), name.c_str());
}

bool AutorunStoreExists(const std::string& name) {
  TRunKey key;
  if (!key.Open()) return false;
  DWORD type = 0;
  DWORD size = 0;
  return RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
}
