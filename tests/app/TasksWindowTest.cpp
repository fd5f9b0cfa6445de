#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QtTest>
#include <chrono>
#include <thread>

#include "app/uTasks2.h"
#include "platform/Cp1252.h"
#include "tests/app/FakeServers.h"

using namespace quv;
using quv::testing::Session;
using quv::testing::Task;

namespace {

THostConfig Config(std::vector<std::string> hosts, std::string title = "") {
  return THostConfig{std::move(title), std::move(hosts)};
}

QStringList Titles(QTreeView* tree) {
  QStringList titles;
  for (int i = 0; i < tree->model()->columnCount(); ++i)
    titles << tree->model()->headerData(i, Qt::Horizontal).toString();
  return titles;
}

QString Cell(QTreeView* tree, int row, int column) {
  return tree->model()->index(row, column).data().toString();
}

}  // namespace

class TasksWindowTest : public QObject {
  Q_OBJECT

 private:
  testing::TFakeServers FServers;

  // Lets the window's first refresh run to its end.
  void AwaitRefresh(TFTasks& window) {
    QTRY_VERIFY_WITH_TIMEOUT(window.RefreshesInFlight() == 0, 10000);
  }

 private slots:
  void captionWithAndWithoutTitle() {
    TFTasks plain(Config({"1=127.0.0.1"}), FServers, FServers);
    QCOMPARE(plain.windowTitle(), QString("Visualizador de Tarefas "));
    TFTasks titled(Config({"1=127.0.0.1"}, "Produção"), FServers, FServers);
    QCOMPARE(titled.windowTitle(), QString::fromUtf8("Visualizador de Tarefas Produção"));
    QCOMPARE(plain.StaticText1->text(), QString("Processndo..."));
    QCOMPARE(plain.Label1->text(), QString("."));
    QVERIFY(plain.Timer1->isActive());
    QCOMPARE(plain.Timer1->interval(), 1000);
  }

  void columnsWithOneHostAndWithTwo() {
    TFTasks one(Config({"1=127.0.0.1"}), FServers, FServers);
    QCOMPARE(Titles(one.vsTasks), QStringList({"Canc", "Id", "IP Addr", "Host", "Commando", "Tempo",
                                               "Sistema", QString::fromUtf8("Usuário")}));
    QCOMPARE(Titles(one.vsUsers), QStringList({"Ativo", QString::fromUtf8("Usuário"), "IP Addr",
                                               "Host", "DH Logon", QString::fromUtf8("Licença")}));
    QCOMPARE(Titles(one.vsLicences), QStringList({QString::fromUtf8("Licença"), "Qtde Uso"}));
    const QList<int> taskWidths{40, 80, 95, 0, -1, 50, 50, 100};
    for (int i = 0; i < taskWidths.size(); ++i)
      if (taskWidths[i] >= 0) QCOMPARE(one.vsTasks->columnWidth(i), taskWidths[i]);
    const QList<int> userWidths{50, 100, 100, 0, 150, 60};
    for (int i = 0; i < userWidths.size(); ++i)
      QCOMPARE(one.vsUsers->columnWidth(i), userWidths[i]);
    QCOMPARE(one.vsLicences->columnWidth(0), 60);
    QCOMPARE(one.vsLicences->columnWidth(1), 60);

    TFTasks two(Config({"A=1", "B=2"}), FServers, FServers);
    QCOMPARE(two.vsTasks->columnWidth(3), 50);
    QCOMPARE(two.vsUsers->columnWidth(3), 50);
  }

  void resizeSetsTheCommandColumn() {
    TFTasks window(Config({"1=127.0.0.1"}), FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.width(), 773);
    QCOMPARE(window.vsTasks->width(), 749);
    QCOMPARE(window.vsTasks->columnWidth(4), 250);
    window.resize(1000, 500);
    QTRY_COMPARE(window.vsTasks->columnWidth(4), window.vsTasks->width() - 499);
    QCOMPARE(window.Panel1->x() + window.Panel1->width(), window.width());
    QCOMPARE(window.vsLicences->width(), 200);
  }

  void refreshShowsRepliesAndSilentHosts() {
    FServers.SetRows("10.0.0.5",
                     {Task("7", "quvsystem.tasks.list", "1"), Task("8", "app.run", "125000")});
    TFTasks window(Config({"A=10.0.0.5", "B=10.0.0.6"}), FServers, FServers);
    QAbstractItemModelTester tester(window.vsTasks->model());
    window.Timer1Timer();
    QVERIFY(!window.Timer1->isActive());  // off until the refresh is done
    AwaitRefresh(window);
    QVERIFY(window.Timer1->isActive());
    QCOMPARE(window.Timer1->interval(), 1000);
    QCOMPARE(window.StaticText1->text(), QString());
    QCOMPARE(window.vsTasks->model()->rowCount(), 2);
    QCOMPARE(Cell(window.vsTasks, 0, 3), QString("B"));
    QCOMPARE(Cell(window.vsTasks, 0, 4), QString::fromUtf8("Sem conexão com o servidor"));
    QCOMPARE(Cell(window.vsTasks, 0, 5), QString("596h31m"));
    QCOMPARE(Cell(window.vsTasks, 0, 0), QString::fromUtf8("Não"));
    QCOMPARE(Cell(window.vsTasks, 1, 1), QString("8"));
    QCOMPARE(Cell(window.vsTasks, 1, 3), QString("A"));
    QCOMPARE(Cell(window.vsTasks, 1, 5), QString("2m5s"));
  }

