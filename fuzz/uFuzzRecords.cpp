// Fuzz target: the record walk and decoder. Any bytes are a record buffer; the events must be the
// ones an independent walk over the same bytes finds, and each must come back exactly through a
// log line and through the record writer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/uPlatformText.h"
#include "base/uTimeText.h"
#include "watcher/uDirChanges.h"
#include "watcher/uMonThread2.h"

namespace {

uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

// What the walk must give: a record for each offset it reaches, where a next offset must leave
// room for a whole 12-byte header inside the buffer.
struct TExpected {
  uint32_t Action = 0;
  std::u16string Name;
};

std::vector<TExpected> Walk(const uint8_t* data, size_t size) {
  std::vector<TExpected> records;
  size_t offset = 0;
  for (;;) {
    TExpected record;
    uint32_t next = 0;
    if (size >= 12 && offset <= size - 12) {
      next = U32(data + offset);
      record.Action = U32(data + offset + 4);
      const size_t room = (size - offset - 12) / 2;
      const size_t units = std::min<size_t>(U32(data + offset + 8) / 2, room);
      for (size_t i = 0; i < units; ++i) {
        const uint8_t* unit = data + offset + 12 + 2 * i;
        record.Name += static_cast<char16_t>(unit[0] | unit[1] << 8);
      }
    }
    records.push_back(record);
    if (next == 0 || uint64_t{offset} + next + 12 > size) break;
    offset += next;
  }
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetLongTimeFormat(TimeFormatFromPattern("%H:%M:%S", "", "", ""));
  SetClockForTesting([] {
    std::tm t{};
    t.tm_mday = 1;
    t.tm_hour = 9;
    return t;
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the bytes given, in a buffer of their own, so that a read past them is seen.
  std::vector<uint8_t> buffer(data, data + size);
  const std::vector<argTFolderMonitor> events = DecodeRecords(buffer.data(), buffer.size(), "/w/");
  const std::vector<TExpected> expected = Walk(buffer.data(), buffer.size());
  Check(events.size() == expected.size());

  std::vector<uint8_t> rewritten(kChangeBufferSize * 2, 0);
  TRecordWriter writer(rewritten.data(), rewritten.size());
  size_t written = 0;
  bool full = false;
  for (size_t i = 0; i < events.size(); ++i) {
    const argTFolderMonitor& event = events[i];
    Check(event.Action == expected[i].Action);
    Check(event.RelativeName == Utf16ToNarrow(expected[i].Name));
    Check(event.FullPath == "/w/" + event.RelativeName);
    Check(event.OperationText == MakeOperationText(event.Action));
    // The name comes back whole from its log line, whatever bytes it holds ("#" included).
    Check(NameFromLogLine(ChangeLogLine(event)) == event.RelativeName);
    if (!full && writer.Append(event.Action, NarrowToUtf16(event.RelativeName))) {
      ++written;
    } else {
      full = true;
    }
  }
  // Written again by the record writer, the events decode to the same names and actions.
  if (written > 0) {
    const std::vector<argTFolderMonitor> again =
        DecodeRecords(rewritten.data(), rewritten.size(), "/w/");
    Check(again.size() == written);
    for (size_t i = 0; i < written; ++i) {
      Check(again[i].Action == events[i].Action);
      Check(again[i].RelativeName == events[i].RelativeName);
    }
  }
  return 0;
}
