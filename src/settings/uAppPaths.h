// Where the program and its per-user files live.
#pragma once

#include <string>

// The full path of the running executable; empty when the system does not tell.
std::string ExecutablePath();

// The folder of the running executable, as folder text (ending in the separator).
std::string ExecutableDir();

// The user's configuration folder, without a trailing separator: $XDG_CONFIG_HOME when it is an
// absolute path, else the home folder's ".config". Read afresh at every call. Empty when no home
// folder is known.
std::string ConfigHome();

// The folder the program is installed into, fixed when it was built (the install prefix's program
// folder); empty when the build names none.
std::string InstalledProgramDir();
// True when `folder` is that folder (the same folder under any name). An installed copy keeps no
// files of its own beside the executable, even where it could write there (as root).
bool IsInstalledProgramDir(const std::string& folder);

// True when new files can be created in `folder` by this process.
bool FolderWritable(const std::string& folder);
// True when the existing file at `path` may be written by this process.
bool FileWritable(const std::string& path);
