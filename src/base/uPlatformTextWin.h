// Windows only: the program's UTF-8 text in and out of the system's wide (UTF-16) calls, and the
// ANSI code page text of files written by older programs.
#pragma once

#include <string>
#include <string_view>

// UTF-8 text as the wide text of the W calls.
std::wstring WideText(std::string_view narrow);
// Wide text from the system as UTF-8.
std::string NarrowText(std::wstring_view wide);
// Text in the ANSI code page `codePage` (CP_ACP, the system's, by default) as UTF-8.
std::string AnsiToUtf8(std::string_view ansi, unsigned codePage = 0);