  void sessionTabCountsLicences() {
    FServers.SetRows("10.0.0.5", {Session("k1", "bia", "ERP01"), Session("k2", "ana", "CRM")});
    FServers.SetRows("10.0.0.6", {Session("k1", "bia", "ERP01")});
    TFTasks window(Config({"A=10.0.0.5", "B=10.0.0.6"}), FServers, FServers);
    QAbstractItemModelTester users(window.vsUsers->model());
    QAbstractItemModelTester licences(window.vsLicences->model());
    window.PageControl1->setCurrentIndex(1);  // a page change refreshes at once
    QCOMPARE(window.RefreshesInFlight(), std::size_t{1});
    QCOMPARE(window.Timer1->interval(), 5000);
    AwaitRefresh(window);
    QCOMPARE(window.Label1->text(), QString::fromUtf8("2 sessões"));
    QCOMPARE(window.vsUsers->model()->rowCount(), 3);
    QCOMPARE(Cell(window.vsUsers, 0, 1), QString("ana"));
    QCOMPARE(Cell(window.vsUsers, 0, 0), QString("Sim"));
    QCOMPARE(window.vsLicences->model()->rowCount(), 2);
    QCOMPARE(Cell(window.vsLicences, 1, 0), QString("ERP01"));
    QCOMPARE(Cell(window.vsLicences, 1, 1), QString("1"));
    window.Timer1Timer();
    QCOMPARE(window.Timer1->interval(), 5000);
    AwaitRefresh(window);
  }

  void clickAndScrollPostponeTheRefresh() {
    std::vector<testing::TRow> many;
    for (int i = 0; i < 200; ++i) many.push_back(Session("k" + std::to_string(i), "u", "L"));
    FServers.SetRows("10.0.0.7", many);
    TFTasks window(Config({"1=10.0.0.7"}), FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.Timer1->stop();
    QTest::mouseClick(window.vsTasks->viewport(), Qt::LeftButton);
    QVERIFY(window.Timer1->isActive());
    QCOMPARE(window.Timer1->interval(), 10000);
    window.PageControl1->setCurrentIndex(1);
    AwaitRefresh(window);
    window.vsUsers->verticalScrollBar()->setValue(20);
    QVERIFY(window.Timer1->isActive());
    QCOMPARE(window.Timer1->interval(), 50000);
    // A refresh that empties and refills the view is not a scroll.
    window.PageControl1Change();
    AwaitRefresh(window);
    QCOMPARE(window.Timer1->interval(), 5000);
  }

  void cancelSendsTheFocusedRowOnly() {
    FServers.SetRows("10.0.0.8:7000", {Task("41", "app.run", "10")});
    TFTasks window(Config({"A=10.0.0.8:7000", "B=10.0.0.9"}), FServers, FServers);
    window.Timer1Timer();
    AwaitRefresh(window);
    const std::size_t before = FServers.Calls().size();
    window.SpeedButton1Click();  // no focused row: nothing is sent
    QCOMPARE(FServers.Calls().size(), before);
    QCOMPARE(window.Timer1->interval(), 1);

    window.vsTasks->setCurrentIndex(window.vsTasks->model()->index(1, 0));
    window.Timer1->setInterval(1000);
    window.SpeedButton1Click();
    const auto calls = FServers.Calls();
    QCOMPARE(calls.size(), before + 1);
    QCOMPARE(QString::fromStdString(calls.back().Method), QString("quvsystem.tasks.cancel"));
    QCOMPARE(QString::fromStdString(calls.back().ParamName), QString("requestid"));
    QCOMPARE(QString::fromStdString(calls.back().ParamValue), QString("41"));
    QCOMPARE(QString::fromStdString(calls.back().Host), QString("10.0.0.8:7000"));
    QCOMPARE(window.Timer1->interval(), 1);

    QString shown;
    window.SetErrorPresenter([&shown](const QString& message) { shown = message; });
    FServers.CancelError = "Erro chamando quvsystem.tasks.cancel:recusado";
    window.Timer1->setInterval(1000);
    window.SpeedButton1Click();
    FServers.CancelError.clear();
    QCOMPARE(shown,
             QString::fromUtf8("Não foi possível cancelar a tarefa 41 (app.run, ana) em A "
                               "(10.0.0.8:7000): Erro chamando quvsystem.tasks.cancel:recusado"));
    QCOMPARE(window.Timer1->interval(), 1000);
  }

  void closingWaitsForRefreshesInFlight() {
    const int before = FServers.CallsStarted();
    FServers.HoldCalls();
    auto window =
        std::make_unique<TFTasks>(Config({"A=10.0.0.1", "B=10.0.0.2"}), FServers, FServers);
    struct TReleaseOnExit {  // a failed check must not leave the window's close waiting
      testing::TFakeServers& Servers;
      ~TReleaseOnExit() { Servers.ReleaseCalls(); }
    } releaseOnExit{FServers};
    window->Timer1Timer();
    window->PageControl1Change();
    // Both refreshes are in their calls now.
    QTRY_VERIFY_WITH_TIMEOUT(FServers.CallsStarted() - before >= 2, 10000);
    // The calls end a little after the window starts closing, which must wait
    // for them without touching the destroyed window.
    std::thread release([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      FServers.ReleaseCalls();
    });
    window.reset();
    const int finishedAtClose = FServers.CallsFinished();
    const int startedAtClose = FServers.CallsStarted();
    release.join();
    QCOMPARE(finishedAtClose, startedAtClose);
    QCoreApplication::processEvents();
  }
};

QTEST_MAIN(TasksWindowTest)
#include "TasksWindowTest.moc"
