#include "ui/uLanguage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTranslator>
#include <memory>

#include "base/uTranslation.h"

namespace {

std::unique_ptr<QTranslator> gTranslator;

std::string TranslateWithQt(const char* context, const char* source) {
  return QCoreApplication::translate(context, source).toStdString();
}

}  // namespace

TLanguage ChooseLanguage(const QStringList& uiLanguages) {
  for (const QString& name : uiLanguages) {
    // "en", "en-GB", "en_US.UTF-8": the language is what comes before the first separator.
    const QString language = name.section(QRegularExpression(QStringLiteral("[-_.@]")), 0, 0);
    if (language.compare(QStringLiteral("ru"), Qt::CaseInsensitive) == 0) return TLanguage::Russian;
    if (language.compare(QStringLiteral("en"), Qt::CaseInsensitive) == 0) return TLanguage::English;
  }
  return TLanguage::Russian;
}

QString TranslationFileFrom(const QString& programDir) {
  const QDir dir(programDir);
  for (const QString& candidate :
       {dir.filePath(QStringLiteral("translations/vark_en.qm")),
        dir.filePath(QStringLiteral("../share/vark/translations/vark_en.qm"))}) {
    const QFileInfo info(candidate);
    if (info.isFile() && info.isReadable()) return QDir::cleanPath(info.absoluteFilePath());
  }
  return {};
}

bool InstallLanguage(TLanguage language, const QString& programDir) {
  if (gTranslator) {
    QCoreApplication::removeTranslator(gTranslator.get());
    gTranslator.reset();
  }
  bool installed = language == TLanguage::Russian;
  if (language == TLanguage::English) {
    auto translator = std::make_unique<QTranslator>();
    const QString file = TranslationFileFrom(programDir);
    if (!file.isEmpty() && translator->load(file) &&
        QCoreApplication::installTranslator(translator.get())) {
      gTranslator = std::move(translator);
      installed = true;
    }
  }
  // The core keeps the texts it has translated: it asks again.
  TTranslation::Install(gTranslator ? &TranslateWithQt : nullptr);
  return installed;
}

TLanguage InstallDesktopLanguage() {
  const TLanguage wanted = ChooseLanguage(QLocale::system().uiLanguages());
  return InstallLanguage(wanted, QCoreApplication::applicationDirPath()) ? wanted
                                                                         : TLanguage::Russian;
}
