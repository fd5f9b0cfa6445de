// The viewer's window against real application servers on loopback: the
// refreshes and cancels go through the remote-call client and the package
// protocol to quvserver processes.

#include <QAbstractItemModelTester>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "app/uTasks2.h"
#include "tests/app/TasksWindowParts.h"
#include "platform/Cp1252.h"
#include "tests/kit/QtTestMain.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/StuckPeer.h"
#include "transport/quvCallExchange.h"
#include "transport/quvCallKinds.h"
#include "transport/quvClientCfg.h"
#include "transport/quvClientConn.h"

using namespace quv;
using quv::testing::Parts;
using quv::testing::TServerProcess;

namespace {

constexpr int kWaitMs = 20000;

std::atomic<int32_t> gNextRequestNumber{700000};

TquvCommandHeader Numbered(const std::string& method) {
  TquvCommandHeader header;
  header.MethodName = method;
  header.RequestNumber = gNextRequestNumber++;
  return header;
}

// Calls `header`'s method with one parameters row of `values`, in the session `sessionKey` (if
// any), waiting out the sleeps of these tests; the error text, empty on success.
std::string CallServer(const std::string& address, TquvCommandHeader header,
                       const std::string& sessionKey, std::vector<TVariant> values,
                       TquvRecordset& result) {
  try {
    TClientConn conn(address, true);
    TquvPackage package(conn);
    TquvRecordset parameters("", header.MethodName);
    parameters.AppendValues(values);
    TquvCallWait wait;
    wait.ReplyMs = 120000;
    const TquvCallOutcome outcome = ExchangeCall(
        package, header, sessionKey.empty() ? "" : "sessionkey=" + sessionKey,
        [&](TquvPackageWriter& writer) {
          writer.WriteCommandAsRecordset(&parameters, false, false);
        },
        [&](TquvPackageReader& reader) { reader.ReadCommandAsRecordset(&result); }, wait);
    return header.ResultKind == kResultError ? outcome.ErrorText : std::string();
  } catch (const std::exception& e) {
    return std::string("failed: ") + e.what();
  }
}

QString Utf8(std::string_view cp1252) { return QString::fromStdString(Cp1252ToUtf8(cp1252)); }

QString Cell(QTreeView* tree, int row, int column) {
  return tree->model()->index(row, column).data().toString();
}

// The row of `tree` whose column `column` reads `text`, or -1.
int RowOf(QTreeView* tree, int column, const QString& text) {
  for (int row = 0; row < tree->model()->rowCount(); ++row)
    if (Cell(tree, row, column) == text) return row;
  return -1;
}

int TaskRowOf(QTreeView* tree, int32_t requestId) {
  return RowOf(tree, 1, QString::number(requestId));
}

// Opens a session on the server at `address`; its key.
std::string OpenSession(const std::string& address, const std::string& user,
                        const std::string& licence) {
  TquvRecordset result;
  result.CacheBlobs = true;
  const std::string error = CallServer(address, Numbered("quvsystem.sessions.open"), "",
                                       {TVariant(user), TVariant(licence)}, result);
  if (!error.empty()) throw Exception(error);
  result.First();
  return result.GetFieldValue("sessionkey").ToText();
}

// A minute-long quvtest.test.sleep on a connection and a thread of its own,
// in a session when a key is given.
class TSleeper final {
 public:
  TSleeper(const std::string& address, const std::string& sessionKey)
      : FHeader(Numbered("quvtest.test.sleep")),
        FThread([this, address, sessionKey] { Run(address, sessionKey); }) {}
  ~TSleeper() { FThread.join(); }

  int32_t RequestNumber() const { return FHeader.RequestNumber; }
  // The error text of its reply, "answered" without one; empty while it sleeps.
  std::string Outcome() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FOutcome;
  }

