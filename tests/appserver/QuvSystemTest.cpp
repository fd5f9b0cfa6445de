#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/StrUtils.h"
#include "tests/appserver/ServerCalls.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"
#include "transport/quvClientConn.h"

namespace quv {
namespace {

using testing::Call;
using testing::MessageOf;
using testing::Parameters;
using testing::Recordset;
using testing::Request;
using testing::TReply;
using testing::OutputOf;
using testing::TServerProcess;

using TRow = std::map<std::string, std::string>;

const std::vector<std::string> kTaskFields = {
    "requestid", "clientdesc", "requestdesc", "ellapsedtime", "systemcmd", "username", "cancelled"};
const std::vector<std::string> kSessionFields = {"sessionkey", "username", "creation_time",
                                                 "active",     "source",   "licenceinfo"};

// Distinct request numbers for every call of this program.
std::atomic<int32_t> gNextRequestNumber{1000};

TquvCommandHeader Numbered(const std::string& method) {
  TquvCommandHeader header = Request(method);
  header.RequestNumber = gNextRequestNumber++;
  return header;
}

// Each row of `rows` as its fields' texts.
std::vector<TRow> TextRows(TquvRecordset& rows, const std::vector<std::string>& fields) {
  std::vector<TRow> texts;
  for (rows.First(); !rows.Eof(); rows.Next()) {
    TRow& row = texts.emplace_back();
    for (const std::string& field : fields) row[field] = rows.GetFieldValue(field).ToText();
  }
  return texts;
}

std::optional<TRow> Find(const std::vector<TRow>& rows, const std::string& field,
                         const std::string& value) {
  for (const TRow& row : rows)
    if (row.at(field) == value) return row;
  return std::nullopt;
}

// Polls `condition` until it holds, for up to 20 s; whether it held.
template <class F>
bool Eventually(F condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A client of the server on a connection of its own, as the viewer is.
class TSystemClient final {
 public:
  explicit TSystemClient(const std::string& address) : FConn(address, true) {}

  // A call with one parameters row of `values` (none when empty).
  TReply Send(const std::string& method, std::vector<TVariant> values,
              std::string_view context = "", TquvRecordset* result = nullptr) {
    const TquvCommandHeader header = Numbered(method);
    FLastRequestNumber = header.RequestNumber;
    TquvRecordset ignored;
    const auto parameters = values.empty() ? nullptr : Parameters(method, std::move(values));
    return Call(FConn, header, context, parameters.get(), result ? *result : ignored);
  }
  std::vector<TRow> Tasks() { return List("quvsystem.tasks.list", kTaskFields); }
  std::vector<TRow> Sessions() { return List("quvsystem.sessions.list", kSessionFields); }
  std::string OpenSession(const std::string& userName, const std::string& licence) {
    TquvRecordset result;
    result.CacheBlobs = true;
    const TReply reply =
        Send("quvsystem.sessions.open", {TVariant(userName), TVariant(licence)}, "", &result);
    EXPECT_EQ(reply.Header.ResultKind, 1) << reply.Text;
    result.First();
    return result.Eof() ? "" : result.GetFieldValue("sessionkey").ToText();
  }
  int32_t LastRequestNumber() const { return FLastRequestNumber; }

 private:
  std::vector<TRow> List(const std::string& method, const std::vector<std::string>& fields) {
    TquvRecordset rows;
    rows.CacheBlobs = true;
    const TReply reply = Send(method, {}, "", &rows);
    EXPECT_EQ(reply.Header.ResultKind, 1) << reply.Text;
    return TextRows(rows, fields);
  }

  TClientConn FConn;
  int32_t FLastRequestNumber = 0;
};

// A minute-long quvtest.test.sleep on a connection and a thread of its own,
// followed by an echo on the same connection once the sleep is answered.
class TSleepingCall final {
 public:
  TSleepingCall(const std::string& address, int32_t requestNumber, std::string context = "")
      : FThread([this, address, requestNumber, context] {
          FFollowUp = MessageOf([&] {
            TClientConn conn(address, true);
            TquvCommandHeader header = Request("quvtest.test.sleep");
            header.RequestNumber = requestNumber;
            const auto parameters = Parameters("quvtest.test.sleep", {TVariant(60000)});
            TquvRecordset result;
            FReply = Call(conn, header, context, parameters.get(), result);
            FFollowUpKind =
                Call(conn, Numbered("quvtest.test.echo"), "", Recordset("x")).Header.ResultKind;
          });
        }) {}
  ~TSleepingCall() { Join(); }

  // The sleep's reply, once the thread is done.
  const TReply& Reply() {
    Join();
    return FReply;
  }
  // The follow-up's result kind, and the message of what failed ("(no error)").
  uint8_t FollowUpKind() {
    Join();
    return FFollowUpKind;
  }
  const std::string& Failure() {
    Join();
    return FFollowUp;
  }

 private:
  void Join() {
    if (FThread.joinable()) FThread.join();
  }

  TReply FReply;
  uint8_t FFollowUpKind = 0;
  std::string FFollowUp;
  std::thread FThread;
};

class QuvSystem : public ::testing::Test {
 protected:
  TServerProcess FServer;
  TSystemClient FViewer{FServer.Address()};
};

TEST_F(QuvSystem, TasksListShowsItselfAndARunningRequestThatACancelStops) {
  TSleepingCall sleeping(FServer.Address(), 4242);
  std::vector<TRow> tasks;
  ASSERT_TRUE(Eventually([&] { return Find(tasks = FViewer.Tasks(), "requestid", "4242"); }));
  const std::optional<TRow> self =
      Find(tasks, "requestid", std::to_string(FViewer.LastRequestNumber()));
  ASSERT_TRUE(self);
  EXPECT_EQ(self->at("requestdesc"), "quvsystem.tasks.list");
  EXPECT_EQ(self->at("systemcmd"), "true");
  EXPECT_EQ(self->at("cancelled"), "false");
  EXPECT_EQ(self->at("username"), "");
  const TRow sleep = *Find(tasks, "requestid", "4242");
  EXPECT_EQ(sleep.at("requestdesc"), "quvtest.test.sleep");
  EXPECT_EQ(sleep.at("systemcmd"), "false");
  EXPECT_EQ(sleep.at("cancelled"), "false");
  EXPECT_EQ(sleep.at("clientdesc").rfind("127.0.0.1:", 0), 0u) << sleep.at("clientdesc");
  EXPECT_NE(sleep.at("clientdesc"), self->at("clientdesc"));  // another connection
  const int32_t elapsed = StrToIntDef(sleep.at("ellapsedtime"), -1);
  EXPECT_GE(elapsed, 0);
  EXPECT_TRUE(Eventually([&] {
    const std::optional<TRow> later = Find(FViewer.Tasks(), "requestid", "4242");
    return later && StrToIntDef(later->at("ellapsedtime"), -1) > elapsed;
  }));

  const TReply cancel = FViewer.Send("quvsystem.tasks.cancel", {TVariant("4242")});
  EXPECT_EQ(cancel.Header.ResultKind, 3) << cancel.Text;
  EXPECT_EQ(sleeping.Reply().Header.ResultKind, 2);
  EXPECT_EQ(sleeping.Reply().Text, "A requisição foi cancelada."_cp);
  EXPECT_EQ(sleeping.FollowUpKind(), 1) << sleeping.Failure();  // the connection serves on
  EXPECT_FALSE(Find(FViewer.Tasks(), "requestid", "4242"));
}

TEST_F(QuvSystem, UnknownRequestsAndSessionsAnswerAClearError) {
  TReply reply = FViewer.Send("quvsystem.tasks.cancel", {TVariant("99")});
  EXPECT_EQ(reply.Header.ResultKind, 2);
  EXPECT_EQ(reply.Text, "Requisição não encontrada: 99"_cp);
  reply = FViewer.Send("quvsystem.tasks.cancel", {TVariant("abc")});
  EXPECT_EQ(reply.Text, "Número de requisição inválido: abc"_cp);
  reply = FViewer.Send("quvsystem.sessions.cancel", {TVariant("nope")});
  EXPECT_EQ(reply.Text, "Sessão não encontrada: nope"_cp);
  reply = FViewer.Send("quvtest.test.echo", {TVariant(1)}, "sessionkey=nope\r\nmore");
  EXPECT_EQ(reply.Text, "Sessão não encontrada: nope"_cp);
  const std::string longKey(100000, 'k');
  reply = FViewer.Send("quvsystem.sessions.cancel", {TVariant(longKey)});
  EXPECT_EQ(reply.Text, std::string("Sessão não encontrada: "_cp) + longKey.substr(0, 100));
  reply = FViewer.Send("quvtest.test.echo", {TVariant(1)}, "sessionkey=" + longKey);
  EXPECT_EQ(reply.Text, std::string("Sessão não encontrada: "_cp) + longKey.substr(0, 100));
  reply = FViewer.Send("quvsystem.sessions.open", {TVariant(""), TVariant("PLENA")});
  EXPECT_EQ(reply.Text, "quvsystem.sessions.open needs a username");
  reply = FViewer.Send("quvsystem.sessions.watch", {TVariant("10")});
  EXPECT_EQ(reply.Text, "quvsystem.sessions.watch needs a session");
  EXPECT_EQ(FViewer.Send("quvsystem.tasks.cancel", {}).Header.ResultKind, 2);
  EXPECT_TRUE(FViewer.Sessions().empty());
}

TEST_F(QuvSystem, SessionsAreListedUntilCancelledWhichCancelsTheirRequests) {
  const double before = LocalNow();
  const std::string key = FViewer.OpenSession("maria.alves", "PLENA");
  const std::string other = FViewer.OpenSession("joao.reis", "BASIC");
  ASSERT_FALSE(key.empty());
  EXPECT_NE(key, other);
  std::vector<TRow> sessions = FViewer.Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].at("sessionkey"), key);  // in order of logon
  EXPECT_EQ(sessions[0].at("username"), "maria.alves");
  EXPECT_EQ(sessions[0].at("licenceinfo"), "PLENA");
  EXPECT_EQ(sessions[0].at("active"), "false");
  EXPECT_EQ(sessions[0].at("source").rfind("127.0.0.1:", 0), 0u);
  double logon = 0;
  ASSERT_TRUE(TryStrToFloat(sessions[0].at("creation_time"), logon));
  EXPECT_LT(std::abs(logon - before), 1.0 / 24);
  EXPECT_EQ(sessions[1].at("username"), "joao.reis");

