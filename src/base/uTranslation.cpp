#include "base/uTranslation.h"

#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace {

// The watcher asks for an operation's label with every record it decodes: a kept text costs a
// look-up in a small map, not a trip through the translator.
struct TKept {
  std::shared_mutex mutex;
  TTranslation::TTranslate translate = nullptr;
  std::map<std::pair<const char*, const char*>, std::string> texts;
};

TKept& Kept() {
  static TKept kept;
  return kept;
}

}  // namespace

void TTranslation::Install(TTranslate translate) {
  TKept& kept = Kept();
  std::unique_lock lock(kept.mutex);
  kept.translate = translate;
  kept.texts.clear();
}

std::string TTranslation::translate(const char* context, const char* source) {
  TKept& kept = Kept();
  const std::pair key(context, source);
  {
    std::shared_lock lock(kept.mutex);
    if (!kept.translate) return source;
    if (const auto it = kept.texts.find(key); it != kept.texts.end()) return it->second;
  }
  std::unique_lock lock(kept.mutex);
  if (!kept.translate) return source;
  std::string text = kept.translate(context, source);
  // A translator that cannot answer (the application object gone) gives the source.
  if (text.empty()) text = source;
  return kept.texts.emplace(key, std::move(text)).first->second;
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string text;
  text.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
        pattern[i + 1] <= '9') {
      const size_t n = static_cast<size_t>(pattern[i + 1] - '1');
      if (n < args.size()) {
        text += *(args.begin() + n);
        ++i;
        continue;
      }
    }
    text += pattern[i];
  }
  return text;
}
