// The texts of the watcher: operation labels and words, the log lines of changes and of the start
// and stop of monitoring, the status-bar texts, and the one rule by which a log line is read back
// into a name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Status-bar texts, in Russian; MonitoringStatus gives them in the user's language.
extern const char* const kStatusActive;    // "Мониторинг папки активен"
extern const char* const kStatusInactive;  // "Мониторинг папки отключён"
std::string MonitoringStatus(bool active);

// The label of an action, used in the log ("создан:"), and its word, used in the popup ("создан"),
// in the user's language. The log lines keep their layout in every language, and no label holds a
// "#", so the name is still everything after the first "#".
std::string ActionLabel(uint32_t action);
std::string ActionWord(uint32_t action);

// Time text + three blanks + label + three blanks, with the time of the moment of the call.
std::string MakeOperationText(uint32_t action);

std::string ChangeLogLine(std::string_view operationText, std::string_view relativeName);
std::string StartLogLine();
std::string StopLogLine();

// Everything after the first "#" of a log line; empty when there is none.
std::string NameFromLogLine(std::string_view line);
