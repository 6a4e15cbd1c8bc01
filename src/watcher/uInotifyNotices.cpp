#include "watcher/uInotifyNotices.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

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
  std::string text = "Достигнут системный предел числа наблюдаемых папок " + name;
  if (limit != 0) text += " (сейчас " + std::to_string(limit) + ")";
  text +=
      ". Папки сверх предела проверяются опросом — медленнее, раз в несколько секунд; "
      "таких папок: " +
      std::to_string(unwatched) + ".\nЧтобы поднять предел, выполните:\nsudo sysctl " + name + "=" +
      raised + "\nЧтобы он сохранился после перезагрузки, запишите строку " + name + "=" + raised +
      " в файл /etc/sysctl.d/90-inotify-watches.conf. Затем перезапустите мониторинг.";
  return text;
}

std::string WatchMemoryNotice(size_t unwatched) {
  return "Системе не хватило памяти, чтобы наблюдать за всеми папками. Папки, за которыми не "
         "удалось установить наблюдение, проверяются опросом — медленнее, раз в несколько "
         "секунд; таких папок: " +
         std::to_string(unwatched) + ".";
}

std::string DescriptorNotice(size_t waiting, uint64_t limit) {
  std::string text = "Программе не хватает дескрипторов файлов";
  if (limit != 0) text += " (предел открытых файлов сейчас " + std::to_string(limit) + ")";
  text +=
      ". Папки, которые не удалось открыть, будут взяты под наблюдение, как только дескрипторы "
      "освободятся, и всё, что в них появилось, будет показано; таких папок сейчас: " +
      std::to_string(waiting) +
      ".\nЧтобы поднять предел, увеличьте его (ulimit -n, или LimitNOFILE в настройках сеанса) "
      "и перезапустите программу.";
  return text;
}
