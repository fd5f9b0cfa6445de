#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "app/CancelRunner.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/FileIo.h"
#include "tests/app/FakeServers.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

TCancelTarget TaskOn(const std::string& hostLine, std::size_t host, int32_t id) {
  TTaskRow row;
  row.RequestId = id;
  row.RequestDesc = "app.run";
  row.UserName = "ana";
  row.HostLine = hostLine;
  row.Host = host;
  return TaskCancelTarget(row);
}

// The outcomes a runner hands over, as the window would collect them.
struct TOutcomes {
  std::mutex Lock;
  std::condition_variable Arrived;
  std::vector<TCancelOutcome> List;

  TCancelRunner::TOnOutcome Handler() {
    return [this](const TCancelOutcome& outcome) {
      std::lock_guard<std::mutex> guard(Lock);
      List.push_back(outcome);
      Arrived.notify_all();
    };
  }
  void AwaitCount(std::size_t count) {
    std::unique_lock<std::mutex> lock(Lock);
    Arrived.wait(lock, [&] { return List.size() >= count; });
  }
};

TEST(CancelRunner, AHeldServerHoldsUpOnlyItsOwnCancelAndClosingEndsIt) {
  TTempFolder folder;
  testing::TFakeServers servers;
  TCancelAuditLog log(folder.Path() + "/log/cancelamentos.log");
  TOutcomes outcomes;
  servers.HoldCalls("10.0.0.1");
  servers.SetCancelError("Erro chamando quvsystem.tasks.cancel:recusado");
  {
    TCancelRunner runner(servers, log);
    runner.Submit({TaskOn("A=10.0.0.1", 0, 7), TaskOn("B=10.0.0.2", 1, 8)}, outcomes.Handler());
    outcomes.AwaitCount(1);  // B's answer arrives while A's cancel waits
    EXPECT_EQ(outcomes.List[0].Target.ParamValue, "8");
    EXPECT_EQ(outcomes.List[0].Cause, "Erro chamando quvsystem.tasks.cancel:recusado");
    EXPECT_EQ(runner.InFlight(), 1u);
  }  // closing interrupts A's cancel and joins it
  EXPECT_GE(servers.Interrupts(), 1);
  ASSERT_EQ(outcomes.List.size(), 2u);
  const std::string text = ReadWholeFile(log.FileName());
  EXPECT_NE(text.find("\tB\t10.0.0.2\ttarefa\t8\tfalha: Erro chamando"), std::string::npos) << text;
  EXPECT_NE(text.find("\tA\t10.0.0.1\ttarefa\t7\t"), std::string::npos) << text;
}

TEST(CancelAuditLog, OneTabSeparatedUtf8LinePerCancel) {
  TSessionRow session;
  session.SessionKey = "0123abcd";
  session.UserName = std::string("José"_cp);
  session.HostLine = std::string("Produção=10.0.0.5"_cp);
  session.Source = "WS-12";
  const TCancelOutcome refused{SessionCancelTarget(session),
                               std::string("o servidor não respondeu\ta tempo"_cp)};
  EXPECT_EQ(AuditLine(EncodeDateTime({2026, 12, 10, 15, 4, 5, 0}), "rui", refused),
            "2026-12-10 15:04:05\trui\tProdução\t10.0.0.5\tsessão\t0123abcd\t"
            "falha: o servidor não respondeu a tempo");
  EXPECT_EQ(ConfirmationText({refused.Target}),
            std::string("Cancelar a sessão de José em Produção (10.0.0.5), estação WS-12?"_cp));
}

}  // namespace
}  // namespace quv
