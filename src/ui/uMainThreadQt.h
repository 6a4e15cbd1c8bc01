// Runs a watcher's steps on the user-interface thread and waits for them.
#pragma once

#include <QObject>

#include "watcher/uMonThread2.h"

class TQtMainThreadCaller : public IMainThreadCaller {
 public:
  // `target` lives on the user-interface thread (normally the application object).
  explicit TQtMainThreadCaller(QObject* target) : target_(target) {}
  void RunAndWait(const std::function<void()>& work) override;

 private:
  QObject* target_;
};
