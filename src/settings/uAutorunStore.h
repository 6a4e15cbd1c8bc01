// Where the autorun entry is kept, per platform: the current user's Run key on Windows, an XDG
// autostart entry elsewhere. The three operations raise std::runtime_error where a failure is to
// be reported; uRegister decides what the user sees.
#pragma once

#include <string>

// True when an entry can name the executable at `path` so that the system starts it: on Windows
// any path; elsewhere one that the desktop's reading of the entry gives back unchanged, which
// rules out bytes that are not UTF-8 (the entry's text must be) and "%" (the desktop looks for the
// program under the Exec line's text before its "%%" becomes "%", so no spelling of it works).
bool AutorunPathStorable(const std::string& path);
// Writes the entry `name` naming the executable `path`, creating what is needed; replaces an
// existing entry. Raises on failure, and for a path that is not storable.
void AutorunStoreSet(const std::string& name, const std::string& path);
// Deletes the entry; a missing entry or a refusal changes nothing and raises nothing.
void AutorunStoreDelete(const std::string& name);
// True when an entry of that name exists, whatever it holds. A missing store answers false;
// raises only on an unexpected failure.
bool AutorunStoreExists(const std::string& name);

// Platforms with files only: the autostart file of an entry,
// $XDG_CONFIG_HOME/autostart/<name>.desktop (raises when no configuration folder is known).
std::string AutorunEntryPath(const std::string& name);
// An executable path as one argument of a desktop entry's Exec key, with the quoting and escapes
// of the Desktop Entry rules (quoted argument, "%" doubled, then the string escapes).
std::string DesktopExecArgument(const std::string& path);
// The whole autostart entry `name` for the executable `path`.
std::string DesktopEntryText(const std::string& name, const std::string& path);
