// The temporary folders of the tests: a fresh folder under the system's temporary folder, made
// through the standard library (so that it serves on both systems) and named in the program's own
// text (UTF-8), removed at the end with everything in it, after the owner is given back what a
// test took away.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "base/uPlatformText.h"

namespace test_support {

// The program's text for a path of the standard library, and the other way round.
inline std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
inline std::filesystem::path FsPath(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// Makes a new folder "<prefix>-<random>" under the system's temporary folder; answers its text
// without a separator at the end. The caller removes it.
inline std::string MakeTempFolder(const std::string& prefix) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto path =
        std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(path)) return PathText(path);
  }
  throw std::runtime_error("no temporary folder could be made");
}

class TTempFolder {
 public:
  explicit TTempFolder(const std::string& prefix = "vark-test")
      : text_(MakeTempFolder(prefix)), path_(FsPath(text_)) {}
  ~TTempFolder() {
    std::error_code error;
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
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  // The folder's text, without a separator at the end.
  const std::string& Path() const { return text_; }
  // The same ending in the separator: the program's folder text.
  std::string FolderText() const { return text_ + kFolderSeparator; }
  const std::filesystem::path& Fs() const { return path_; }
  // A path inside the folder, from its relative text.
  std::filesystem::path operator/(std::string_view relative) const {
    return path_ / FsPath(relative);
  }

 private:
  std::string text_;
  std::filesystem::path path_;
};

}  // namespace test_support
