// The logic of the shared interface helpers: opening the item a log line names, or its folder, and
// the popup's corner position. No Qt here; the shell open is reached through IShellOpen.
#pragma once

#include <cstdint>
#include <string>

// Opens a file or folder with its default handler. Never a command line: the path is handed over as
// data, whatever bytes it holds.
class IShellOpen {
 public:
  virtual ~IShellOpen() = default;
  virtual void Open(const std::string& path) = 0;
};
void SetShellOpen(IShellOpen* shell);

// The text of the failure box of the open actions.
extern const char* const kOpenFailedText;  // "Возникла ошибка, сообщите автору"
// The start of the box's text when the item's folder did not answer in time; the path follows.
extern const char* const kOpenNoAnswerText;

// The item named after the first "#" of `line`, under `folder` (joined with nothing inserted): an
// existing file or, failing that, an existing folder, is opened; anything else does nothing, except
// that a folder that does not answer in time is reported.
void OpenLoggedFileIn(const std::string& folder, const std::string& line);
// As above, but a file's folder is opened (everything up to its last separator); a folder opens
// itself.
void OpenLoggedFolderIn(const std::string& folder, const std::string& line);

// The same, under the watched folder the options hold now (empty when none is set).
void OpenLoggedFile(const std::string& line);
void OpenLoggedFolder(const std::string& line);

// The corner rule: in x, y the window's width and height; out, its left and top, so that its right
// edge is on the screen's right edge and its bottom edge on the taskbar's top edge.
void PopupPositionIn(int16_t& x, int16_t& y, int screenWidth, int screenHeight, int taskbarHeight);