  TSleepingCall sleeping(FServer.Address(), 5151, "sessionkey=" + key);
  ASSERT_TRUE(Eventually([&] { return Find(FViewer.Tasks(), "requestid", "5151"); }));
  EXPECT_EQ(Find(FViewer.Tasks(), "requestid", "5151")->at("username"), "maria.alves");
  EXPECT_EQ(Find(FViewer.Sessions(), "sessionkey", key)->at("active"), "true");

  const TReply cancel = FViewer.Send("quvsystem.sessions.cancel", {TVariant(key)});
  EXPECT_EQ(cancel.Header.ResultKind, 3) << cancel.Text;
  EXPECT_EQ(sleeping.Reply().Text, "A requisição foi cancelada."_cp);
  EXPECT_EQ(sleeping.Failure(), kNoConnectionMessage);  // the session's connection was closed
  sessions = FViewer.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].at("sessionkey"), other);
  EXPECT_EQ(FViewer.Send("quvtest.test.echo", {TVariant(1)}, "sessionkey=" + key).Text,
            std::string("Sessão não encontrada: "_cp) + key);
}

TEST(QuvSystemSeed, TheSeedDecidesTheSessionKeys) {
  std::vector<std::string> keys;
  for (const char* seed : {"3", "3", "4"}) {
    TServerProcess server({"--seed", seed});
    keys.push_back(TSystemClient(server.Address()).OpenSession("ana", "PLENA"));
  }
  EXPECT_EQ(keys[0], keys[1]);
  EXPECT_NE(keys[0], keys[2]);
}