 private:
  void Run(const std::string& address, const std::string& sessionKey) {
    std::string outcome;
    TquvRecordset result;
    const std::string error = CallServer(address, FHeader, sessionKey, {TVariant(60000)}, result);
    outcome = error.empty() ? "answered" : error;
    std::lock_guard<std::mutex> guard(FLock);
    FOutcome = outcome;
  }

  const TquvCommandHeader FHeader;
  mutable std::mutex FLock;
  std::string FOutcome;
  std::thread FThread;
};

// The servers of one test and the calls sleeping on them. The servers stop
// first, which ends the calls that still sleep.
class TLiveServers final {
 public:
  TServerProcess& Start(std::vector<std::string> args = {}) {
    return *FServers.emplace_back(std::make_unique<TServerProcess>(std::move(args)));
  }
  // The address of a server that has stopped: nothing listens there.
  std::string DeadAddress() {
    TServerProcess gone;
    const std::string address = gone.Address();
    gone.Stop();
    return address;
  }
  TSleeper& Sleep(const TServerProcess& server, const std::string& sessionKey = "") {
    return *FSleepers.emplace_back(std::make_unique<TSleeper>(server.Address(), sessionKey));
  }

 private:
  std::vector<std::unique_ptr<TSleeper>> FSleepers;
  std::vector<std::unique_ptr<TServerProcess>> FServers;
};

// The remote-call client as each refresh sets it up, but with a call
// time-out that a loaded machine meets, and with some methods answered by
// other methods of the same servers, so that a reply can take a given shape.
class TLiveCalls final : public IRemoteCalls {
 public:
  explicit TLiveCalls(std::map<std::string, std::string> renames = {})
      : FRenames(std::move(renames)) {}
  void PrepareRefresh() override {
    FCalls.PrepareRefresh();
    TquvClientCfg::SetTimeout(kCallTimeoutMs);
  }
  int32_t RefreshCallTimeoutMs() const override { return kCallTimeoutMs; }
  std::unique_ptr<IReplyRows> ExecMethod(const std::string& method,
                                         const std::string& host) override {
    return FCalls.ExecMethod(Renamed(method), host);
  }
  void ExecMethodValues(const std::string& method, const std::string& paramName,
                        const std::string& paramValue, const std::string& host) override {
    FCalls.ExecMethodValues(Renamed(method), paramName, paramValue, host);
  }
  void InterruptCallsInFlight() override { FCalls.InterruptCallsInFlight(); }

 private:
  static constexpr int32_t kCallTimeoutMs = 5000;

  std::string Renamed(const std::string& method) const {
    const auto found = FRenames.find(method);
    return found == FRenames.end() ? method : found->second;
  }

  TClientRemoteCalls FCalls;
  const std::map<std::string, std::string> FRenames;
};

// The TCP probe; once armed, the server at the armed address is stopped
// right after it answered its next probe, before the refresh calls it.
class TKillingProbe final : public IHostProbe {
 public:
  void Arm(TServerProcess& server) {
    FVictim = &server;
    FAddress = server.Address();
    FArmed = true;
  }
  void Probe(const std::string& address) override {
    FProbe.Probe(address);
    if (address == FAddress && FArmed.exchange(false)) FVictim->Stop();
  }
  int TimeoutMs() const override { return FProbe.TimeoutMs(); }

 private:
  TTcpProbe FProbe;
  TServerProcess* FVictim = nullptr;
  std::string FAddress;
  std::atomic<bool> FArmed{false};
};

// One row per host without reply; cancels recorded in a folder of the test's own.
THostConfig Hosts(std::vector<std::string> lines) {
  static const QTemporaryDir auditFolder;
  THostConfig config;
  config.Hosts = std::move(lines);
  config.FoldNoConnection = false;
  config.AuditLogFile = auditFolder.filePath("cancelamentos.log").toStdString();
  return config;
}

}  // namespace

class LiveViewerTest : public QObject {
  Q_OBJECT

 private:
  const QString FNoConnection = QString::fromUtf8("Sem conexão com o servidor");
  const std::string FCancelled = std::string("A requisição foi cancelada."_cp);
  TTcpProbe FProbe;

