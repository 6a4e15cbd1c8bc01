// The texts the user reads, in the user's language. They are written in Russian, the program's own
// language and its default, and the user interface translates them through Qt's translation
// system. The core has no Qt, so it marks its texts the way Qt's lupdate reads them and asks the
// translator that the user interface installs at start-up; until one is installed (and in the
// core's tests) every text is its Russian source.
//
// Marking: a literal text is asked for as TTranslation::translate("Context", "текст"); a text kept
// in a constant is marked where it is defined, with QT_TRANSLATE_NOOP("Context", "текст"), and
// asked for with the same context. A text with values in it has "%1", "%2"… where they go
// (FormatText), so that a translation may put them elsewhere. No translation may hold "#": a log
// line's name is read back as everything after its first "#".
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(context, text) text
#endif

class TTranslation {
 public:
  // Answers the translation of `source` (UTF-8) in `context`, or `source` itself where none.
  // Called from any thread.
  using TTranslate = std::string (*)(const char* context, const char* source);

  // Installs the translator (null: the sources); also when the language has changed, so that
  // texts translated before are asked for again.
  static void Install(TTranslate translate);
  // The name is lupdate's: it finds the texts by it. Each text is asked for once per language,
  // then kept; both arguments must live as long as the program (literals do).
  static std::string translate(const char* context, const char* source);
};

// `pattern` with "%1" … "%9" replaced by the arguments, in one pass: an argument's own "%1" stays.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args);
