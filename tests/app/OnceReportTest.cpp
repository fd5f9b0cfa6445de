#include <gtest/gtest.h>

#include <sstream>

#include "app/OnceReport.h"
#include "app/ReportOutput.h"
#include "platform/Cp1252.h"
#include "tests/app/FakeServers.h"

namespace quv {
namespace {

using testing::Session;
using testing::Task;

// Two servers and a silent one, printed in each format.
class OnceReportTest : public ::testing::Test {
 protected:
  OnceReportTest() {
    FServers.SetRows("10.0.2.1", {Task("7", "app.run", "125000", "bia"),
                                  Task("8", "quvsystem.tasks.list", "1")});
    FServers.SetRows("10.0.2.3", {Task("9", "rel, \"mensal\"", "500", std::string("José"_cp))});
    FServers.SetUnreachable("10.0.2.2");
  }
  // The output of one print, which finds host B silent.
  std::string Print(bool sessions, TOnceFormat format) {
    std::ostringstream out;
    EXPECT_FALSE(FReport.Print(sessions, format, out, FErrors));
    return out.str();
  }

  testing::TFakeServers FServers;
  TOnceReport FReport{{"A=10.0.2.1", "B=10.0.2.2", "C=10.0.2.3"}, FServers, FServers};
  std::ostringstream FErrors;
};

TEST_F(OnceReportTest, TableInTheWindowsOrderWithSilentHostsOnStandardError) {
  EXPECT_EQ(
      Print(false, TOnceFormat::Table),
      "Canc  Id  IP Addr        Host  Commando                    Tempo  Sistema  Usuário\n"
      "Não   7   10.0.0.9:5000  A     app.run                     2m5s   Não      bia\n"
      "Não   9   10.0.0.9:5000  C     rel, \"mensal\"               500ms  Não      José\n"
      "Não                      B     Sem conexão com o servidor  —      Não      \n");
  EXPECT_EQ(FErrors.str(), "quvtasks: B (10.0.2.2): sem conexão: unreachable\n");
  EXPECT_EQ(FReport.OldestTaskMs(), 125000);  // the silent host is no task
  FServers.SetRows("10.0.2.1", {});
  FServers.SetRows("10.0.2.3", {});
  Print(false, TOnceFormat::Table);
  EXPECT_EQ(FReport.OldestTaskMs(), -1);
}

TEST_F(OnceReportTest, CsvQuotesWhereNeededAndCarriesSecondsStateAndCause) {
  EXPECT_EQ(Print(false, TOnceFormat::Csv),
            "Canc,Id,IP Addr,Host,Commando,Tempo,Sistema,Usuário,Segundos,Estado,Causa\r\n"
            "Não,7,10.0.0.9:5000,A,app.run,2m5s,Não,bia,125.000,respondendo,\r\n"
            "Não,9,10.0.0.9:5000,C,\"rel, \"\"mensal\"\"\",500ms,Não,José,0.500,respondendo,\r\n"
            "Não,,,B,Sem conexão com o servidor,—,Não,,,sem conexão,unreachable\r\n");
  EXPECT_EQ(CsvField("a\nb"), "\"a\nb\"");
}

TEST_F(OnceReportTest, ASilentHostCarriesItsStateInTheJsonOfBothViews) {
  const std::string tasks = Print(false, TOnceFormat::Json);
  EXPECT_NE(tasks.find("{\"host\":\"B\",\"address\":\"10.0.2.2\",\"connected\":false,"
                       "\"state\":\"sem conex\\u00E3o\",\"cause\":\"unreachable\",\"requestid\":0,"),
            std::string::npos)
      << tasks;
  EXPECT_NE(tasks.find("\"ellapsedtime\":null,\"elapsedseconds\":null,\"elapsed\":null"),
            std::string::npos)
      << tasks;
  EXPECT_EQ(tasks.find('\n'), tasks.size() - 1);  // one line: repeated prints are JSON Lines
  FServers.SetRows("10.0.2.1", {});
  FServers.SetRows("10.0.2.3", {});
  const std::string sessions = Print(true, TOnceFormat::Json);
  EXPECT_NE(sessions.find("{\"host\":\"B\",\"address\":\"10.0.2.2\",\"connected\":false,"
                          "\"state\":\"sem conex\\u00E3o\",\"cause\":\"unreachable\""),
            std::string::npos)
      << sessions;
}

TEST_F(OnceReportTest, JsonOfSessions) {
  FServers.SetRows("10.0.2.1", {Session("k1", "bia", "ERP01")});
  FServers.SetRows("10.0.2.3", {});
  EXPECT_EQ(Print(true, TOnceFormat::Json),
            "[{\"host\":\"A\",\"address\":\"10.0.2.1\",\"connected\":true,"
            "\"state\":\"respondendo\",\"cause\":null,\"sessionkey\":\"k1\",\"username\":\"bia\","
            "\"source\":\"10.0.0.7\",\"logon\":\"2026-12-08T18:00:00\",\"active\":true,"
            "\"licenceinfo\":\"ERP01\"},{\"host\":\"B\",\"address\":\"10.0.2.2\","
            "\"connected\":false,\"state\":\"sem conex\\u00E3o\",\"cause\":\"unreachable\","
            "\"sessionkey\":\"\",\"username\":\"\",\"source\":\"\",\"logon\":null,\"active\":false,"
            "\"licenceinfo\":\"\"}]\n");
}

TEST_F(OnceReportTest, TableOfSessionsWithTheLicenceCounts) {
  FServers.SetRows("10.0.2.1", {Session("k1", "bia", "ERP01"), Session("k2", "ana", "ERP01")});
  FServers.SetRows("10.0.2.3", {Session("K1", "bia", "ERP01"), Session("k3", "rui", "BASIC")});
  const std::string out = Print(true, TOnceFormat::Table);
  const std::string counts = out.substr(out.find("\n\n"));
  EXPECT_EQ(counts,
            "\n\nLicença  Qtde Uso\n"
            "BASIC    1\n"
            "ERP01    2\n"
            "3 sessões\n")
      << out;
}

TEST_F(OnceReportTest, JsonOfTasksAndEveryHostAnswering) {
  TOnceReport answering({"A=10.0.2.1", "C=10.0.2.3"}, FServers, FServers);
  std::ostringstream out;
  EXPECT_TRUE(answering.Print(false, TOnceFormat::Json, out, FErrors));
  EXPECT_EQ(
      out.str(),
      "[{\"host\":\"A\",\"address\":\"10.0.2.1\",\"connected\":true,\"state\":\"respondendo\","
      "\"cause\":null,\"requestid\":7,"
      "\"cancelled\":false,\"clientdesc\":\"10.0.0.9:5000\",\"requestdesc\":\"app.run\","
      "\"ellapsedtime\":125000,\"elapsedseconds\":125,\"elapsed\":\"2m5s\",\"systemcmd\":false,"
      "\"username\":\"bia\"},"
      "{\"host\":\"C\",\"address\":\"10.0.2.3\",\"connected\":true,\"state\":\"respondendo\","
      "\"cause\":null,\"requestid\":9,"
      "\"cancelled\":false,\"clientdesc\":\"10.0.0.9:5000\",\"requestdesc\":\"rel, "
      "\\\"mensal\\\"\",\"ellapsedtime\":500,\"elapsedseconds\":0.5,\"elapsed\":\"500ms\","
      "\"systemcmd\":false,\"username\":\"Jos\\u00E9\"}]\n");
  EXPECT_EQ(FErrors.str(), "");
}

}  // namespace
}  // namespace quv