  // Stops the timer once no refresh is in flight, so that the rows stay
  // as they are while the test acts on them.
  static void HoldRefreshes(TFTasks& window) {
    Parts(window).Timer1->stop();
    QTRY_VERIFY_WITH_TIMEOUT(window.RefreshesInFlight() == 0, kWaitMs);
  }

  // Selects `row` of `tree` and presses the cancel button; its outcome
  // starts the refreshes again.
  static void CancelRow(TFTasks& window, QTreeView* tree, int row) {
    tree->selectionModel()->setCurrentIndex(
        tree->model()->index(row, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::mouseClick(Parts(window).SpeedButton1, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window.CancelsInFlight() == 0, kWaitMs);
  }

 private slots:
  void taskViewOfTwoServersAndADeadAddress() {
    TLiveServers live;
    const TServerProcess& a = live.Start();
    const TServerProcess& c = live.Start();
    const TSleeper& older = live.Sleep(a);
    TLiveCalls calls;
    TFTasks window(Hosts({"A=" + a.Address(), "B=" + live.DeadAddress(), "C=" + c.Address()}),
                   calls, FProbe);
    QAbstractItemModelTester taskModel(Parts(window).vsTasks->model());
    QAbstractItemModelTester hostModel(Parts(window).vsHosts->model());
    // The first sleep runs a whole second before the second one starts.
    QTRY_VERIFY_WITH_TIMEOUT(
        TaskRowOf(Parts(window).vsTasks, older.RequestNumber()) >= 0 &&
            !Cell(Parts(window).vsTasks, TaskRowOf(Parts(window).vsTasks, older.RequestNumber()), 5)
                 .endsWith("ms"),
        kWaitMs);
    const TSleeper& newer = live.Sleep(c);
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(window).vsTasks, older.RequestNumber()) >= 0 &&
                                 TaskRowOf(Parts(window).vsTasks, newer.RequestNumber()) >= 0,
                             kWaitMs);

    QTreeView* tasks = Parts(window).vsTasks;
    QCOMPARE(tasks->model()->rowCount(), 3);  // the polling requests are not shown
    QCOMPARE(TaskRowOf(tasks, older.RequestNumber()), 0);
    QCOMPARE(Cell(tasks, 0, 3), QString("A"));
    QCOMPARE(Cell(tasks, 0, 4), QString("quvtest.test.sleep"));
    QCOMPARE(Cell(tasks, 0, 0), QString::fromUtf8("Não"));
    QCOMPARE(TaskRowOf(tasks, newer.RequestNumber()), 1);
    QCOMPARE(Cell(tasks, 1, 3), QString("C"));
    QVERIFY(Cell(tasks, 1, 2).startsWith("127.0.0.1:"));
    QCOMPARE(Cell(tasks, 2, 3), QString("B"));
    QCOMPARE(Cell(tasks, 2, 4), FNoConnection);
    QCOMPARE(Cell(tasks, 2, 5), QString::fromUtf8("—"));
    QCOMPARE(Parts(window).StaticText1->text(), QString());
    QCOMPARE(Parts(window).Label1->text(), QString("."));
    // The dead host's cause, in its row's tool tip and in the host list.
    QCOMPARE(Cell(Parts(window).vsHosts, 1, 2), QString::fromUtf8("sem conexão"));
    const QString cause = Cell(Parts(window).vsHosts, 1, 3);
    QVERIFY(cause.contains("Connection refused"));
    QCOMPARE(tasks->model()->index(2, 4).data(Qt::ToolTipRole).toString(),
             "B (" + QString::fromStdString(HostAddress(window.Hosts()[1])) + "): " + cause);
    QVERIFY(Parts(window).StatusStrip->text().startsWith("2 de 3 servidores respondendo; 1 sem resposta"));
    QVERIFY(!Cell(Parts(window).vsHosts, 0, 5).isEmpty());  // the time of A's last reply
  }

