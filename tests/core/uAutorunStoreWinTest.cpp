// The autorun entry in the registry. HKEY_CURRENT_USER is redirected to a key of the test's own
// for the whole test, and the value names are the test's own, so the real Run key and its "Vark"
// value are never touched.
#include <gtest/gtest.h>

#include <string>

#include "settings/uAppPaths.h"
#include "settings/uAutorunStore.h"
#include "settings/uRegister.h"
#include "settings/uUserMessages.h"
#include "uWinTestSupport.h"

namespace {

constexpr const wchar_t* kRunPath = L"software\\microsoft\\windows\\currentversion\\run";

class TRecordingMessages : public IUserMessages {
 public:
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void ShowInfo(const std::string& text) override { infos.push_back(text); }
  std::vector<std::string> errors;
  std::vector<std::string> infos;
};

class WinAutorun : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = L"Software\\VarkTests\\" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &stand_, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, stand_), ERROR_SUCCESS);
    previous_ = UserMessages();
    SetUserMessages(&messages_);
  }
  void TearDown() override {
    SetUserMessages(previous_);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (stand_) RegCloseKey(stand_);
    RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
  }
  // The Run key under the stand-in; false when it does not exist.
  bool RunKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(stand_, kRunPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  void MakeRunKey() {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(stand_, kRunPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
  }

  std::wstring root_;
  HKEY stand_ = nullptr;
  IUserMessages* previous_ = nullptr;
  TRecordingMessages messages_;
  const std::string name_ = "VarkTest " + std::to_string(GetCurrentProcessId());
};

}  // namespace

TEST_F(WinAutorun, AMissingRunKeyIsNeverCreatedAndAnAddShowsTheErrorOnce) {
  ASSERT_FALSE(RunKeyExists());
  EXPECT_FALSE(AutorunExists(name_));
  SetAutorun(name_, true);
  EXPECT_EQ(messages_.errors, std::vector<std::string>{kAutorunErrorText});
  SetAutorun(name_, false);  // a removal shows nothing
  EXPECT_EQ(messages_.errors.size(), 1u);
  EXPECT_FALSE(RunKeyExists());
}

TEST_F(WinAutorun, TheValueIsTheExecutablesPathAsAStringWithItsZero) {
  MakeRunKey();
  SetAutorun(name_, true);
  EXPECT_TRUE(messages_.errors.empty());
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(stand_, kRunPath, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  const std::wstring name = WideText(name_);
  ASSERT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  std::wstring data(size / sizeof(wchar_t), L'\0');
  ASSERT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  const std::wstring expected = WideText(ExecutablePath()) + L'\0';
  EXPECT_EQ(size, expected.size() * sizeof(wchar_t));
  EXPECT_EQ(data, expected);
  EXPECT_TRUE(AutorunExists(name_));
  EXPECT_FALSE(AutorunExists(name_ + " other"));
}

TEST_F(WinAutorun, RemovingDeletesTheValueAndIsSilentWhenItIsGone) {
  MakeRunKey();
  SetAutorun(name_, true);
  ASSERT_TRUE(AutorunExists(name_));
  SetAutorun(name_, false);
  EXPECT_FALSE(AutorunExists(name_));
  SetAutorun(name_, false);
  EXPECT_TRUE(messages_.errors.empty());
  EXPECT_TRUE(RunKeyExists());
}

TEST_F(WinAutorun, AValueOfAnyTypeCounts) {
  MakeRunKey();
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(stand_, kRunPath, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const DWORD number = 5;
  const std::wstring name = WideText(name_);
  ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                           sizeof number),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(AutorunExists(name_));
}

TEST_F(WinAutorun, NamesAndPathsOutsideTheAnsiCodePageAreStoredAsTheyAre) {
  MakeRunKey();
  const std::string name = name_ + " Отчёт 日本";
  AutorunStoreSet(name, "C:\\Программы\\Vark 日本\\vark.exe");
  EXPECT_TRUE(AutorunStoreExists(name));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(stand_, kRunPath, 0, KEY_READ, &key), ERROR_SUCCESS);
  wchar_t data[256] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExW(key, WideText(name).c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_STREQ(data, L"C:\\Программы\\Vark 日本\\vark.exe");
  AutorunStoreDelete(name);
  EXPECT_FALSE(AutorunStoreExists(name));
}
