#include "watcher/uInotifySizes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "watcher/uInotifyTree.h"

void TSizeWorker::Run() {
  std::string path;
  std::vector<TResult> results;
  for (;;) {
    std::vector<TJob> jobs;
    {
      std::unique_lock lock(mutex_);
      learned_.insert(learned_.end(), results.begin(), results.end());
      results.clear();
      wake_.wait(lock, [&] { return closed_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      jobs = std::move(jobs_.front());
      jobs_.pop_front();
    }
    for (TJob& job : jobs) {
      if (stop_.load()) break;
      path.assign(rootPrefix_).append(job.Folder);
      const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) continue;
      TResult result{job.Wd, std::move(job.Names), {}, {}};
      for (size_t at = 0; at < result.Names.size();) {
        const char* name = result.Names.c_str() + at;
        at += std::strlen(name) + 1;
        struct stat st;
        const bool ok = fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        result.Sizes.push_back(ok ? static_cast<uint64_t>(st.st_size) : kUnknownSize);
        result.Inodes.push_back(ok ? static_cast<uint64_t>(st.st_ino) : 0);
      }
      results.push_back(std::move(result));
      close(fd);
    }
  }
}
