// The sounds on Windows: PlaySound for a file and MessageBeep for the boxes' sounds. Both return at
// once; the system plays on its own.
#include "ui/uSoundWin.h"

// mmsystem.h needs windows.h before it.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <cstring>
#include <mutex>

#include "base/uPlatformTextWin.h"
#include "ui/uSound.h"

namespace {

std::mutex gMutex;
TWinSoundCalls gCalls;

bool CallPlaySound(const std::wstring& name, unsigned flags) {
  std::function<bool(const std::wstring&, unsigned)> call;
  {
    std::lock_guard lock(gMutex);
    call = gCalls.Play;
  }
  if (call) return call(name, flags);
  return PlaySoundW(name.c_str(), nullptr, flags) != FALSE;
}

bool CallMessageBeep(unsigned type) {
  std::function<bool(unsigned)> call;
  {
    std::lock_guard lock(gMutex);
    call = gCalls.Beep;
  }
  if (call) return call(type);
  return MessageBeep(type) != FALSE;
}

// The beep that stands for a theme sound of the other platforms.
unsigned BeepFor(const char* eventId) {
  if (!eventId) return MB_OK;
  if (std::strcmp(eventId, "dialog-error") == 0) return MB_ICONHAND;
  if (std::strcmp(eventId, "dialog-information") == 0) return MB_ICONASTERISK;
  if (std::strcmp(eventId, "dialog-warning") == 0) return MB_ICONEXCLAMATION;
  if (std::strcmp(eventId, "dialog-question") == 0) return MB_ICONQUESTION;
  return MB_OK;
}

}  // namespace

void SetSoundCallsForTesting(TWinSoundCalls calls) {
  std::lock_guard lock(gMutex);
  gCalls = std::move(calls);
}

void PlaySoundFile(const std::string& path, const char* fallbackEventId) {
  // SND_ASYNC alone: the name is looked up the system's usual way, and a file that cannot be
  // played gives the system's default sound, which stands for the fallback here. A new sound
  // stops the one still playing.
  (void)fallbackEventId;
  CallPlaySound(WideText(path), SND_ASYNC);
}

bool FileSoundBusy() {
  // PlaySound cannot be asked whether it still plays: each request plays anew.
  return false;
}

void PlayThemeSound(const char* eventId, const char* fallbackEventId) {
  if (!CallMessageBeep(BeepFor(eventId)) && fallbackEventId)
    CallMessageBeep(BeepFor(fallbackEventId));
}

void PlayErrorSound() {
  CallMessageBeep(MB_ICONHAND);
}

void PlayInfoSound() {
  CallMessageBeep(MB_ICONASTERISK);
}
