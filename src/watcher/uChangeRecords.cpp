#include "watcher/uChangeRecords.h"

#include <algorithm>
#include <utility>

#include "base/uPlatformText.h"
#include "watcher/uLogLines.h"

namespace {

uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

argTFolderMonitor DecodeRecord(const uint8_t* buffer, size_t size, size_t offset,
                               const std::string& folder, uint32_t& next) {
  argTFolderMonitor event;
  next = 0;
  if (offset + 12 <= size) {
    const uint8_t* p = buffer + offset;
    next = GetU32(p);
    event.Action = GetU32(p + 4);
    // At most FileNameLength / 2 units, and never past the end of the buffer.
    size_t units = GetU32(p + 8) / 2;
    units = std::min(units, (size - offset - 12) / 2);
    std::u16string name(units, u'\0');
    for (size_t i = 0; i < units; ++i) {
      name[i] = static_cast<char16_t>(p[12 + 2 * i] | p[13 + 2 * i] << 8);
    }
    event.RelativeName = Utf16ToNarrow(name);
  }
  event.FullPath = folder + event.RelativeName;
  event.OperationText = MakeOperationText(event.Action);
  return event;
}

bool TRecordWalk::Next(size_t& offset) {
  if (done_) return false;
  offset = offset_;
  const uint32_t next = offset_ + 12 <= size_ ? GetU32(buffer_ + offset_) : 0;
  // The next record needs room for its 12-byte header: a damaged offset that lands on the end of
  // the buffer, or too close to it, ends the walk rather than giving an empty record.
  if (next == 0 || next > size_ - offset_ || size_ - offset_ - next < 12) {
    done_ = true;
  } else {
    offset_ += next;
  }
  return true;
}

std::vector<argTFolderMonitor> DecodeRecords(const uint8_t* buffer, size_t size,
                                             const std::string& folder) {
  std::vector<argTFolderMonitor> events;
  TRecordWalk walk(buffer, size);
  uint32_t next;
  for (size_t offset; walk.Next(offset);) {
    events.push_back(DecodeRecord(buffer, size, offset, folder, next));
  }
  return events;
}

bool ShouldReport(const argTFolderMonitor& event, const argTFolderMonitor& previous) {
  return !(event.RelativeName == previous.RelativeName && event.Action == previous.Action);
}

std::string ChangeLogLine(const argTFolderMonitor& event) {
  return ChangeLogLine(event.OperationText, event.RelativeName);
}
