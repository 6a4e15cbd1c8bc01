// Runs a watcher's steps on the user-interface thread and waits for them.
#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
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
  // What RunSoon asked for before runs first.
  void RunAndWait(const std::function<void()>& work) override;
  // Throws when the link has been revoked. The first work asked for since the last ServeSoon wakes
  // the user-interface thread once, to run `frameWanted` (see SetFrame); the work itself waits
  // for ServeSoon.
  void RunSoon(std::function<void()> work) override;
  // On the user-interface thread: what to do when work is first asked for with RunSoon after a
  // ServeSoon (the window schedules its next frame, which calls ServeSoon). Without it, the work
  // runs as soon as the event loop gets to it.
  void SetFrame(std::function<void()> frameWanted);
  // On the user-interface thread: runs what RunSoon asked for, in order.
  void ServeSoon();
  // On the user-interface thread, before the target goes: no work starts from now on, and callers
  // waiting for work that has not started are released.
  void Revoke();
  bool Revoked() const;

 private:
  struct TCall;
  void Serve(TCall& call, const std::function<void()>& work);
  void SoonWanted();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  QObject* target_;
  QThread* thread_;
  bool revoked_ = false;
  std::deque<std::function<void()>> soon_;  // asked for with RunSoon, not yet run
  bool soonPosted_ = false;                 // SoonWanted is on its way
  std::function<void()> frameWanted_;       // the user-interface thread's
};
