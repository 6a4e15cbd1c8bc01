#include "settings/uUserMessages.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<IUserMessages*> gMessages{nullptr};
}  // namespace

void SetUserMessages(IUserMessages* messages) {
  gMessages.store(messages);
}

IUserMessages* UserMessages() {
  return gMessages.load();
}

void ShowError(const std::string& text) {
  if (IUserMessages* m = gMessages.load()) {
    m->ShowError(text);
  } else {
    std::fprintf(stderr, "Error: %s\n", text.c_str());
  }
}

void ShowInfo(const std::string& text) {
  if (IUserMessages* m = gMessages.load()) {
    m->ShowInfo(text);
  } else {
    std::fprintf(stderr, "Information: %s\n", text.c_str());
  }
}
