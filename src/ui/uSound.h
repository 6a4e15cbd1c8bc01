// Event sounds through the desktop's sound library. Every call returns at once and the sound
// plays on its own; with no sound device nothing is played and nothing is reported.
#pragma once

#include <string>

// Plays a sound file; when it cannot be played, the theme sound `fallbackEventId` instead (none
// when null).
void PlaySoundFile(const std::string& path, const char* fallbackEventId);

// A file's sound is still playing (or none could be played a moment ago): a request for one now
// would only cut it off and start it again.
bool FileSoundBusy();

// Plays the theme sound `eventId` ("dialog-error", …); when the theme has none, `fallbackEventId`.
void PlayThemeSound(const char* eventId, const char* fallbackEventId = "bell");

// The sounds of the error and the information box.
void PlayErrorSound();
void PlayInfoSound();
