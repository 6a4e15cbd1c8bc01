// Helpers shared by the settings tests: temporary folders, whole-file access, a recording double
// for the message boxes, and running a check without root's privileges.
#pragma once

#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "settings/uUserMessages.h"

namespace settings_test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vark-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    // Reachable by the unprivileged user of the permission checks.
    chmod(path_.c_str(), 0755);
  }
  ~TTempDir() {
    std::error_code error;
    // Give the owner back what a test took away, so that everything can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_directory(error) && !it->is_symlink(error)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
      }
    }
    std::filesystem::remove_all(path_, error);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // A path inside the folder.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Names in a folder, sorted.
inline std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Records the message boxes instead of showing them.
class TRecordingMessages : public IUserMessages {
 public:
  void ShowError(const std::string& text) override {
    std::lock_guard lock(mutex_);
    errors_.push_back(text);
  }
  void ShowInfo(const std::string& text) override {
    std::lock_guard lock(mutex_);
    infos_.push_back(text);
  }
  std::vector<std::string> Errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
  }
  std::vector<std::string> Infos() const {
    std::lock_guard lock(mutex_);
    return infos_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> errors_;
  std::vector<std::string> infos_;
};

// Installs a recording double for the life of the object.
class TMessagesScope {
 public:
  TMessagesScope() : previous_(UserMessages()) { SetUserMessages(&messages_); }
  ~TMessagesScope() { SetUserMessages(previous_); }
  TMessagesScope(const TMessagesScope&) = delete;
  TMessagesScope& operator=(const TMessagesScope&) = delete;
  TRecordingMessages& operator*() { return messages_; }
  TRecordingMessages* operator->() { return &messages_; }

 private:
  TRecordingMessages messages_;
  IUserMessages* previous_;
};

// Sets an environment variable for the life of the object.
class TEnvScope {
 public:
  TEnvScope(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = getenv(name_.c_str())) old_ = old;
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ~TEnvScope() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  TEnvScope(const TEnvScope&) = delete;
  TEnvScope& operator=(const TEnvScope&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Root may write anything, so refused permissions are checked as the unprivileged user 65534 (or
// `uid`), in a child process. The check answers 0 when it holds; the child's exit code comes back.
// Without root the check runs here, as the user we already are. nullopt: privileges could not be
// dropped.
constexpr int kCannotDrop = 99;
inline std::optional<int> RunUnprivileged(const std::function<int()>& check, uid_t uid = 65534) {
  if (geteuid() != 0) return check();
  const pid_t pid = fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      _exit(kCannotDrop);
    }
    _exit(check());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 98;
  if (WEXITSTATUS(status) == kCannotDrop) return std::nullopt;
  return WEXITSTATUS(status);
}

}  // namespace settings_test

// Runs `check` without privileges and expects it to answer 0, or skips with the reason.
#define EXPECT_UNPRIVILEGED(check)                                                    \
  do {                                                                                \
    const std::optional<int> result_ = settings_test::RunUnprivileged(check);         \
    if (!result_) GTEST_SKIP() << "cannot drop root's privileges to check a refusal"; \
    EXPECT_EQ(*result_, 0) << "the unprivileged check failed at step " << *result_;   \
  } while (0)
