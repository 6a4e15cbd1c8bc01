// Starting with the user's session: the autorun entry that names the program's executable.
#pragma once

#include <string>

// Adds (`add`) the entry `name` with the running executable's full path, replacing what it held,
// or removes it. A failed add shows the error box "при работе с реестром произошла ошибка" and
// returns normally; a failed removal shows nothing.
void SetAutorun(const std::string& name, bool add);
// The same, naming the program at `path` when adding.
void SetAutorun(const std::string& name, bool add, const std::string& path);

// True when an entry of that name exists, whatever it holds.
bool AutorunExists(const std::string& name);

// The message of a failed add.
extern const char* const kAutorunErrorText;
// The message when the program's path cannot be written into an autorun entry (see
// AutorunPathStorable): the option is not turned on.
extern const char* const kAutorunPathText;
