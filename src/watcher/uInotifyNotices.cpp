#include "watcher/uInotifyNotices.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

#include "base/uTranslation.h"

namespace {

uint64_t ReadNumber(const char* file) {
  unsigned long long value = 0;
  if (FILE* f = std::fopen(file, "r")) {
    if (std::fscanf(f, "%llu", &value) != 1) value = 0;
    std::fclose(f);
  }
  return value;
}

}  // namespace

TWatchLimits ReadWatchLimits() {
  return {ReadNumber("/proc/sys/fs/inotify/max_user_watches"),
          ReadNumber("/proc/sys/user/max_inotify_watches")};
}

std::string WatchLimitNotice(size_t unwatched, const TWatchLimits& limits) {
  // The limit that refused the watch: the user namespace's where it is the lower one.
  const bool user = limits.User != 0 && (limits.System == 0 || limits.User < limits.System);
  const std::string name = user ? "user.max_inotify_watches" : "fs.inotify.max_user_watches";
  const uint64_t limit = user ? limits.User : limits.System;
  // The usual advice, or twice the present limit when that is already as high.
  const std::string raised = std::to_string(std::max<uint64_t>(524288, limit * 2));
  const std::string count = std::to_string(unwatched);
  const char* pattern =
      limit != 0
          ? QT_TRANSLATE_NOOP(
                "Notices",
                "Достигнут системный предел числа наблюдаемых папок %1 (сейчас %4). Папки сверх "
                "предела проверяются опросом — медленнее, раз в несколько секунд; таких папок: "
                "%2.\nЧтобы поднять предел, выполните:\nsudo sysctl %1=%3\nЧтобы он сохранился "
                "после перезагрузки, запишите строку %1=%3 в файл "
                "/etc/sysctl.d/90-inotify-watches.conf. Затем перезапустите мониторинг.")
          : QT_TRANSLATE_NOOP(
                "Notices",
                "Достигнут системный предел числа наблюдаемых папок %1. Папки сверх предела "
                "проверяются опросом — медленнее, раз в несколько секунд; таких папок: %2.\nЧтобы "
                "поднять предел, выполните:\nsudo sysctl %1=%3\nЧтобы он сохранился после "
                "перезагрузки, запишите строку %1=%3 в файл "
                "/etc/sysctl.d/90-inotify-watches.conf. Затем перезапустите мониторинг.");
  return FormatText(TTranslation::translate("Notices", pattern),
                    {name, count, raised, std::to_string(limit)});
}

std::string WatchMemoryNotice(size_t unwatched) {
  return FormatText(TTranslation::translate(
                        "Notices",
                        "Системе не хватило памяти, чтобы наблюдать за всеми папками. Папки, за "
                        "которыми не удалось установить наблюдение, проверяются опросом — "
                        "медленнее, раз в несколько секунд; таких папок: %1."),
                    {std::to_string(unwatched)});
}

std::string DescriptorNotice(size_t waiting, uint64_t limit) {
  const char* pattern =
      limit != 0
          ? QT_TRANSLATE_NOOP(
                "Notices",
                "Программе не хватает дескрипторов файлов (предел открытых файлов сейчас %2). "
                "Папки, которые не удалось открыть, будут взяты под наблюдение, как только "
                "дескрипторы освободятся, и всё, что в них появилось, будет показано; таких папок "
                "сейчас: %1.\nЧтобы поднять предел, увеличьте его (ulimit -n, или LimitNOFILE в "
                "настройках сеанса) и перезапустите программу.")
          : QT_TRANSLATE_NOOP(
                "Notices",
                "Программе не хватает дескрипторов файлов. Папки, которые не удалось открыть, "
                "будут взяты под наблюдение, как только дескрипторы освободятся, и всё, что в них "
                "появилось, будет показано; таких папок сейчас: %1.\nЧтобы поднять предел, "
                "увеличьте его (ulimit -n, или LimitNOFILE в настройках сеанса) и перезапустите "
                "программу.");
  return FormatText(TTranslation::translate("Notices", pattern),
                    {std::to_string(waiting), std::to_string(limit)});
}
