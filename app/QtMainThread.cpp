#include "app/QtMainThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace quv {

namespace {

bool ApplicationRuns() {
  return QCoreApplication::instance() != nullptr && !QCoreApplication::closingDown();
}

}  // namespace

TQtMainThread::TQtMainThread() { SetMainThread(this); }

TQtMainThread::~TQtMainThread() { SetMainThread(nullptr); }

bool TQtMainThread::IsMainThread() const {
  const QCoreApplication* application = QCoreApplication::instance();
  return application != nullptr && QThread::currentThread() == application->thread();
}

bool TQtMainThread::Send(const std::function<void()>& job) {
  if (IsMainThread()) {
    job();
    return true;
  }
  if (!ApplicationRuns()) return false;
  // Written on the GUI thread before the invocation releases this one; an
  // invocation dropped with the application leaves it false.
  bool ran = false;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [&] {
        job();
        ran = true;
      },
      Qt::BlockingQueuedConnection);
  return ran;
}

bool TQtMainThread::HandleOneMessage(uint32_t waitMs) {
  if (!ApplicationRuns()) return false;
  if (!IsMainThread()) {
    QThread::msleep(waitMs);  // another thread has no events of the window's to handle
    return true;
  }
  // The timer's event ends the wait when nothing else comes.
  QTimer timer;
  timer.setSingleShot(true);
  timer.start(static_cast<int>(waitMs));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return true;
}

}  // namespace quv
