// Handlers of the windows run their work through GuardHandler: an error that escapes the work (a
// settings file that cannot be written, for example) is shown to the user with its message and the
// program goes on, as an error raised in an event handler should be.
#pragma once

#include <functional>

void GuardHandler(const std::function<void()>& work);
