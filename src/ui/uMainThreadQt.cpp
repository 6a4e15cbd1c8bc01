#include "ui/uMainThreadQt.h"

#include <QMetaObject>
#include <QThread>
#include <exception>

void TQtMainThreadCaller::RunAndWait(const std::function<void()>& work) {
  if (QThread::currentThread() == target_->thread()) {
    work();
    return;
  }
  // An exception must not cross the event loop; it is carried back to the waiting caller.
  std::exception_ptr error;
  const bool queued = QMetaObject::invokeMethod(
      target_,
      [&] {
        try {
          work();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (!queued) throw std::runtime_error("the user-interface thread is gone");
  if (error) std::rethrow_exception(error);
}
