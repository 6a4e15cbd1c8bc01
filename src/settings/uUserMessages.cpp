#include "settings/uUserMessages.h"

#include <atomic>
#include <cstdio>

#include "base/uTranslation.h"

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

std::string MessageText(const char* source) {
  return TTranslation::translate("Messages", source);
}

void ShowInfo(const std::string& text) {
  if (IUserMessages* m = gMessages.load()) {
    m->ShowInfo(text);
  } else {
    std::fprintf(stderr, "Information: %s\n", text.c_str());
  }
}
