// The two message boxes through which the program reports failures to the user. The user
// interface installs the real boxes; the core and its tests reach them only through here.
#pragma once

#include <string>

#include "base/uTranslation.h"

class IUserMessages {
 public:
  virtual ~IUserMessages() = default;
  // The error sound, then a modal box "Error" with the text and one OK button.
  virtual void ShowError(const std::string& text) = 0;
  // The information sound, then a modal box "Information" with the text and one OK button.
  virtual void ShowInfo(const std::string& text) = 0;
};

// Installs the boxes (null: messages go to the standard error stream).
void SetUserMessages(IUserMessages* messages);
IUserMessages* UserMessages();

// Both return when the box has been closed.
void ShowError(const std::string& text);
void ShowInfo(const std::string& text);

// A message text kept in a constant, marked QT_TRANSLATE_NOOP("Messages", …) where it is defined,
// in the user's language.
std::string MessageText(const char* source);
