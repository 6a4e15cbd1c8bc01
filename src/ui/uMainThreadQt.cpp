#include "ui/uMainThreadQt.h"

#include <QMetaObject>
#include <QThread>
#include <exception>
#include <stdexcept>

namespace {

[[noreturn]] void Gone() {
  throw std::runtime_error("the user interface is gone");
}

}  // namespace

struct TQtMainThreadCaller::TCall {
  enum class TState { Pending, Running, Done, Abandoned };
  TState State = TState::Pending;
  std::exception_ptr Error;
};

TQtMainThreadCaller::TQtMainThreadCaller(QObject* target)
    : target_(target), thread_(target->thread()) {}

void TQtMainThreadCaller::RunAndWait(const std::function<void()>& work) {
  if (QThread::currentThread() == thread_) {
    if (Revoked()) Gone();
    work();
    return;
  }
  auto call = std::make_shared<TCall>();
  std::unique_lock lock(mutex_);
  if (revoked_) Gone();
  // Posted while the lock is held: the target cannot be revoked, and so cannot go, meanwhile. The
  // work is referenced only while this caller still waits for it (see Serve).
  QMetaObject::invokeMethod(
      target_, [self = shared_from_this(), call, &work] { self->Serve(*call, work); },
      Qt::QueuedConnection);
  changed_.wait(lock, [&] {
    return call->State == TCall::TState::Done ||
           (revoked_ && call->State == TCall::TState::Pending);
  });
  if (call->State != TCall::TState::Done) {
    // Revoked before the work started; it never will.
    call->State = TCall::TState::Abandoned;
    Gone();
  }
  // An exception must not cross the event loop; it is carried back to the waiting caller.
  if (call->Error) std::rethrow_exception(call->Error);
}

void TQtMainThreadCaller::Serve(TCall& call, const std::function<void()>& work) {
  {
    std::lock_guard lock(mutex_);
    if (revoked_ || call.State != TCall::TState::Pending) return;
    call.State = TCall::TState::Running;
  }
  std::exception_ptr error;
  try {
    work();
  } catch (...) {
    error = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    call.Error = error;
    call.State = TCall::TState::Done;
  }
  // Told after the lock is let go, so that the woken caller does not wait for it at once. This
  // object stays alive meanwhile: the posted work holds it.
  changed_.notify_all();
}

void TQtMainThreadCaller::Revoke() {
  std::lock_guard lock(mutex_);
  revoked_ = true;
  target_ = nullptr;
  changed_.notify_all();
}

bool TQtMainThreadCaller::Revoked() const {
  std::lock_guard lock(mutex_);
  return revoked_;
}
