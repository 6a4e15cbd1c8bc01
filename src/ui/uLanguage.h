// The language the program speaks: Russian, its own and the default, or English where the desktop
// prefers it. The Russian texts are the sources; English comes from Qt's translation file
// "vark_en.qm", built with the program. The settings file never changes with the language.
#pragma once

#include <QString>
#include <QStringList>

enum class TLanguage { Russian, English };

// The first of the desktop's languages, in its order of preference (QLocale::uiLanguages), that the
// program speaks; Russian when it speaks none of them (the C and POSIX locales among them).
TLanguage ChooseLanguage(const QStringList& uiLanguages);

// The translation file for English: beside the program ("translations/"), else in the installed
// data folder ("../share/vark/translations/" from the program's folder); empty when neither has it.
QString TranslationFileFrom(const QString& programDir);

// Makes `language` the program's language for the windows created from now on and for the texts of
// the core. English needs its translation file: without one the program stays Russian and this
// answers false. Needs the application object.
bool InstallLanguage(TLanguage language, const QString& programDir);
// The language the desktop prefers, with the translations beside the running program.
TLanguage InstallDesktopLanguage();
