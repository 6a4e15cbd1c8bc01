// Why a watch ended on its own, in the user's words.
#pragma once

#include <string>

// The system's reason for the code `error` (errno on Linux, GetLastError on Windows; 0: an error of
// the program's own), as a phrase that follows a colon.
std::string RunEndReason(int error);
