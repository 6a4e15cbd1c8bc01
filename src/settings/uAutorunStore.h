// Where the autorun entry is kept, per platform: the current user's Run key on Windows, an XDG
// autostart entry elsewhere. The three operations raise std::runtime_error where a failure is to
// be reported; uRegister decides what the user sees.
#pragma once

#include <string>

// Writes the entry `name` naming the executable `path`, creating what is needed; replaces an
// existing entry. Raises on failure.
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
