// The platform's narrow text and its conversions, named once so that the logic never spells a
// separator or an encoding itself.
//
// On Linux the narrow text is the file system's bytes, normally UTF-8. Bytes that are not valid
// UTF-8 travel through UTF-16 as lone low surrogates U+DC00 + byte (U+DC80 … U+DCFF) and come back
// as the same byte, so every name round-trips exactly.
#pragma once

#include <string>
#include <string_view>

// The folder separator of folder texts and relative names.
extern const char kFolderSeparator;

// File-system bytes to UTF-16 (little-endian code units in host order).
std::u16string NarrowToUtf16(std::string_view narrow);

// UTF-16 to file-system bytes; the exact inverse of NarrowToUtf16. A lone surrogate outside the
// escape range, which no conversion of ours produces, comes out as the substitute "?".
std::string Utf16ToNarrow(std::u16string_view wide);

// The system's message text for an error code (errno here), with trailing blanks, line breaks
// and periods removed.
std::string SystemErrorText(int error);
