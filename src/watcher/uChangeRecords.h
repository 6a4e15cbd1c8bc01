// Change records decoded into change events: the one walk over a buffer of records, and the
// repeat rule that decides which events are reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One change event, decoded from one record.
struct argTFolderMonitor {
  std::string RelativeName;
  std::string FullPath;
  std::string OperationText;
  uint32_t Action = 0;
};

// Decodes the record at `offset` of a buffer. Fields that would reach past the end of the buffer
// are cut at its end. `next` receives NextEntryOffset.
argTFolderMonitor DecodeRecord(const uint8_t* buffer, size_t size, size_t offset,
                               const std::string& folder, uint32_t& next);

// The walk over a buffer's records, in buffer order: from offset 0, advancing by NextEntryOffset
// until it is 0. A next offset that would leave no room for a whole 12-byte record header inside
// the buffer (a damaged offset) ends the walk rather than giving an empty record. The first
// record is always given: a buffer that holds nothing (an overflow left it zeroed) is one all-zero
// record. Every reader of a buffer walks it with this.
class TRecordWalk {
 public:
  TRecordWalk(const uint8_t* buffer, size_t size) : buffer_(buffer), size_(size) {}
  // The offset of the next record; false when the walk is over.
  bool Next(size_t& offset);

 private:
  const uint8_t* buffer_;
  size_t size_;
  size_t offset_ = 0;
  bool done_ = false;
};

// All events of a buffer, in the walk's order.
std::vector<argTFolderMonitor> DecodeRecords(const uint8_t* buffer, size_t size,
                                             const std::string& folder);

// The event's log line.
std::string ChangeLogLine(const argTFolderMonitor& event);

// The repeat rule: false when the event names exactly the previous name with the previous action.
bool ShouldReport(const argTFolderMonitor& event, const argTFolderMonitor& previous);
