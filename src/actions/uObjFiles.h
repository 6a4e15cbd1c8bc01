// The change popup's content: the changed item, its extension and the file-type picture that goes
// with it. No Qt here; the popup window only shows what this holds.
#pragma once

#include <cstdint>
#include <string>

// The file-type picture table, indexed from 1: entries 1 … 35 are extensions in lower case, 36 is
// "folder" and 37 is "none". Each entry names its picture (the entry in upper case).
constexpr uint8_t kPictureCount = 37;
constexpr uint8_t kFolderPicture = 36;
constexpr uint8_t kNonePicture = 37;
extern const char* const kPictureTable[kPictureCount + 1];  // [0] is unused

// The table entry of a picture index; "none" for an index outside 1 … 37.
const char* PictureEntry(uint8_t index);

// The extension of a path without its dot: the text after the last "." when no separator (the
// folder separator or ":") follows it; else empty. A name ending in "." has an empty extension.
std::string ExtensionOf(const std::string& fullPath);

class TMsgFrm {
 public:
  TMsgFrm(std::string fullPath, std::string operationWord, std::string relativeName);

  std::string FullPath;
  std::string RelativeName;
  std::string Extension;
  uint8_t PictureIndex = kNonePicture;
  std::string OperationWord;

  // The picture of an extension: the first of entries 1 … 35 equal to it, byte by byte and case
  // sensitive; for an empty extension "folder" when FullPath names an existing folder now; else
  // "none".
  uint8_t FindPicture(const std::string& extension) const;
};
