// Runs a watcher's steps on the user-interface thread and waits for them.
#pragma once

#include <QObject>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "watcher/uMonThread2.h"

// A revocable link: a watcher may outlive the windows (one stuck opening a share that hangs), so
// it holds this object, not the windows, and once the windows revoke it no step of any watcher
// runs again. Made with std::make_shared.
class TQtMainThreadCaller : public IMainThreadCaller,
                            public std::enable_shared_from_this<TQtMainThreadCaller> {
 public:
  // `target` lives on the user-interface thread and stays alive until Revoke has been called.
  explicit TQtMainThreadCaller(QObject* target);
  // Throws when the link has been revoked before the work could start; the work has then not run.
  void RunAndWait(const std::function<void()>& work) override;
  // On the user-interface thread, before the target goes: no work starts from now on, and callers
  // waiting for work that has not started are released.
  void Revoke();
  bool Revoked() const;

 private:
  struct TCall;
  void Serve(TCall& call, const std::function<void()>& work);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  QObject* target_;
  QThread* thread_;
  bool revoked_ = false;
};
