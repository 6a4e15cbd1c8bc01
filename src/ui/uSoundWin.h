// Windows only: the two system calls behind the sound functions of uSound.h, replaceable by tests.
#pragma once

#include <functional>
#include <string>

struct TWinSoundCalls {
  // PlaySoundW(name, no module, flags).
  std::function<bool(const std::wstring& name, unsigned flags)> Play;
  // MessageBeep(type).
  std::function<bool(unsigned type)> Beep;
};

// Replaces the calls; empty members restore the real ones.
void SetSoundCallsForTesting(TWinSoundCalls calls);
