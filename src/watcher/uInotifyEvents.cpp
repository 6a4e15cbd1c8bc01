#include "watcher/uInotifyEvents.h"

#include <cstring>
#include <functional>

namespace {

uint64_t ArrivalKey(int wd, std::string_view name) {
  return std::hash<std::string_view>{}(name) ^ (static_cast<uint64_t>(wd) * 0x9e3779b97f4a7c15u);
}

}  // namespace

void TEventCursor::Reset(const char* buffer, size_t size) {
  buffer_ = buffer;
  size_ = size;
  offset_ = 0;
  arrivalsGathered_ = false;
}

bool TEventCursor::At(size_t& offset, TInotifyEvent& event) const {
  if (offset + sizeof(inotify_event) > size_) return false;
  const auto* raw = reinterpret_cast<const inotify_event*>(buffer_ + offset);
  offset += sizeof(inotify_event) + raw->len;
  event.Wd = raw->wd;
  event.Mask = raw->mask;
  event.Cookie = raw->cookie;
  event.Name = std::string_view(raw->name, raw->len ? strnlen(raw->name, raw->len) : 0);
  return true;
}

bool TEventCursor::Next(TInotifyEvent& event) {
  return At(offset_, event);
}

bool TEventCursor::NamedAhead(int wd, std::string_view name, uint32_t how, size_t limit) const {
  size_t offset = offset_;
  TInotifyEvent event;
  for (size_t n = 0; n < limit && At(offset, event); ++n) {
    if (event.Wd == wd && (event.Mask & how) != 0 && event.Name == name) return true;
  }
  return false;
}

bool TEventCursor::TakenLater(int wd, std::string_view name, uint32_t how) const {
  if (!arrivalsGathered_) {
    arrivalsGathered_ = true;
    arrivals_.clear();
    size_t offset = 0;
    for (TInotifyEvent event; At(offset, event);) {
      if ((event.Mask & (IN_CREATE | IN_MOVED_TO)) && !event.Name.empty()) {
        auto& last = arrivals_[ArrivalKey(event.Wd, event.Name)];
        ((event.Mask & IN_CREATE) ? last.first : last.second) = offset;
      }
    }
  }
  const auto it = arrivals_.find(ArrivalKey(wd, name));
  return it != arrivals_.end() && (((how & IN_CREATE) && it->second.first > offset_) ||
                                   ((how & IN_MOVED_TO) && it->second.second > offset_));
}

std::optional<TInotifyEvent> TEventCursor::RenamedLater(int wd, std::string_view name) const {
  size_t offset = offset_;
  for (TInotifyEvent event; At(offset, event);) {
    if (event.Wd != wd || !(event.Mask & (IN_MOVED_FROM | IN_DELETE)) || event.Name != name) {
      continue;
    }
    TInotifyEvent next;
    if (!(event.Mask & IN_MOVED_FROM) || !At(offset, next)) break;
    if ((next.Mask & IN_MOVED_TO) && next.Cookie == event.Cookie) return next;
    break;
  }
  return std::nullopt;
}

bool TEventCursor::ArrivesBefore(int wd, std::string_view name, uint64_t barriers,
                                 TBarrierWatches watches) const {
  size_t offset = offset_;
  for (TInotifyEvent event; barriers > 0 && At(offset, event);) {
    if (watches.Has(event.Wd)) {
      --barriers;
    } else if (event.Wd == wd && (event.Mask & (IN_CREATE | IN_MOVED_TO)) && event.Name == name) {
      return true;
    }
  }
  return false;
}

uint64_t TEventCursor::BarriersAhead(TBarrierWatches watches, uint64_t most) const {
  uint64_t count = 0;
  size_t offset = offset_;
  for (TInotifyEvent event; count < most && At(offset, event);) {
    if (watches.Has(event.Wd)) ++count;
  }
  return count;
}
