#include "actions/uObjFiles.h"

#include <utility>

#include "base/uPathProbe.h"
#include "base/uPlatformText.h"

const char* const kPictureTable[kPictureCount + 1] = {
    "",     "avi", "bat", "bmp",  "css",  "dll", "doc",    "docx", "gif",  "htm",
    "html", "ini", "iso", "jpeg", "jpg",  "eml", "midi",   "mov",  "mp3",  "mp4",
    "mpg",  "php", "png", "ppt",  "pptx", "psd", "rar",    "rtf",  "tiff", "txt",
    "wav",  "wmv", "xls", "xlsx", "xml",  "zip", "folder", "none"};

namespace {

// Anything that exists under the name and is a folder, also through a link, as the shell sees it.
// A name with a NUL names nothing; a share that does not answer in time shows no folder.
bool IsFolder(const std::string& path) {
  return ProbePath(path, kPopupProbeLimit) == TPathKind::Folder;
}

}  // namespace

const char* PictureEntry(uint8_t index) {
  if (index < 1 || index > kPictureCount) return kPictureTable[kNonePicture];
  return kPictureTable[index];
}

std::string ExtensionOf(const std::string& fullPath) {
  const char stops[] = {'.', kFolderSeparator, ':', '\0'};
  const size_t at = fullPath.find_last_of(stops);
  if (at == std::string::npos || fullPath[at] != '.') return {};
  return fullPath.substr(at + 1);
}

TMsgFrm::TMsgFrm(std::string fullPath, std::string operationWord, std::string relativeName)
    : FullPath(std::move(fullPath)),
      RelativeName(std::move(relativeName)),
      Extension(ExtensionOf(FullPath)),
      OperationWord(std::move(operationWord)) {
  PictureIndex = FindPicture(Extension);
}

uint8_t TMsgFrm::FindPicture(const std::string& extension) const {
  if (extension.empty()) return IsFolder(FullPath) ? kFolderPicture : kNonePicture;
  for (uint8_t i = 1; i < kFolderPicture; ++i) {
    if (extension == kPictureTable[i]) return i;
  }
  return kNonePicture;
}
