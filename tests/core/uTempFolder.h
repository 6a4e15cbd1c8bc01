// A fresh temporary folder named in the program's own text (UTF-8), for the tests that run on both
// systems: made through the standard library, never through a call of one system only.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

#include "base/uPlatformText.h"

namespace test_support {

// The program's text for a path of the standard library.
inline std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Makes a new folder "<prefix>-<random>" under the system's temporary folder; answers its text
// without a trailing separator.
inline std::string MakeTempFolder(const std::string& prefix) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto path =
        std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(path)) return PathText(path);
  }
  throw std::runtime_error("no temporary folder could be made");
}

}  // namespace test_support
