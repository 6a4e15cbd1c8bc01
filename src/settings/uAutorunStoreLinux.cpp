// The autorun entry as an XDG autostart desktop entry.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "base/uPlatformText.h"
#include "settings/uAppPaths.h"
#include "settings/uAutorunStore.h"
#include "settings/uProfile.h"

namespace {

// A name that makes exactly one file inside the autostart folder.
bool UsableName(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find(kFolderSeparator) == std::string::npos && name.find('\0') == std::string::npos;
}

// The escapes of a desktop entry's string values.
std::string EscapeString(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string AutorunEntryPath(const std::string& name) {
  const std::string home = ConfigHome();
  if (home.empty()) throw std::runtime_error("no configuration folder is known");
  return home + kFolderSeparator + "autostart" + kFolderSeparator + name + ".desktop";
}

std::string DesktopExecArgument(const std::string& path) {
  // A quoted argument: inside the quotes '"', '`', '$' and '\' take a backslash.
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';  // a literal percent sign is "%%"
    quoted += c;
  }
  quoted += '"';
  // The value as a whole is a string: its own escapes come last.
  return EscapeString(quoted);
}

bool AutorunPathStorable(const std::string& path) {
  return !path.empty() && IsValidUtf8(path) && path.find('%') == std::string::npos;
}

std::string DesktopEntryText(const std::string& name, const std::string& path) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" +
         EscapeString(name) +
         "\n"
         "Comment=Монитор каталогов\n"
         "Exec=" +
         DesktopExecArgument(path) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

void AutorunStoreSet(const std::string& name, const std::string& path) {
  if (!UsableName(name)) throw std::runtime_error("unusable autorun entry name");
  if (path.empty()) throw std::runtime_error("the executable's path is unknown");
  // An entry that the desktop would refuse, or read as another program, is worse than none.
  if (!AutorunPathStorable(path)) throw std::runtime_error("no entry can name this path");
  const std::string file = AutorunEntryPath(name);
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), error);
  if (error) throw std::runtime_error("cannot create the autostart folder: " + error.message());
  if (const int code = WriteFileReplacing(file, DesktopEntryText(name, path)); code != 0) {
    throw std::runtime_error("cannot write the autostart entry: " + SystemErrorText(code));
  }
}

void AutorunStoreDelete(const std::string& name) {
  if (!UsableName(name)) return;
  try {
    // unlink, not remove: a folder of that name is not ours to delete.
    unlink(AutorunEntryPath(name).c_str());
  } catch (const std::exception&) {
    // No configuration folder: nothing to remove.
  }
}

bool AutorunStoreExists(const std::string& name) {
  if (!UsableName(name)) return false;
  std::string file;
  try {
    file = AutorunEntryPath(name);
  } catch (const std::runtime_error&) {
    return false;
  }
  struct stat st;
  return lstat(file.c_str(), &st) == 0;
}
