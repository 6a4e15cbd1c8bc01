#include "watcher/uDirChanges.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

bool FilterSelects(uint32_t notifyFilter, const TChangeRecord& record) {
  if (record.Action == kActionModified) return (notifyFilter & kNotifySize) != 0 && !record.IsDir;
  return (notifyFilter & (record.IsDir ? kNotifyDirName : kNotifyFileName)) != 0;
}

bool TRecordWriter::Append(uint32_t action, std::u16string_view name) {
  const size_t start = count_ == 0 ? 0 : (end_ + 3) & ~size_t{3};
  const size_t need = RecordSize(name.size());
  if (start > size_ || need > size_ - start) return false;
  if (count_ > 0) PutU32(buffer_ + lastStart_, static_cast<uint32_t>(start - lastStart_));
  uint8_t* p = buffer_ + start;
  PutU32(p, 0);
  PutU32(p + 4, action);
  PutU32(p + 8, static_cast<uint32_t>(2 * name.size()));
  for (size_t i = 0; i < name.size(); ++i) {
    p[12 + 2 * i] = static_cast<uint8_t>(name[i]);
    p[13 + 2 * i] = static_cast<uint8_t>(name[i] >> 8);
  }
  lastStart_ = start;
  end_ = start + need;
  ++count_;
  return true;
}

TDirChanges::TReadResult TQueuedDirChanges::Read(uint8_t* buffer, size_t size,
                                                 uint32_t notifyFilter) {
  std::unique_lock lock(mutex_);
  TRecordWriter writer(buffer, size);
  for (;;) {
    if (!stopped_ && !noticeReady_ && queue_.empty()) {
      nudged_ = false;
      lock.unlock();
      const bool produced = ProduceHere();
      lock.lock();
      if (produced) continue;
      wake_.wait(lock, [&] { return stopped_ || noticeReady_ || nudged_ || !queue_.empty(); });
      continue;
    }
    if (stopped_) return {TReadStatus::Stopped};
    if (noticeReady_) return {TReadStatus::Notice};
    while (!queue_.empty()) {
      TItem& item = queue_.front();
      if (item.Kind == TItemKind::Failure) {
        if (writer.Count() > 0) break;
        return {TReadStatus::Failed, 0, item.Error};
      }
      if (item.Kind == TItemKind::Overflow) {
        if (writer.Count() > 0) break;
        queue_.pop_front();
        return {TReadStatus::Overflow};
      }
      if (FilterSelects(notifyFilter, item.Record) &&
          !writer.Append(item.Record.Action, item.Record.Name)) {
        if (writer.Count() > 0) break;
        // A name too long for an empty buffer: the reader is told how much room it needs.
        return {TReadStatus::TooSmall, TRecordWriter::RecordSize(item.Record.Name.size())};
      }
      bytes_ -= Cost(item.Record);
      queue_.pop_front();
      --records_;
    }
    if (writer.Count() > 0) return {TReadStatus::Records, writer.Bytes()};
    // Everything queued was filtered out: wait for more.
  }
}

void TQueuedDirChanges::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  wake_.notify_all();
  OnStop();
}

std::string TQueuedDirChanges::TakeNotice() {
  std::lock_guard lock(mutex_);
  noticeReady_ = false;
  return std::exchange(notice_, {});
}

size_t TQueuedDirChanges::Pending() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void TQueuedDirChanges::SetMaxPending(size_t records, size_t bytes) {
  std::lock_guard lock(mutex_);
  maxRecords_ = records;
  maxBytes_ = bytes;
}

void TQueuedDirChanges::Append(TChangeRecord& record) {
  const size_t cost = Cost(record);
  if (records_ < maxRecords_ && cost <= maxBytes_ - std::min(maxBytes_, bytes_)) {
    queue_.push_back({TItemKind::Record, std::move(record)});
    ++records_;
    bytes_ += cost;
  } else if (queue_.empty() || queue_.back().Kind != TItemKind::Overflow) {
    queue_.push_back({TItemKind::Overflow, {}});
  }
}

void TQueuedDirChanges::Push(TChangeRecord record) {
  {
    std::lock_guard lock(mutex_);
    Append(record);
  }
  wake_.notify_all();
}

void TQueuedDirChanges::Push(std::vector<TChangeRecord>& records) {
  if (records.empty()) return;
  {
    std::lock_guard lock(mutex_);
    for (auto& r : records) Append(r);
  }
  records.clear();
  wake_.notify_all();
}

void TQueuedDirChanges::PushOverflow() {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({TItemKind::Overflow, {}});
  }
  wake_.notify_all();
}

void TQueuedDirChanges::PushFailure(int error) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({TItemKind::Failure, {}, error});
  }
  wake_.notify_all();
}

void TQueuedDirChanges::PushNotice(std::string text) {
  {
    std::lock_guard lock(mutex_);
    if (!notice_.empty()) notice_ += "\n";
    notice_ += text;
    noticeReady_ = true;
  }
  wake_.notify_all();
}

void TQueuedDirChanges::NudgeRead() {
  {
    std::lock_guard lock(mutex_);
    nudged_ = true;
  }
  wake_.notify_all();
}

bool TQueuedDirChanges::StopRequested() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}
