#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>
#include <sqlite3.h>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/HistoryWindow.h"
#include "app/uTasks2.h"
#include "tests/app/TasksWindowParts.h"
#include "platform/Cp1252.h"
#include "tests/app/FakeServers.h"
#include "tests/kit/QtTestMain.h"

using namespace quv;
using quv::testing::Parts;
using quv::testing::Session;
using quv::testing::Task;

namespace {

// Cancels are recorded in a folder of the tests' own, never the user's.
THostConfig Config(std::vector<std::string> hosts, std::string title = "") {
  static const QTemporaryDir auditFolder;
  THostConfig config;
  config.Title = std::move(title);
  config.Hosts = std::move(hosts);
  config.AuditLogFile = auditFolder.filePath("cancelamentos.log").toStdString();
  return config;
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

// Selects `row` of the task list as a click does: focused and selected.
void SelectTaskRow(TFTasks& window, int row) {
  Parts(window).vsTasks->selectionModel()->setCurrentIndex(
      Parts(window).vsTasks->model()->index(row, 0),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QString FocusedId(TFTasks& window) {
  return Parts(window).vsTasks->currentIndex().siblingAtColumn(1).data().toString();
}

int RowOfId(QTreeView* tree, const QString& id) {
  for (int row = 0; row < tree->model()->rowCount(); ++row)
    if (Cell(tree, row, 1) == id) return row;
  return -1;
}

QStringList Ids(const QAbstractItemModel& model) {
  QStringList ids;
  for (int row = 0; row < model.rowCount(); ++row) ids << model.index(row, 1).data().toString();
  return ids;
}

QStringList Ids(QTreeView* tree) { return Ids(*tree->model()); }

bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
             std::abs(a.blue() - b.blue()) <
         30;
}

// Pixels of `rect` in `image` that are near-white, and those near one of `colours`.
std::pair<int, int> WhiteAndColourPixels(const QImage& image, const QRect& rect,
                                         const std::vector<QColor>& colours) {
  int white = 0, coloured = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (pixel.red() > 230 && pixel.green() > 230 && pixel.blue() > 230) ++white;
      if (std::any_of(colours.begin(), colours.end(), [&](QColor c) { return Near(pixel, c); }))
        ++coloured;
    }
  return {white, coloured};
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
  // One refresh now, to its end; the timer stays off so that rows stay put.
  void Refresh(TFTasks& window) {
    AwaitRefresh(window);
    window.RefreshNow();
    AwaitRefresh(window);
    Parts(window).Timer1->stop();
  }
  void AwaitCancels(TFTasks& window) {
    QTRY_VERIFY_WITH_TIMEOUT(window.CancelsInFlight() == 0, 10000);
  }
  // A window whose cancels are recorded in a file of this test's own.
  THostConfig Audited(THostConfig config) {
    config.AuditLogFile = FAuditFolder.filePath("cancelamentos.log").toStdString();
    return config;
  }
  QStringList AuditLines() {
    QFile file(FAuditFolder.filePath("cancelamentos.log"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  }
  QTemporaryDir FAuditFolder;
  // The values of the cancel calls the servers received from call `from` on.
  QStringList Cancelled(std::size_t from) const {
    QStringList values;
    const auto calls = FServers.Calls();
    for (std::size_t i = from; i < calls.size(); ++i)
      if (calls[i].Method.ends_with(".cancel")) values << QString::fromStdString(calls[i].ParamValue);
    return values;
  }

 private slots:
  void captionAndColumnsWithOneHostAndWithTwo() {
    TFTasks plain(Config({"1=127.0.0.1"}), FServers, FServers);
    QCOMPARE(plain.windowTitle(), QString("Visualizador de Tarefas "));
    TFTasks titled(Config({"1=127.0.0.1"}, "Produção"), FServers, FServers);
    QCOMPARE(titled.windowTitle(), QString::fromUtf8("Visualizador de Tarefas Produção"));
    QCOMPARE(Parts(plain).StaticText1->text(), QString("Processndo..."));
    QCOMPARE(Parts(plain).Label1->text(), QString("."));
    QCOMPARE(Parts(plain).StatusStrip->toolTip(),
             QString("1 (127.0.0.1): aguardando"));  // none called yet
    QVERIFY(Parts(plain).Timer1->isActive());
    QCOMPARE(Parts(plain).Timer1->interval(), 1000);
    QCOMPARE(Titles(Parts(plain).vsTasks),
             QStringList({"Canc", "Id", "IP Addr", "Host", "Commando", "Tempo", "Sistema",
                          QString::fromUtf8("Usuário")}));
    QCOMPARE(Titles(Parts(plain).vsUsers),
             QStringList({"Ativo", QString::fromUtf8("Usuário"), "IP Addr", "Host", "DH Logon",
                          QString::fromUtf8("Licença")}));
    QCOMPARE(Titles(Parts(plain).vsLicences), QStringList({QString::fromUtf8("Licença"), "Qtde Uso"}));
    // The host column shows only when there is more than one host, wide
    // enough for the longest label.
    QCOMPARE(Parts(plain).vsTasks->columnWidth(3), 0);
    QCOMPARE(Parts(plain).vsUsers->columnWidth(3), 0);
    const QString label = "app-producao-sul-07";
    TFTasks two(Config({"A=1", (label + "=2").toStdString()}), FServers, FServers);
    const int labelWidth = QFontMetrics(Parts(two).vsTasks->font()).horizontalAdvance(label);
    QVERIFY(Parts(two).vsTasks->columnWidth(3) > labelWidth);
    QVERIFY(Parts(two).vsUsers->columnWidth(3) > labelWidth);
  }

  void resizeSetsTheCommandColumn() {
    TFTasks window(Config({"1=127.0.0.1"}), FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.width(), 773);
    QCOMPARE(Parts(window).vsTasks->width(), 749);
    QCOMPARE(Parts(window).vsTasks->columnWidth(4), 250);
    window.resize(1000, 500);
    QTRY_COMPARE(Parts(window).vsTasks->columnWidth(4), Parts(window).vsTasks->width() - 499);
    QCOMPARE(Parts(window).Panel1->x() + Parts(window).Panel1->width(), window.width());
    QCOMPARE(Parts(window).vsLicences->width(), 200);
  }

  void refreshShowsRepliesAndSilentHosts() {
    FServers.SetRows("10.0.0.5",
                     {Task("7", "quvsystem.tasks.list", "1"), Task("8", "app.run", "125000")});
    TFTasks window(Config({"A=10.0.0.5", "B=10.0.0.6"}), FServers, FServers);
    QAbstractItemModelTester tester(Parts(window).vsTasks->model());
    window.Timer1Timer();
    QVERIFY(!Parts(window).Timer1->isActive());  // off until the refresh is done
    AwaitRefresh(window);
    QVERIFY(Parts(window).Timer1->isActive());
    QCOMPARE(Parts(window).Timer1->interval(), 1000);
    QCOMPARE(Parts(window).StaticText1->text(), QString());
    // Live tasks first; the hosts without reply fold into one last row.
    QCOMPARE(Parts(window).vsTasks->model()->rowCount(), 2);
    QCOMPARE(Cell(Parts(window).vsTasks, 0, 1), QString("8"));
    QCOMPARE(Cell(Parts(window).vsTasks, 0, 3), QString("A"));
    QCOMPARE(Cell(Parts(window).vsTasks, 0, 5), QString("2m5s"));
    QCOMPARE(Cell(Parts(window).vsTasks, 1, 4), QString::fromUtf8("1 servidor sem conexão"));
    QCOMPARE(Cell(Parts(window).vsTasks, 1, 5), QString::fromUtf8("—"));
    QCOMPARE(Parts(window).vsTasks->model()->index(1, 4).data(Qt::ToolTipRole).toString(),
             QString("B (10.0.0.6): Erro chamando quvsystem.tasks.list:no server"));
    // The server pane counts each host's tasks.
    QCOMPARE(Cell(Parts(window).vsHosts, 0, 6), QString("1"));
    QCOMPARE(Cell(Parts(window).vsHosts, 0, 7), QString("2m5s"));
    QCOMPARE(Cell(Parts(window).vsHosts, 1, 6), QString());

    // Unfolded, each host has its row, still after the live tasks and
    // whatever the sort.
    THostConfig unfolded = Config({"A=10.0.0.5", "B=10.0.0.6"});
    unfolded.FoldNoConnection = false;
    TFTasks each(unfolded, FServers, FServers);
    Refresh(each);
    emit Parts(each).vsTasks->header()->sectionClicked(5);
    QCOMPARE(Cell(Parts(each).vsTasks, 1, 3), QString("B"));
    QCOMPARE(Cell(Parts(each).vsTasks, 1, 4), QString::fromUtf8("Sem conexão com o servidor"));
    emit Parts(each).vsTasks->header()->sectionClicked(5);
    QCOMPARE(Cell(Parts(each).vsTasks, 1, 3), QString("B"));
  }

  void sessionTabCountsLicences() {
    FServers.SetRows("10.0.0.5", {Session("k1", "bia", "ERP01"), Session("k2", "ana", "CRM")});
    FServers.SetRows("10.0.0.6", {Session("k1", "bia", "ERP01")});
    TFTasks window(Config({"A=10.0.0.5", "B=10.0.0.6"}), FServers, FServers);
    QAbstractItemModelTester users(Parts(window).vsUsers->model());
    QAbstractItemModelTester licences(Parts(window).vsLicences->model());
    Parts(window).PageControl1->setCurrentIndex(1);  // a page change refreshes at once
    QCOMPARE(window.RefreshesInFlight(), std::size_t{1});
    QCOMPARE(Parts(window).Timer1->interval(), 5000);
    AwaitRefresh(window);
    QCOMPARE(Parts(window).Label1->text(), QString::fromUtf8("2 sessões"));
    QCOMPARE(Parts(window).vsUsers->model()->rowCount(), 3);
    QCOMPARE(Cell(Parts(window).vsUsers, 0, 1), QString("ana"));
    QCOMPARE(Cell(Parts(window).vsUsers, 0, 0), QString("Sim"));
    QCOMPARE(Parts(window).vsLicences->model()->rowCount(), 2);
    QCOMPARE(Cell(Parts(window).vsLicences, 1, 0), QString("ERP01"));
    QCOMPARE(Cell(Parts(window).vsLicences, 1, 1), QString("1"));
    window.Timer1Timer();
    QCOMPARE(Parts(window).Timer1->interval(), 5000);
    AwaitRefresh(window);
  }

  void clickAndScrollPostponeTheRefresh() {
    std::vector<testing::TRow> many;
    for (int i = 0; i < 200; ++i) many.push_back(Session("k" + std::to_string(i), "u", "L"));
    FServers.SetRows("10.0.0.7", many);
    TFTasks window(Config({"1=10.0.0.7"}), FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Parts(window).Timer1->stop();
    QTest::mouseClick(Parts(window).vsTasks->viewport(), Qt::LeftButton);
    QVERIFY(Parts(window).Timer1->isActive());
    QCOMPARE(Parts(window).Timer1->interval(), 10000);
    Parts(window).PageControl1->setCurrentIndex(1);
    AwaitRefresh(window);
    Parts(window).vsUsers->verticalScrollBar()->setValue(20);
    QVERIFY(Parts(window).Timer1->isActive());
    QCOMPARE(Parts(window).Timer1->interval(), 50000);
    // A refresh that empties and refills the view is not a scroll.
    window.PageControl1Change();
    AwaitRefresh(window);
    QCOMPARE(Parts(window).Timer1->interval(), 5000);
  }

  // The cancel runs in the background on the selected rows only, says how it
  // ended in the strip and records it.
  void cancelActsOnTheSelectedRowsInTheBackground() {
    FServers.SetRows("10.0.0.8:7000", {Task("41", "app.run", "10"), Task("42", "app.x", "20")});
    TFTasks window(Audited(Config({"A=10.0.0.8:7000", "B=10.0.0.9"})), FServers, FServers);
    Refresh(window);
    const std::size_t before = FServers.Calls().size();
    // Focused but not selected: nothing to cancel.
    Parts(window).vsTasks->selectionModel()->setCurrentIndex(Parts(window).vsTasks->model()->index(1, 0),
                                                      QItemSelectionModel::NoUpdate);
    QVERIFY(!Parts(window).SpeedButton1->isEnabled());
    window.SpeedButton1Click();
    QCOMPARE(FServers.Calls().size(), before);
    QVERIFY(Parts(window).ActionResult->text().startsWith("Nada a cancelar"));

    SelectTaskRow(window, 1);
    window.SpeedButton1Click();  // one click, as the button always did
    AwaitCancels(window);
    const auto calls = FServers.Calls();
    const auto cancel = std::find_if(calls.begin() + before, calls.end(),
                                     [](const auto& call) { return call.Method.ends_with(".cancel"); });
    QVERIFY(cancel != calls.end());
    QCOMPARE(QString::fromStdString(cancel->Method), QString("quvsystem.tasks.cancel"));
    QCOMPARE(QString::fromStdString(cancel->ParamName), QString("requestid"));
    QCOMPARE(QString::fromStdString(cancel->ParamValue), QString("41"));
    QCOMPARE(QString::fromStdString(cancel->Host), QString("10.0.0.8:7000"));
    QCOMPARE(Cancelled(before), QStringList({"41"}));
    // A refresh follows the outcome at once.
    const auto cancelAt = static_cast<std::size_t>(cancel - calls.begin());
    QTRY_VERIFY_WITH_TIMEOUT(FServers.Calls().size() > cancelAt + 1 &&
                                 FServers.Calls().back().Method == "quvsystem.tasks.list",
                             10000);
    QCOMPARE(Parts(window).ActionResult->text(),
             QString("Cancelamento aceito: a tarefa 41 (app.run, ana) em A (10.0.0.8:7000)"));

    // Several rows, one question naming each, one call per row.
    FServers.SetCancelError("Erro chamando quvsystem.tasks.cancel:recusado");
    QStringList asked;
    window.SetConfirmPresenter([&](const QString& question) {
      asked << question;
      return true;
    });
    Parts(window).vsTasks->selectAll();
    Refresh(window);  // a refresh keeps every selected row selected
    QCOMPARE(Parts(window).vsTasks->selectionModel()->selectedRows().size(), 3);
    window.CancelSelected(true);  // as the Delete key does
    AwaitCancels(window);
    QCOMPARE(asked, QStringList({"Cancelar estes 2 itens?\n"
                                 "- a tarefa 42 (app.x, ana) em A (10.0.0.8:7000)\n"
                                 "- a tarefa 41 (app.run, ana) em A (10.0.0.8:7000)"}));
    QCOMPARE(Cancelled(before).size(), 3);
    QVERIFY(Parts(window).ActionResult->text().startsWith(
        QString::fromUtf8("Não foi possível cancelar a tarefa 4")));
    QVERIFY(Parts(window).ActionResult->text().endsWith("recusado"));
    // The tool tip has a line per row: both failures, then the first outcome.
    QCOMPARE(Parts(window).ActionResult->toolTip().count(QString::fromUtf8("Não foi possível")), 2);
    QVERIFY(Parts(window).ActionResult->toolTip().endsWith(
        "Cancelamento aceito: a tarefa 41 (app.run, ana) em A (10.0.0.8:7000)"));
    const QStringList audit = AuditLines();
    QCOMPARE(audit.size(), 3);
    QVERIFY(audit[0].endsWith(QString::fromUtf8("\tA\t10.0.0.8:7000\ttarefa\t41\tok")));
    QVERIFY(audit[2].endsWith("\tfalha: Erro chamando quvsystem.tasks.cancel:recusado"));
    FServers.SetCancelError("");
  }

  // A server that never confirms the cancel holds up nothing else: the row
  // shows it is being cancelled and the refreshes go on.
  void aStuckCancelNeverFreezesTheWindow() {
    FServers.SetRows("10.0.2.5", {Task("61", "app.run", "10")});
    FServers.SetRows("10.0.2.6", {Task("62", "app.run", "10")});
    auto window = std::make_unique<TFTasks>(Audited(Config({"A=10.0.2.5", "B=10.0.2.6"})),
                                            FServers, FServers);
    Refresh(*window);
    FServers.HoldCalls("10.0.2.5");
    SelectTaskRow(*window, RowOfId(Parts(*window).vsTasks, "61"));
    window->SpeedButton1Click();
    QCOMPARE(window->CancelsInFlight(), std::size_t{1});
    QCOMPARE(Cell(Parts(*window).vsTasks, RowOfId(Parts(*window).vsTasks, "61"), 0), QString("cancelando"));
    FServers.SetRows("10.0.2.6", {Task("62", "app.run", "10"), Task("63", "app.y", "5")});
    window->RefreshNow();
    QTRY_VERIFY_WITH_TIMEOUT(RowOfId(Parts(*window).vsTasks, "63") >= 0, 10000);
    // Closing interrupts the cancel still waiting.
    const int interrupts = FServers.Interrupts();
    window.reset();
    QVERIFY(FServers.Interrupts() > interrupts);
    FServers.ReleaseCalls();
  }

  // Filtering, Esc and refreshes never make a selection: Delete then cancels nothing.
  void escThenDeleteCancelsNothing() {
    FServers.SetRows("10.0.2.7", {Task("71", "app.run", "100"), Task("72", "app.x", "20")});
    const std::size_t mark = FServers.Calls().size();
    TFTasks window(Audited(Config({"1=10.0.2.7"})), FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    Refresh(window);
    QStringList asked;
    window.SetConfirmPresenter([&](const QString& question) {
      asked << question;
      return true;
    });
    Parts(window).vsTasks->setFocus();
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_Slash);
    QTest::keyClicks(Parts(window).FilterEdit, "zz");
    QTest::keyClick(Parts(window).FilterEdit, Qt::Key_Escape);
    Refresh(window);
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_Delete);
    QCOMPARE(Cancelled(mark), QStringList());
    QVERIFY(asked.isEmpty());
    QVERIFY(Parts(window).vsTasks->selectionModel()->selectedRows().isEmpty());
  }

  // The focused row's text stays readable: white text on the selection's
  // blue (dark, in either window state), whether the window is active or not.
  void focusedRowIsReadable() {
    FServers.SetRows("10.0.1.1", {Task("11", "app.run", "10"), Task("12", "app.report", "20")});
    TFTasks window(Config({"1=10.0.1.1"}), FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Refresh(window);
    SelectTaskRow(window, 1);
    const QRect cell = Parts(window).vsTasks->visualRect(Parts(window).vsTasks->model()->index(1, 4));
    QWidget other;
    for (QWidget* active : {static_cast<QWidget*>(&window), &other}) {
      active->show();
      QApplication::setActiveWindow(active);
      QVERIFY(QTest::qWaitForWindowActive(active));
      const QPalette palette = Parts(window).vsTasks->palette();
      const std::vector<QColor> selection{palette.color(QPalette::Active, QPalette::Highlight),
                                          palette.color(QPalette::Inactive, QPalette::Highlight)};
      const auto [white, blue] =
          WhiteAndColourPixels(Parts(window).vsTasks->viewport()->grab().toImage(), cell, selection);
      QVERIFY2(white > 5, "no text pixels");
      QVERIFY2(blue > cell.width() * cell.height() / 2, "no selection background");
      for (const QColor& colour : selection) QVERIFY(qGray(colour.rgb()) < 128);
    }
  }

  void filterKeepsMatchingRowsAcrossRefreshes() {
    FServers.SetRows("10.0.1.2", {Task("21", "app.run", "10"), Task("22", "app.report", "20"),
                                  Task("23", "db.dump", "30", "Report.Bot")});
    TFTasks window(Config({"1=10.0.1.2"}), FServers, FServers);
    QAbstractItemModelTester tester(Parts(window).vsTasks->model());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    Refresh(window);
    Parts(window).vsTasks->setFocus();
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_Slash);
    QVERIFY(Parts(window).FilterEdit->hasFocus());
    QTest::keyClicks(Parts(window).FilterEdit, "REPORT");  // any column, without regard to case
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"23", "22"}));
    QCOMPARE(Parts(window).FilterCount->text(), QString("2 de 3"));
    Refresh(window);
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"23", "22"}));
    Parts(window).FilterEdit->setText("/^app\\.r/");
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"22", "21"}));
    Parts(window).FilterEdit->setText("/(/");
    QCOMPARE(Parts(window).FilterCount->text(), QString::fromUtf8("expressão inválida"));
    QCOMPARE(Parts(window).vsTasks->model()->rowCount(), 3);
    Parts(window).FilterEdit->setText("app");
    QTest::keyClick(Parts(window).FilterEdit, Qt::Key_Escape);
    QCOMPARE(Parts(window).FilterEdit->text(), QString());
    QCOMPARE(Parts(window).FilterCount->text(), QString());
    QCOMPARE(Parts(window).vsTasks->model()->rowCount(), 3);
  }

  // A header click sorts (numbers as numbers), a second reverses, the reset
  // brings back the longest-first order; the focus follows its task.
  void sortByColumnAndBackKeepingTheFocusedTask() {
    FServers.SetRows("10.0.1.3",
                     {Task("9", "a", "300"), Task("100", "b", "200"), Task("10", "c", "100")});
    TFTasks window(Config({"1=10.0.1.3"}), FServers, FServers);
    QAbstractItemModelTester tester(Parts(window).vsTasks->model());
    Refresh(window);
    SelectTaskRow(window, RowOfId(Parts(window).vsTasks, "10"));
    emit Parts(window).vsTasks->header()->sectionClicked(1);
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"9", "10", "100"}));
    QCOMPARE(FocusedId(window), QString("10"));
    emit Parts(window).vsTasks->header()->sectionClicked(1);
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"100", "10", "9"}));
    QCOMPARE(Parts(window).vsTasks->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    window.ResetSort();
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"9", "100", "10"}));

    // The rows move: the focus and the cancel stay with task 10.
    FServers.SetRows("10.0.1.3",
                     {Task("10", "c", "900"), Task("9", "a", "300"), Task("100", "b", "200")});
    Refresh(window);
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"10", "9", "100"}));
    QCOMPARE(FocusedId(window), QString("10"));
    QVERIFY(Parts(window).CancelTarget->text().contains("tarefa 10 (c, ana)"));
    QVERIFY(Parts(window).SpeedButton1->toolTip().contains("tarefa 10 (c, ana)"));
    const std::size_t mark = FServers.Calls().size();
    window.SpeedButton1Click();
    AwaitCancels(window);
    QCOMPARE(Cancelled(mark), QStringList({"10"}));
    // Gone from the server: nothing is focused, nothing can be cancelled.
    FServers.SetRows("10.0.1.3", {Task("9", "a", "300")});
    Refresh(window);
    QVERIFY(!Parts(window).SpeedButton1->isEnabled());
    QCOMPARE(Parts(window).CancelTarget->text(), QString());
  }

  void pauseStopsTheTimerAndF5RefreshesAnyway() {
    FServers.SetRows("10.0.1.4", {Task("31", "a", "1")});
    TFTasks window(Config({"1=10.0.1.4"}), FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    AwaitRefresh(window);
    Parts(window).vsTasks->setFocus();
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_Space);
    QVERIFY(window.Paused());
    QVERIFY(Parts(window).PauseButton->isChecked());
    QCOMPARE(Parts(window).PauseButton->text(), QString("Continuar"));
    QVERIFY(Parts(window).PauseBanner->isVisible());
    QVERIFY(!Parts(window).Timer1->isActive());
    QVERIFY(Parts(window).StatusStrip->text().contains("pausado"));
    window.vsTasksClick();  // a click postpones, but does not resume
    QVERIFY(!Parts(window).Timer1->isActive());
    FServers.SetRows("10.0.1.4", {Task("31", "a", "1"), Task("32", "b", "2")});
    const std::size_t calls = FServers.Calls().size();
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_F5);
    AwaitRefresh(window);
    QCOMPARE(FServers.Calls().size(), calls + 1);
    QCOMPARE(Parts(window).vsTasks->model()->rowCount(), 2);
    QVERIFY(!Parts(window).Timer1->isActive());
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_Space);
    QVERIFY(!window.Paused());
    QCOMPARE(Parts(window).PauseButton->text(), QString("Pausar"));
    QVERIFY(!Parts(window).PauseBanner->isVisible());
    QVERIFY(Parts(window).Timer1->isActive());
    QVERIFY(!Parts(window).StatusStrip->text().contains("pausado"));
  }

  void confirmedCancelAsksFirstAndNeverTargetsASilentHost() {
    FServers.SetRows("10.0.1.5", {Task("51", "app.run", "10", "bia")});
    THostConfig config = Audited(Config({"A=10.0.1.5", "B=10.0.1.6"}));
    config.ConfirmCancel = true;
    TFTasks window(config, FServers, FServers);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    Refresh(window);
    QStringList asked;
    bool answer = false;
    window.SetConfirmPresenter([&](const QString& question) {
      asked << question;
      return answer;
    });
    // Row 1 stands for host B without reply: nothing to cancel there.
    SelectTaskRow(window, 1);
    QVERIFY(!Parts(window).SpeedButton1->isEnabled());
    const std::size_t calls = FServers.Calls().size();
    Parts(window).vsTasks->setFocus();
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_Delete);
    window.SpeedButton1Click();
    QCOMPARE(FServers.Calls().size(), calls);
    QVERIFY(asked.isEmpty());

    SelectTaskRow(window, 0);
    QVERIFY(Parts(window).SpeedButton1->isEnabled());
    window.SpeedButton1Click();  // refused
    QCOMPARE(asked, QStringList({"Cancelar a tarefa 51 (app.run, bia) em A (10.0.1.5)?"}));
    QCOMPARE(FServers.Calls().size(), calls);
    // The task ends while the question is open: nothing is sent.
    FServers.SetRows("10.0.1.5", {});
    window.SetConfirmPresenter([&](const QString&) {
      Refresh(window);
      return true;
    });
    QTest::keyClick(Parts(window).vsTasks, Qt::Key_Delete);
    QCOMPARE(Cancelled(calls), QStringList());
  }

  // A session is named by user, host and workstation, never by its key alone.
  void sessionCancelNamesTheSession() {
    FServers.SetRows("10.0.1.11", {Session("0123456789abcdef0123456789abcdef", "bia", "ERP01")});
    const std::size_t mark = FServers.Calls().size();
    TFTasks window(Audited(Config({"A=10.0.1.11"})), FServers, FServers);
    QStringList asked;
    window.SetConfirmPresenter([&](const QString& question) {
      asked << question;
      return true;
    });
    Parts(window).PageControl1->setCurrentIndex(1);
    AwaitRefresh(window);
    Parts(window).vsUsers->selectionModel()->setCurrentIndex(
        Parts(window).vsUsers->model()->index(0, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    window.CancelSelected(true);
    AwaitCancels(window);
    QCOMPARE(asked, QStringList({QString::fromUtf8(
                        "Cancelar a sessão de bia em A (10.0.1.11), estação 10.0.0.7?")}));
    QCOMPARE(Cancelled(mark), QStringList({"0123456789abcdef0123456789abcdef"}));
  }

  // Every field of the focused row, also those without a column; Ctrl+C
  // copies the selected rows under the visible columns' titles.
  void detailsAndCopyOfTheSelectedRows() {
    testing::TRow extra = Task("81", "app.run", "1500", "bia");
    extra["priority"] = "alta";
    FServers.SetRows("10.0.3.1", {extra, Task("82", "app.x", "500")});
    TFTasks window(Config({"A=10.0.3.1", "B=10.0.3.2"}), FServers, FServers);
    window.show();
    Refresh(window);
    Parts(window).DetailsButton->setChecked(true);
    QCOMPARE(Parts(window).Details->topLevelItemCount(), 1);  // the hint: nothing focused
    SelectTaskRow(window, RowOfId(Parts(window).vsTasks, "81"));
    QStringList fields;
    for (int i = 0; i < Parts(window).Details->topLevelItemCount(); ++i)
      fields << Parts(window).Details->topLevelItem(i)->text(0) + "=" +
                    Parts(window).Details->topLevelItem(i)->text(1);
    QVERIFY(fields.contains("priority=alta"));
    QVERIFY(fields.contains("requestid=81"));
    Parts(window).vsTasks->selectAll();
    Parts(window).vsTasks->header()->setSectionHidden(2, true);
    QCOMPARE(window.SelectedRowsText(),
             QString::fromUtf8("Canc\tId\tHost\tCommando\tTempo\tSistema\tUsuário\n"
                               "Não\t81\tA\tapp.run\t1s\tNão\tbia\n"
                               "Não\t82\tA\tapp.x\t500ms\tNão\tana\n"
                               "Não\t\t\t1 servidor sem conexão\t—\tNão\t\n"));
  }

  // A window with a record file records what it shows, and its history
  // window shows it back, read-only, filtered and sorted like the lists; a
  // record file it cannot open is named and the window goes on.
  void theWindowRecordsWhatItShowsAndShowsItBack() {
    FServers.SetRows("10.0.3.5", {Task("95", "app.run", "10"), Task("96", "db.dump", "20")});
    THostConfig config = Config({"A=10.0.3.5", "B=10.0.3.6"});
    config.RecordFile = FAuditFolder.filePath("janela.db").toStdString();
    {
      TFTasks window(config, FServers, FServers);
      QVERIFY(!Parts(window).HistoryButton->isHidden());
      Refresh(window);
    }  // closing writes what waits
    THistoryWindow history(config.RecordFile, config);
    QCOMPARE(history.Instant(), history.Period().second);
    QCOMPARE(Ids(history.Tasks()), QStringList({"96", "95", ""}));
    QCOMPARE(history.Servers().Rows().size(), std::size_t{2});
    QVERIFY(history.Servers().Rows()[1].Status.State != THostState::Answering);
    history.SetFilterText("dump");
    QCOMPARE(Ids(history.Tasks()), QStringList({"96"}));
    history.ShowInstant(history.Period().first - 1);  // before anything was recorded
    QCOMPARE(history.Tasks().rowCount(), 0);
    config.RecordFile = FAuditFolder.filePath("no/such/folder/x.db").toStdString();
    TFTasks unrecorded(config, FServers, FServers);
    QVERIFY(Parts(unrecorded).ActionResult->text().startsWith(QString::fromUtf8("Sem gravação: ")));
    QVERIFY(Parts(unrecorded).HistoryButton->isHidden());
    QVERIFY_THROWS_EXCEPTION(ERecorderError, THistoryWindow(config.RecordFile, config));
  }

  // Filter, sort, hidden panes and columns come back in the next window.
  void theViewIsRememberedPerUser() {
    FServers.SetRows("10.0.3.3", {Task("91", "app.run", "10"), Task("92", "db.dump", "20")});
    THostConfig config = Config({"1=10.0.3.3"});
    config.ViewStateFile = FAuditFolder.filePath("vista.ini").toStdString();
    {
      TFTasks window(config, FServers, FServers);
      Parts(window).FilterEdit->setText("app");
      emit Parts(window).vsTasks->header()->sectionClicked(1);
      Parts(window).HostsButton->setChecked(false);
      Parts(window).vsTasks->header()->setSectionHidden(6, true);
    }
    TFTasks again(config, FServers, FServers);
    Refresh(again);
    QCOMPARE(Parts(again).FilterEdit->text(), QString("app"));
    QCOMPARE(Ids(Parts(again).vsTasks), QStringList({"91"}));
    QVERIFY(!Parts(again).HostsButton->isChecked());
    QVERIFY(Parts(again).vsTasks->header()->isSectionHidden(6));
    QCOMPARE(Parts(again).vsTasks->header()->sortIndicatorSection(), 1);
  }

  void longTasksAreColoured() {
    FServers.SetRows("10.0.1.7",
                     {Task("1", "a", "59999"), Task("2", "b", "60000"), Task("3", "c", "300000")});
    TFTasks window(Config({"A=10.0.1.7", "B=10.0.1.8"}), FServers, FServers);
    Refresh(window);
    const auto background = [&window](int row) {
      return Parts(window).vsTasks->model()->index(row, 4).data(Qt::BackgroundRole);
    };
    QCOMPARE(Ids(Parts(window).vsTasks), QStringList({"3", "2", "1", ""}));
    QCOMPARE(background(0).value<QColor>(), QColor(255, 150, 150));
    QCOMPARE(background(1).value<QColor>(), QColor(255, 214, 110));
    QVERIFY(!background(2).isValid());
    QVERIFY(!background(3).isValid());  // the silent host is no long task
  }

  void deadHostInTheStripAndTheSessionTab() {
    FServers.SetRows("10.0.1.9", {Session("k1", "bia", "ERP01")});
    FServers.SetUnreachable("10.0.1.10");
    QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
    TFTasks window(Config({"A=10.0.1.9", "B=10.0.1.10"}), FServers, FServers);
    QAbstractItemModelTester hosts(Parts(window).vsHosts->model());
    Parts(window).PageControl1->setCurrentIndex(1);
    AwaitRefresh(window);
    QCOMPARE(Cell(Parts(window).vsUsers, 0, 4), QString("08/12/2026 18:00"));
    QLocale::setDefault(QLocale::c());
    QCOMPARE(Parts(window).Label1->text(), QString::fromUtf8("1 sessões"));
    QVERIFY(Parts(window).StatusStrip->text().startsWith("1 de 2 servidores respondendo; 1 sem resposta"));
    QCOMPARE(Parts(window).StatusStrip->toolTip(), QString("B (10.0.1.10): unreachable"));
    QCOMPARE(Cell(Parts(window).vsHosts, 1, 2), QString::fromUtf8("sem conexão"));
    QCOMPARE(Cell(Parts(window).vsHosts, 1, 3), QString("unreachable"));
    QCOMPARE(Cell(Parts(window).vsHosts, 0, 2), QString("respondendo"));
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

QUV_QTEST_MAIN(TasksWindowTest, QApplication)
#include "TasksWindowTest.moc"