  void sessionViewCountsAKeyOfTwoServersOnce() {
    TLiveServers live;
    // The same seed gives both servers the same session keys.
    const TServerProcess& a = live.Start({"--seed", "7"});
    const TServerProcess& c = live.Start({"--seed", "7"});
    const std::string shared = OpenSession(a.Address(), "bia", "PLENA");
    QCOMPARE(QString::fromStdString(OpenSession(c.Address(), "bia", "PLENA")),
             QString::fromStdString(shared));
    OpenSession(a.Address(), "ana", "BASICO");
    TLiveCalls calls;
    TFTasks window(Hosts({"A=" + a.Address(), "B=" + live.DeadAddress(), "C=" + c.Address()}),
                   calls, FProbe);
    QAbstractItemModelTester sessionModel(Parts(window).vsUsers->model());
    Parts(window).PageControl1->setCurrentIndex(1);
    QTRY_COMPARE_WITH_TIMEOUT(Parts(window).Label1->text(), QString::fromUtf8("2 sessões"), kWaitMs);

    QTreeView* users = Parts(window).vsUsers;
    QCOMPARE(users->model()->rowCount(), 3);
    QCOMPARE(Cell(users, 0, 1), QString("ana"));
    QCOMPARE(Cell(users, 0, 3), QString("A"));
    QCOMPARE(Cell(users, 0, 5), QString("BASIC"));
    QCOMPARE(Cell(users, 0, 2).left(10), QString("127.0.0.1:"));
    QCOMPARE(QSet<QString>({Cell(users, 1, 1), Cell(users, 2, 1)}), QSet<QString>({"bia"}));
    QCOMPARE(QSet<QString>({Cell(users, 1, 3), Cell(users, 2, 3)}), QSet<QString>({"A", "C"}));
    QTreeView* licences = Parts(window).vsLicences;
    QCOMPARE(licences->model()->rowCount(), 2);
    QCOMPARE(Cell(licences, 0, 0), QString("BASIC"));
    QCOMPARE(Cell(licences, 0, 1), QString("1"));
    QCOMPARE(Cell(licences, 1, 0), QString("PLENA"));
    QCOMPARE(Cell(licences, 1, 1), QString("1"));
    QVERIFY(Parts(window).StatusStrip->text().startsWith("2 de 3 servidores respondendo; 1 sem resposta"));
  }

