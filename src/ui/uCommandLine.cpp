#include "ui/uCommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

#include "ui/uLanguage.h"

namespace {

void Print(FILE* to, const QString& text) {
  std::fputs(text.toUtf8().constData(), to);
}

QString Usage() {
  return QCoreApplication::translate(
      "CommandLine",
      "Использование: vark [параметр]\n"
      "Монитор каталогов: сообщает о каждом файле и папке, которые создали, удалили или\n"
      "переименовали в выбранной папке и её подпапках, и о каждом файле, размер которого\n"
      "изменился. Без параметров открывает окно программы; папку выбирают в её настройках.\n"
      "\n"
      "Параметры:\n"
      "  -h, --help     показать эту справку и выйти\n"
      "  -v, --version  показать версию программы и выйти\n");
}

// What is wrong with a command line the parser refused or that holds more than an option.
QString Complaint(const QCommandLineParser& parser, bool parsed) {
  if (!parser.unknownOptionNames().isEmpty()) {
    const QString name = parser.unknownOptionNames().constFirst();
    return QCoreApplication::translate("CommandLine", "неизвестный параметр %1")
        .arg((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name);
  }
  if (parsed && !parser.positionalArguments().isEmpty()) {
    return QCoreApplication::translate("CommandLine", "лишний аргумент %1")
        .arg(parser.positionalArguments().constFirst());
  }
  return QCoreApplication::translate("CommandLine", "неверный параметр: %1")
      .arg(parser.errorText());
}

}  // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv) {
  if (argc <= 1) return std::nullopt;
  // Enough of an application for the arguments and the translation; no display.
  int count = argc;
  QCoreApplication app(count, argv);
  InstallDesktopLanguage();

  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  parser.addOption(help);
  parser.addOption(version);
  const bool parsed = parser.parse(QCoreApplication::arguments());
  const bool clean = parsed && parser.positionalArguments().isEmpty();
  if (clean && parser.isSet(help)) {
    Print(stdout, Usage());
    return 0;
  }
  if (clean && parser.isSet(version)) {
    Print(stdout, QStringLiteral("vark " VARK_VERSION "\n"));
    return 0;
  }
  // "--" alone asks for nothing: the program starts as without it.
  if (clean) return std::nullopt;
  Print(stderr,
        QStringLiteral("vark: ") + Complaint(parser, parsed) + QStringLiteral("\n\n") + Usage());
  return 2;
}
