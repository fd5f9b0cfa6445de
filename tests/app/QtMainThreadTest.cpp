#include <QCoreApplication>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <thread>

#include "app/QtMainThread.h"
#include "tests/kit/QtTestMain.h"

using namespace quv;

class QtMainThreadTest : public QObject {
  Q_OBJECT

 private slots:
  void jobsSentFromAnotherThreadRunOnTheGuiThread() {
    TQtMainThread mainThread;
    QCOMPARE(&MainThread(), static_cast<IquvMainThread*>(&mainThread));
    QVERIFY(mainThread.IsMainThread());
    std::atomic<QThread*> ranOn{nullptr};
    std::atomic<bool> sent{false};
    std::atomic<bool> senderIsMain{true};
    std::atomic<bool> returned{false};
    std::thread sender([&] {
      senderIsMain = mainThread.IsMainThread();
      sent = mainThread.Send([&] { ranOn = QThread::currentThread(); });
      returned = true;
    });
    while (!returned) QVERIFY(mainThread.HandleOneMessage(100));
    sender.join();
    QVERIFY(!senderIsMain);
    QVERIFY(sent);
    QCOMPARE(ranOn.load(), QCoreApplication::instance()->thread());
  }

  void theMainThreadIsThePlainOneAgainOnceItIsGone() {
    { TQtMainThread mainThread; }
    QCOMPARE(&MainThread(), static_cast<IquvMainThread*>(&PlainMainThread()));
  }
};

QUV_QTEST_MAIN(QtMainThreadTest, QCoreApplication)
#include "QtMainThreadTest.moc"
