#include "ui/uSound.h"

#include <canberra.h>

#include <chrono>
#include <cstdint>
#include <mutex>

namespace {

std::mutex gMutex;
ca_context* gContext = nullptr;
bool gTried = false;
// Until when a file's sound is not tried again after neither it nor its fallback could be played
// (no sound device): every try costs the sound system a fresh look for a device.
std::chrono::steady_clock::time_point gQuietUntil;
constexpr std::chrono::seconds kQuietAfterFailure{1};

// The process's one context, made on first use. It lives as long as the process: sounds that are
// still playing at exit are not cut off by a teardown. Called with gMutex held.
ca_context* Context() {
  if (!gTried) {
    gTried = true;
    ca_context* context = nullptr;
    if (ca_context_create(&context) == CA_SUCCESS) {
      ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Vark", CA_PROP_APPLICATION_ID,
                              "vark", nullptr);
      gContext = context;
    }
  }
  return gContext;
}

int PlayEvent(ca_context* context, const char* eventId, uint32_t id = 0) {
  return ca_context_play(context, id, CA_PROP_EVENT_ID, eventId, nullptr);
}

// The sound of a file: a new one stops the one still playing, so that a burst of changes gives
// one sound at a time rather than hundreds on top of each other.
constexpr uint32_t kFileSoundId = 1;

}  // namespace

void PlaySoundFile(const std::string& path, const char* fallbackEventId) {
  std::lock_guard lock(gMutex);
  ca_context* context = Context();
  if (!context) return;
  ca_context_cancel(context, kFileSoundId);
  if (ca_context_play(context, kFileSoundId, CA_PROP_MEDIA_FILENAME, path.c_str(), nullptr) ==
      CA_SUCCESS) {
    return;
  }
  if (!fallbackEventId || PlayEvent(context, fallbackEventId, kFileSoundId) != CA_SUCCESS) {
    gQuietUntil = std::chrono::steady_clock::now() + kQuietAfterFailure;
  }
}

bool FileSoundBusy() {
  std::lock_guard lock(gMutex);
  if (!gTried) return false;
  // No sound system: nothing will ever play.
  if (!gContext) return true;
  if (std::chrono::steady_clock::now() < gQuietUntil) return true;
  int playing = 0;
  return ca_context_playing(gContext, kFileSoundId, &playing) == CA_SUCCESS && playing != 0;
}

void PlayThemeSound(const char* eventId, const char* fallbackEventId) {
  std::lock_guard lock(gMutex);
  ca_context* context = Context();
  if (!context) return;
  if (PlayEvent(context, eventId) == CA_ERROR_NOTFOUND && fallbackEventId) {
    PlayEvent(context, fallbackEventId);
  }
}

void PlayErrorSound() {
  PlayThemeSound("dialog-error", "bell");
}

void PlayInfoSound() {
  PlayThemeSound("dialog-information", "bell");
}
