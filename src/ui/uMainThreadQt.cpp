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
    ServeSoon();
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
    ServeSoon();
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

void TQtMainThreadCaller::RunSoon(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (revoked_) Gone();
  soon_.push_back(std::move(work));
  if (soonPosted_) return;
  soonPosted_ = true;
  // Posted while the lock is held, as in RunAndWait.
  QMetaObject::invokeMethod(
      target_, [self = shared_from_this()] { self->SoonWanted(); }, Qt::QueuedConnection);
}

void TQtMainThreadCaller::SetFrame(std::function<void()> frameWanted) {
  frameWanted_ = std::move(frameWanted);
}

void TQtMainThreadCaller::SoonWanted() {
  if (Revoked()) return;
  if (frameWanted_) {
    frameWanted_();
  } else {
    ServeSoon();
  }
}

void TQtMainThreadCaller::ServeSoon() {
  std::deque<std::function<void()>> work;
  {
    std::lock_guard lock(mutex_);
    if (revoked_) return;
    work.swap(soon_);
    soonPosted_ = false;
  }
  for (auto& one : work) {
    // Such work keeps its failures to itself; one that does not must not cross the event loop.
    try {
      one();
    } catch (...) {
    }
  }
}

void TQtMainThreadCaller::Revoke() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    revoked_ = true;
    target_ = nullptr;
    dropped.swap(soon_);
    changed_.notify_all();
  }
  frameWanted_ = nullptr;
}

bool TQtMainThreadCaller::Revoked() const {
  std::lock_guard lock(mutex_);
  return revoked_;
}