TEST(QuvSystemDemo, TheDemoKeepsSessionsAndRequestsOfItsUsersInFlight) {
  TServerProcess server({"--demo", "--seed", "7", "--demo-scale", "10"});
  TSystemClient viewer(server.Address());
  const std::map<std::string, std::string> licences = {{"ana.souza", "PLENA"},
                                                       {"bruno.lima", "BASIC"},
                                                       {"carla.dias", "PLENA"},
                                                       {"diego.rocha", "FISCO"},
                                                       {"elisa.melo", "BASIC"}};
  EXPECT_TRUE(Eventually([&] {
    std::set<std::string> users;
    for (const TRow& session : viewer.Sessions()) {
      EXPECT_EQ(licences.at(session.at("username")), session.at("licenceinfo"));
      users.insert(session.at("username"));
    }
    return users.size() == licences.size();
  }));
  std::optional<TRow> sleep;
  EXPECT_TRUE(Eventually([&] {
    sleep = Find(viewer.Tasks(), "requestdesc", "quvtest.test.sleep");
    return sleep && licences.contains(sleep->at("username"));
  }));
  EXPECT_TRUE(Eventually([&] {
    for (const TRow& task : viewer.Tasks())
      if (task.at("systemcmd") == "true" && licences.contains(task.at("username"))) return true;
    return false;
  }));
  ASSERT_TRUE(sleep);
  const TReply cancel = viewer.Send("quvsystem.tasks.cancel", {TVariant(sleep->at("requestid"))});
  // The sleep may have ended just before the cancel reached it.
  if (cancel.Header.ResultKind == 3) {
    const std::optional<TRow> after = Find(viewer.Tasks(), "requestid", sleep->at("requestid"));
    EXPECT_TRUE(!after || after->at("cancelled") == "true");
  } else {
    EXPECT_EQ(cancel.Text, std::string("Requisição não encontrada: "_cp) + sleep->at("requestid"));
  }
  EXPECT_TRUE(server.Running());
  EXPECT_EQ(server.Stop(), 0);  // the demo's clients are stopped and joined
}

}  // namespace
}  // namespace quv

