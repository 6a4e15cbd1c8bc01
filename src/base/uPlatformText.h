// The platform's narrow text and its conversions, named once so that the logic never spells a
// separator or an encoding itself.
//
// The narrow text is UTF-8 on every platform: on Linux it is the file system's bytes, on Windows
// the UTF-8 form of the system's UTF-16 names, so no name is lost to a code page. Bytes that are
// not valid UTF-8 travel through UTF-16 as lone low surrogates U+DC00 + byte (U+DC80 … U+DCFF) and
// come back as the same byte, so every name round-trips exactly.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The folder separator of folder texts and relative names.
extern const char kFolderSeparator;

// File-system bytes to UTF-16 (little-endian code units in host order).
std::u16string NarrowToUtf16(std::string_view narrow);

// UTF-16 to file-system bytes; the exact inverse of NarrowToUtf16. A lone surrogate outside the
// escape range, which no conversion of ours produces, comes out as the substitute "?".
std::string Utf16ToNarrow(std::u16string_view wide);

// True when the text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view text);

// The system's message text for an error code (errno on Linux, GetLastError on Windows), with
// trailing blanks, line breaks and periods removed.
std::string SystemErrorText(int error);

// A system message without its trailing blanks, line breaks and periods.
std::string TrimSystemText(std::string text);

// The standard library's path for the program's text. On Windows the library takes narrow text in
// the ANSI code page, not UTF-8, so the text goes in as UTF-16 there.
std::filesystem::path PlatformPath(std::string_view narrow);
