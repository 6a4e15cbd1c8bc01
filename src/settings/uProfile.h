// The INI layer: reads and writes single keys of an INI file by the rules of the Windows profile
// functions, so that a file written by either reads the same by both.
//
// Reading: section and key names are matched without regard to case (ASCII letters); blanks around
// section names, key names and values are ignored; one pair of matching quotes around a whole value
// is removed; lines starting with ";" and lines without "=" are not keys; CRLF, LF and CR line ends
// all end a line; where a name repeats, the first section and the first key in it win; a byte-order
// mark at the start of the file is skipped. A value ends at a NUL byte.
//
// Writing rewrites the file with the keys asked for changed and leaves every other byte as it was.
// All the keys of one write go in one replacement of the file: the new content is written beside
// the file and renamed into place, so a crash never leaves a half-written file or half a write; a
// symbolic link is written through to its target, and the file keeps its permissions and owner.
// Where the folder takes no new files, the file is overwritten in place behind a journal (see
// WriteFileReplacing).
//
// Programs sharing a file take turns: a write holds an exclusive advisory lock from its reading of
// the file to its replacement, so it changes what the file holds at that moment and never puts
// back what another program wrote since; a read holds a shared one.
//
// A settings file is small: one past kProfileFileLimit bytes is taken as damaged. It reads as
// missing keys (EFBIG to those who ask) and is never written, so nothing in it is lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Text reads give at most this many characters (a 2048-character buffer with its terminator).
constexpr size_t kProfileTextLimit = 2047;

// The largest file the layer reads or writes, in bytes.
constexpr size_t kProfileFileLimit = 1024 * 1024;

// The file read once, for several keys: each GetProfileString would read it anew.
class TProfileFile {
 public:
  explicit TProfileFile(const std::string& path);
  // 0, ENOENT when nothing is at the path, EFBIG past kProfileFileLimit, or another error code.
  int Error() const { return error_; }
  // As GetProfileString, from the text read at construction.
  std::string Get(std::string_view section, std::string_view key, std::string_view def,
                  size_t limit = kProfileTextLimit) const;

 private:
  std::string content_;
  int error_ = 0;
};

// The value of `key` in `section` of the file at `path`, cut to `limit` characters; `def` when the
// file, the section or the key is missing or the file cannot be read. Never fails.
std::string GetProfileString(std::string_view section, std::string_view key, std::string_view def,
                             const std::string& path, size_t limit = kProfileTextLimit);

// Sets `key` in `section` to `value`, creating the file, the section or the key as needed. Answers
// 0, or the system's error code (errno) when the write was refused. A value, key or section that
// holds a line break or a NUL cannot be stored without corrupting the file and is refused (EINVAL),
// and so is a name that would read back as another one or as none (ProfileNameStorable). An
// existing file that cannot be read, or one that is or would become larger than kProfileFileLimit
// (EFBIG), is refused too, so that its content is never lost.
int WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                       const std::string& path);

// One key and the value it is to have.
struct TProfileValue {
  std::string Key;
  std::string Value;
};

// Sets several keys of `section` in one write: each as WriteProfileString would, all of them in one
// replacement of the file. Nothing is written when one of them is refused.
int WriteProfileStrings(std::string_view section, const std::vector<TProfileValue>& values,
                        const std::string& path);

// A write whose keys depend on the file: under the exclusive lock the file is read afresh and
// `values` is told whether one exists; the keys it answers are then written as by
// WriteProfileStrings. An answer without keys writes nothing, though a file that cannot be read
// is still refused.
int UpdateProfile(std::string_view section,
                  const std::function<std::vector<TProfileValue>(bool exists)>& values,
                  const std::string& path);

// True when a regular file (not a folder) exists at `path`, following symbolic links.
bool ProfileFileExists(const std::string& path);

// True when a section (`key` false) or key name written to a file reads back as itself: not empty,
// no blank at either end, no line break or NUL; a section name holds no "]"; a key holds no "=" and
// starts with neither ";" (a comment) nor "[" (a header).
bool ProfileNameStorable(std::string_view name, bool key);

// ---- the parts below are the layer's own machinery, open to tests and to the autorun store ----

// The value of `key` in `section` of the INI text `content`; `def` when missing.
std::string ReadProfileValue(std::string_view content, std::string_view section,
                             std::string_view key, std::string_view def);

// `content` with `key` in `section` set to `value`. New lines use the line end that the text
// already uses, or `newLineEnd` when it has none.
std::string SetProfileValue(std::string_view content, std::string_view section,
                            std::string_view key, std::string_view value,
                            std::string_view newLineEnd = "\n");

// The first `limit` characters of a text: a complete UTF-8 sequence counts as one character, and
// every byte that is not part of one counts as one.
std::string CutToCharacters(std::string_view text, size_t limit);

// ---- file access, per platform ----

// The advisory lock that programs sharing the settings file at `path` take turns by, held until
// the object goes: on Linux flock on the file's folder (which a rename does not replace), on
// Windows LockFileEx on a hidden file beside it. Waits while another program holds it. Where no
// lock can be had (a folder that cannot be opened, a file system without locks), the work goes on
// without one: the lock only keeps programs from undoing each other's saves.
class TProfileLock {
 public:
  TProfileLock(const std::string& path, bool exclusive);
  ~TProfileLock();
  TProfileLock(const TProfileLock&) = delete;
  TProfileLock& operator=(const TProfileLock&) = delete;
  bool Held() const { return handle_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};

// Reads a whole regular file (following symbolic links). Answers 0, ENOENT when nothing exists at
// the path, or another error code (EISDIR for a folder, EINVAL for other kinds of file, EFBIG for
// a file larger than kProfileFileLimit, which is not read at all). Where an overwrite in place was
// cut short, the content is the one that write was completing.
int ReadWholeFile(const std::string& path, std::string& content);

// Replaces the file at `path` (following symbolic links) with `content`: written beside it, then
// renamed into place. An existing file that is read-only by its permission bits (even for a
// process that could write it anyway) is refused, and an existing file keeps its permissions and
// owner. Where the folder takes no new files but the file may be written, the file is overwritten
// in place: first the old and the new content go to a journal in the user's configuration folder,
// then the new content is written over the old without cutting the file, and it is cut to its new
// length last; a write cut short by a kill reads back as the new content, one that fails (a full
// disk) puts the old content back. Temporary files of ours that an earlier, interrupted write
// left behind are removed. Answers 0 or errno.
int WriteFileReplacing(const std::string& path, std::string_view content);