  void cancelOfATaskAndOfASessionReachesItsServer() {
    TLiveServers live;
    const TServerProcess& a = live.Start();
    const TServerProcess& c = live.Start();
    const TSleeper& task = live.Sleep(c);
    TLiveCalls calls;
    TFTasks window(Hosts({"A=" + a.Address(), "C=" + c.Address()}), calls, FProbe);
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(window).vsTasks, task.RequestNumber()) >= 0, kWaitMs);
    HoldRefreshes(window);
    CancelRow(window, Parts(window).vsTasks, TaskRowOf(Parts(window).vsTasks, task.RequestNumber()));
    QTRY_COMPARE_WITH_TIMEOUT(Utf8(task.Outcome()), Utf8(FCancelled), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        TaskRowOf(Parts(window).vsTasks, task.RequestNumber()) < 0 ||
            Cell(Parts(window).vsTasks, TaskRowOf(Parts(window).vsTasks, task.RequestNumber()), 0) == "Sim",
        kWaitMs);

    const std::string key = OpenSession(c.Address(), "bia", "PLENA");
    const TSleeper& inSession = live.Sleep(c, key);
    Parts(window).PageControl1->setCurrentIndex(1);
    QTRY_COMPARE_WITH_TIMEOUT(Parts(window).Label1->text(), QString::fromUtf8("1 sessões"), kWaitMs);
    HoldRefreshes(window);
    CancelRow(window, Parts(window).vsUsers, 0);
    QTRY_COMPARE_WITH_TIMEOUT(Utf8(inSession.Outcome()), Utf8(FCancelled), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(Parts(window).Label1->text(), QString::fromUtf8("0 sessões"), kWaitMs);
    QCOMPARE(Parts(window).vsUsers->model()->rowCount(), 0);
  }

  void serverDyingInARefreshShowsWithoutConnection() {
    TLiveServers live;
    const TServerProcess& a = live.Start();
    TServerProcess& c = live.Start();
    const TSleeper& first = live.Sleep(a);
    TLiveCalls calls;
    TKillingProbe probe;
    TFTasks window(Hosts({"A=" + a.Address(), "C=" + c.Address()}), calls, probe);
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(window).vsTasks, first.RequestNumber()) >= 0, kWaitMs);
    QCOMPARE(RowOf(Parts(window).vsTasks, 4, FNoConnection), -1);
    probe.Arm(c);
    QTRY_COMPARE_WITH_TIMEOUT(RowOf(Parts(window).vsTasks, 4, FNoConnection), 1, kWaitMs);
    QCOMPARE(Cell(Parts(window).vsTasks, 1, 3), QString("C"));
    QVERIFY(!c.Running());
    // The refreshes go on: a new request of the live server shows up.
    const TSleeper& second = live.Sleep(a);
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(window).vsTasks, second.RequestNumber()) >= 0, kWaitMs);
    QCOMPARE(Parts(window).vsTasks->model()->rowCount(), 3);
    QCOMPARE(Cell(Parts(window).vsTasks, 2, 4), FNoConnection);
  }

  // A server that stops in the middle of its reply keeps its caller reading
  // for the package's 30 s; the refresh shows the good server at its
  // deadline anyway and keeps refreshing it, while the stuck one reads as
  // still waiting and is not called again. The deadline runs on a test clock.
  void aStuckServerDoesNotHoldTheOthers() {
    TLiveServers live;
    const TServerProcess& a = live.Start();
    const TSleeper& first = live.Sleep(a);
    TManualClock& clock = quv::testing::ProgramManualClock();
    const TClockOverride useClock(clock);
    quv::testing::TStuckPeer stuck;
    TLiveCalls calls;
    // Closing the window at the end cuts the stuck call off: it does not wait
    // for the package's 30 s.
    TFTasks window(Hosts({"A=" + a.Address(), "S=" + stuck.Address()}), calls, FProbe);
    QTRY_COMPARE_WITH_TIMEOUT(stuck.StuckCalls(), 1, kWaitMs);
    QCOMPARE(window.RefreshesInFlight(), std::size_t{1});
    clock.Advance(2 * 5000 + 500);  // twice the call time-out plus the probe's
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(window).vsTasks, first.RequestNumber()) >= 0 &&
                                 RowOf(Parts(window).vsTasks, 4, FNoConnection) >= 0,
                             kWaitMs);
    const int silent = RowOf(Parts(window).vsTasks, 4, FNoConnection);
    QCOMPARE(Cell(Parts(window).vsTasks, silent, 3), QString("S"));
    QVERIFY(Parts(window).vsTasks->model()
                ->index(silent, 0)
                .data(Qt::ToolTipRole)
                .toString()
                .contains("ainda aguardando"));
    QCOMPARE(Cell(Parts(window).vsHosts, 1, 2), QString("aguardando"));
    QVERIFY(Parts(window).StatusStrip->text().contains("1 sem resposta"));

    const TSleeper& second = live.Sleep(a);
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(window).vsTasks, second.RequestNumber()) >= 0, kWaitMs);
    QCOMPARE(Cell(Parts(window).vsHosts, 0, 2), QString("respondendo"));
    QCOMPARE(stuck.StuckCalls(), 1);  // not called again while its call runs
    QVERIFY(RowOf(Parts(window).vsTasks, 4, FNoConnection) >= 0);
  }

  // A cancel sent to a server that has stopped answering waits in the
  // background: the window goes on refreshing the other server, and closing
  // it cuts the waiting cancel off.
  void aCancelToAFrozenServerNeverHoldsTheWindow() {
    TLiveServers live;
    const TServerProcess& a = live.Start();
    const TServerProcess& b = live.Start();
    const TSleeper& onB = live.Sleep(b);
    TLiveCalls calls;
    auto window = std::make_unique<TFTasks>(Hosts({"A=" + a.Address(), "B=" + b.Address()}),
                                            calls, FProbe);
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(*window).vsTasks, onB.RequestNumber()) >= 0, kWaitMs);
    HoldRefreshes(*window);
    struct TThaw {  // a stopped server could not be stopped for good
      pid_t Pid;
      ~TThaw() { ::kill(Pid, SIGCONT); }
    } thaw{b.Pid()};
    ::kill(b.Pid(), SIGSTOP);
    QTreeView* tasks = Parts(*window).vsTasks;
    tasks->selectionModel()->setCurrentIndex(
        tasks->model()->index(TaskRowOf(tasks, onB.RequestNumber()), 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::mouseClick(Parts(*window).SpeedButton1, Qt::LeftButton);
    QCOMPARE(window->CancelsInFlight(), std::size_t{1});
    Parts(*window).Timer1->start();
    const TSleeper& onA = live.Sleep(a);
    QTRY_VERIFY_WITH_TIMEOUT(TaskRowOf(Parts(*window).vsTasks, onA.RequestNumber()) >= 0, kWaitMs);
    window.reset();
  }

  void replyWithoutAFieldEndsTheRefreshEarly() {
    TLiveServers live;
    const TServerProcess& a = live.Start();
    // Task rows where session rows are read: "sessionkey" is missing.
    TLiveCalls calls(
        std::map<std::string, std::string>{{"quvsystem.sessions.list", "quvsystem.tasks.list"}});
    TFTasks window(Hosts({"A=" + a.Address()}), calls, FProbe);
    Parts(window).PageControl1->setCurrentIndex(1);
    QTRY_VERIFY_WITH_TIMEOUT(window.RefreshesInFlight() == 0, kWaitMs);
    QCOMPARE(Parts(window).StaticText1->text(), QString());
    QVERIFY(!Parts(window).Timer1->isActive());  // stays off until the user acts
    QCOMPARE(Parts(window).Label1->text(), QString("."));
    QCOMPARE(Parts(window).vsUsers->model()->rowCount(), 0);
    Parts(window).PageControl1->setCurrentIndex(0);
    QTRY_VERIFY_WITH_TIMEOUT(window.RefreshesInFlight() == 0 && Parts(window).Timer1->isActive(), kWaitMs);
  }

  void incompleteReplyEndsAfterItsLastRow() {
    TLiveServers live;
    const TServerProcess& a = live.Start();
    const TServerProcess& c = live.Start();
    // Both servers answer the task list with three rows of result kind 0.
    TLiveCalls calls(
        std::map<std::string, std::string>{{"quvsystem.tasks.list", "quvtest.test.partial"}});
    TFTasks window(Hosts({"A=" + a.Address(), "C=" + c.Address()}), calls, FProbe);
    QTRY_VERIFY_WITH_TIMEOUT(Parts(window).vsTasks->model()->rowCount() == 6, kWaitMs);
    std::multiset<QString> seen;
    for (int row = 0; row < 6; ++row)
      seen.insert(Cell(Parts(window).vsTasks, row, 3) + Cell(Parts(window).vsTasks, row, 1));
    QCOMPARE(seen, std::multiset<QString>({"A1", "A2", "A3", "C1", "C2", "C3"}));
    QVERIFY(Cell(Parts(window).vsTasks, 0, 4).startsWith("Consulta de pedidos "));
    QTRY_VERIFY_WITH_TIMEOUT(window.RefreshesInFlight() == 0 && Parts(window).Timer1->isActive(), kWaitMs);
  }
};

QUV_QTEST_MAIN(LiveViewerTest, QApplication)
#include "LiveViewerTest.moc"
