// Windows only: the change source over ReadDirectoryChangesExW / ReadDirectoryChangesW, with the
// parts its tests look at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "watcher/uDirChanges.h"

// Which read call the source uses: the extended one where the system has it (Windows 10 1709 and
// later), which tells folders from files itself, or the plain one everywhere.
enum class TWinReadCall { Best, Plain };

// The size of the buffer the system fills per read: 64 KiB, the most a read over the network may
// ask for. Tests give a smaller one to make the system's buffer overflow.
constexpr size_t kWinReadBufferSize = 64 * 1024;

std::shared_ptr<TDirChanges> MakeWinDirChanges(TWinReadCall call,
                                               size_t bufferSize = kWinReadBufferSize);

// True when this system has ReadDirectoryChangesExW.
bool ExtendedReadAvailable();

// What one completed read means, from GetOverlappedResult's answer, its error and byte count.
enum class TWinReadOutcome { Records, Overflow, Failed };
TWinReadOutcome ReadOutcome(bool completed, uint32_t error, uint32_t bytes);

// One record as the system returned it.
struct TWinRawRecord {
  uint32_t Action = 0;
  std::u16string Name;
  bool HasAttributes = false;  // extended records only
  uint32_t Attributes = 0;
};

// The records of one completed read of `bytes` bytes, in the FILE_NOTIFY_INFORMATION layout
// (`extended` false) or the FILE_NOTIFY_EXTENDED_INFORMATION one. Stops at a record that would
// reach past the end, so a damaged buffer never makes it read past what the system filled.
std::vector<TWinRawRecord> ParseNotifyBuffer(const uint8_t* buffer, size_t bytes, bool extended);
