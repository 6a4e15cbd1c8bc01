// Looking at what is at a path from the user-interface thread. The look itself runs on a helper
// thread, so a share that does not answer (a server down behind a hard mount) holds the caller up
// for a bounded time at most, never indefinitely.
#pragma once

#include <chrono>
#include <functional>
#include <string>

enum class TPathKind { None, File, Folder, NoAnswer };

// What is at `path`, following links as the shell would: nothing (also for an empty path or one
// holding a NUL), a file (anything that is not a folder) or a folder; NoAnswer when the look has
// not ended within `limit`. Every look runs on a helper of its own, so a look that hangs holds up
// no other; a hung look goes on in the background. While kMaxOutstandingLooks looks hang, further
// calls get NoAnswer at once.
TPathKind ProbePath(const std::string& path, std::chrono::milliseconds limit);

inline constexpr int kMaxOutstandingLooks = 16;

// How long the popup waits for the look that picks a picture, and the open actions for theirs.
inline constexpr std::chrono::milliseconds kPopupProbeLimit{100};
inline constexpr std::chrono::milliseconds kOpenProbeLimit{2000};

// Tests: replaces the look itself (an empty function restores the real one).
void SetPathLookForTests(std::function<TPathKind(const std::string&)> look);
