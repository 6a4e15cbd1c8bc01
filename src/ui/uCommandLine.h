// The command line. "vark" alone starts the program's windows; "--help" prints a short usage in the
// user's language and "--version" the program's version, each on the standard output with exit
// code 0; anything else prints what is wrong and the usage on the standard error, exit code 2.
// Answering needs no display.
#pragma once

#include <optional>

// The exit code when the command line was answered, nothing when the windows are to start.
std::optional<int> AnswerCommandLine(int argc, char** argv);