namespace quv {
namespace {

// One line of a task log.
struct TTaskLogLine {
  double When = 0;
  std::string What;
  uint64_t Entry = 0;
  int32_t RequestNumber = 0;
  std::string Method;
};

std::vector<TTaskLogLine> ReadTaskLog(const std::string& fileName) {
  std::ifstream in(fileName);
  std::vector<TTaskLogLine> lines;
  std::string text;
  while (std::getline(in, text)) {
    std::istringstream fields(text);
    TTaskLogLine& line = lines.emplace_back();
    fields >> line.When >> line.What >> line.Entry >> line.RequestNumber >> line.Method;
  }
  return lines;
}

std::vector<TTaskLogLine> LinesOf(const std::vector<TTaskLogLine>& lines, int32_t requestNumber) {
  std::vector<TTaskLogLine> found;
  for (const TTaskLogLine& line : lines)
    if (line.RequestNumber == requestNumber) found.push_back(line);
  return found;
}

TEST(QuvSystemTaskLog, EachRequestHasAStartAndAnEndLineEvenWhenCancelled) {
  TTempFolder folder;
  const std::string logFile = folder.Path() + "/tasks.log";
  TServerProcess server({"--task-log", logFile});
  TSystemClient viewer(server.Address());
  const double before = LocalNow();
  {
    TSleepingCall sleeping(server.Address(), 5151);
    ASSERT_TRUE(Eventually([&] { return Find(viewer.Tasks(), "requestid", "5151"); }));
    EXPECT_EQ(viewer.Send("quvsystem.tasks.cancel", {TVariant("5151")}).Header.ResultKind, 3);
    EXPECT_EQ(sleeping.Reply().Header.ResultKind, 2);
  }
  // A request's end line follows its reply; once stopped, the server has written them all.
  EXPECT_EQ(server.Stop(), 0);
  const double after = LocalNow();
  const std::vector<TTaskLogLine> sleep = LinesOf(ReadTaskLog(logFile), 5151);
  ASSERT_EQ(sleep.size(), 2u);
  EXPECT_EQ(sleep[0].What, "start");
  EXPECT_EQ(sleep[1].What, "end");
  EXPECT_EQ(sleep[0].Entry, sleep[1].Entry);
  EXPECT_EQ(sleep[0].Method, "quvtest.test.sleep");
  EXPECT_EQ(sleep[1].Method, "quvtest.test.sleep");
  EXPECT_GE(sleep[0].When, before - 1.0 / 86400);
  EXPECT_LE(sleep[0].When, sleep[1].When);
  EXPECT_LE(sleep[1].When, after + 1.0 / 86400);
  // The viewer's own lists are requests too, each ended before the next.
  const std::vector<TTaskLogLine> list = LinesOf(ReadTaskLog(logFile), viewer.LastRequestNumber());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Method, "quvsystem.tasks.cancel");
  EXPECT_NE(list[0].Entry, sleep[0].Entry);
}

TEST(QuvSystemTaskLog, ALogThatCannotBeOpenedStopsTheServerBeforeItListens) {
  int status = 0;
  const std::string output =
      OutputOf(std::string(QUV_SERVER_BINARY) +
                   " --port 0 --locator-port 0 --task-log /nonexistent/folder/tasks.log 2>&1",
               status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("/nonexistent/folder/tasks.log"), std::string::npos) << output;
  EXPECT_EQ(output.find("listening on"), std::string::npos) << output;
}

}  // namespace
}  // namespace quv
