#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/quvClient.h"
#include "client/quvExecCommand.h"
#include "client/quvExecuteThreads.h"
#include "client/quvMainThread.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/Thread.h"
#include "platform/ThreadReaper.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/LoopbackServer.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TestScope.h"
#include "transport/quvClientConn.h"

namespace quv {
namespace {

using testing::TServerProcess;

const std::string kCancelledText(std::string_view("A requisição foi cancelada."_cp));

class ExecuteThreads : public ::testing::Test {
 protected:
  TquvExecuteThreads& Threads() { return dynamic_cast<TquvExecuteThreads&>(*CallQueue()); }

  // An asynchronous recordset of quvtest.test.sleep on `channel`.
  std::unique_ptr<TquvClientRecordset> Sleeper(const std::string& channel) {
    auto recordset = std::make_unique<TquvClientRecordset>();
    recordset->SetDefinition(FServer.Address() + "@quvtest.test.sleep");
    recordset->SetText(channel);
    recordset->SetOption(1);
    return recordset;
  }

  static void Sleep(TquvClientRecordset& recordset, int32_t ms) {
    TquvRecordset parameters("", "quvtest.test.sleep");
    parameters.SetFieldValue("ms", TVariant(ms));
    recordset.Execute(&parameters);
  }

  // Handles the main thread's messages until none of `recordsets` executes.
  static void ApplyReplies(std::initializer_list<TquvClientRecordset*> recordsets) {
    for (TquvClientRecordset* recordset : recordsets)
      while (recordset->Executing()) ASSERT_TRUE(MainThread().HandleOneMessage(100));
  }

  // Returns once the server lists `requestNumber` among its running requests.
  void WaitUntilRunning(int32_t requestNumber) {
    for (int attempt = 0; attempt < 10000; ++attempt) {
      std::unique_ptr<TquvClientRecordset> tasks;
      ExecMethod("quvsystem.tasks.list", {}, {}, tasks, FServer.Address());
      for (int32_t row = 0; row < tasks->RecordCount(); ++row) {
        tasks->GoToRow(row);
        if (tasks->GetFieldValue("requestid").ToText() == std::to_string(requestNumber)) return;
      }
      std::this_thread::yield();
    }
    FAIL() << "request " << requestNumber << " never ran";
  }

  // Cancels `requestNumber` on the server directly.
  void CancelOnServer(int32_t requestNumber) {
    TVariant row;
    ExecMethodValues("quvsystem.tasks.cancel", {""}, {std::to_string(requestNumber)}, row,
                     FServer.Address());
  }

  TServerProcess FServer;
};

TEST_F(ExecuteThreads, AHundredCallsWaitAndTheNextIsRefusedWhileTheServerCancelsTheCarriedOne) {
  auto carried = Sleeper("cheio");
  Sleep(*carried, 600000);
  WaitUntilRunning(carried->Header().RequestNumber);
  std::vector<std::unique_ptr<TquvClientRecordset>> waiting;
  for (int32_t i = 0; i < 100; ++i) {
    waiting.push_back(Sleeper("cheio"));
    Sleep(*waiting.back(), i % 2);
    ASSERT_EQ(waiting.back()->ErrorText(), "") << i;
  }
  EXPECT_EQ(Threads().Find("cheio")->Waiting(), 100u);
  auto refused = Sleeper("cheio");
  const std::string full("Não é possível enfileirar mais tarefas, pois não há mais espaço"_cp);
  EXPECT_EQ(testing::MessageOf([&] { Sleep(*refused, 0); }), full);
  EXPECT_EQ(refused->ErrorText(), full);
  EXPECT_FALSE(refused->Executing());

  carried->Cancel();  // the server is asked to cancel the request it runs
  ApplyReplies({carried.get()});
  EXPECT_EQ(carried->ErrorText(), kCancelledText);
  for (const auto& recordset : waiting) ApplyReplies({recordset.get()});
  EXPECT_EQ(waiting[98]->GetFieldValue("ms").ToInteger(), 0);
  EXPECT_EQ(waiting[99]->GetFieldValue("ms").ToInteger(), 1);
  EXPECT_EQ(waiting[99]->ErrorText(), "");
}

// A recordset that reports its own end.
class TWatchedRecordset final : public TquvClientRecordset {
 public:
  explicit TWatchedRecordset(bool& freed) : FFreed(freed) {}
  ~TWatchedRecordset() override { FFreed = true; }

 private:
  bool& FFreed;
};

TEST_F(ExecuteThreads, ARecordsetMarkedToBeFreedIsFreedOnceItsReplyIsApplied) {
  bool freed = false;
  bool applied = false;
  auto* recordset = new TWatchedRecordset(freed);
  recordset->SetDefinition(FServer.Address() + "@quvtest.test.sleep");
  recordset->SetText("livre");
  recordset->SetOption(1);
  recordset->FreeOnDelivery = true;
  recordset->OnAfterExecute = [&](TquvClientRecordset& sender) {
    EXPECT_EQ(sender.GetFieldValue("ms").ToInteger(), 1);
    applied = true;
  };
  Sleep(*recordset, 1);
  while (!applied) ASSERT_TRUE(MainThread().HandleOneMessage(100));
  EXPECT_TRUE(freed);
  EXPECT_EQ(Threads().Find("livre"), nullptr);
}

TEST_F(ExecuteThreads, CarryCallsOneStepBelowTheCallersPriority) {
  std::atomic<int> carriedAt{0};
  SetCallConnFactory([&](const std::string& host) {
    carriedAt.store(CurrentThreadNice());
    return std::make_unique<TClientConn>(host, false);
  });
  auto recordset = Sleeper("baixa");
  Sleep(*recordset, 0);
  ApplyReplies({recordset.get()});
  SetCallConnFactory({});
  EXPECT_EQ(recordset->ErrorText(), "");
  EXPECT_EQ(carriedAt.load(), std::min(CurrentThreadNice() + 1, kLowestThreadNice));
}

TEST_F(ExecuteThreads, RecordsetsOfOneChannelShareItsThreadUntilBothAreGone) {
  auto first = Sleeper("partilhado");
  auto second = Sleeper("partilhado");
  std::vector<std::thread::id> appliedOn;
  first->OnAfterExecute = [&](TquvClientRecordset&) {
    appliedOn.push_back(std::this_thread::get_id());
  };
  Sleep(*first, 0);
  Sleep(*second, 1);
  TquvExecuteThread* thread = Threads().Find("partilhado");
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(thread->References, 2);
  ApplyReplies({first.get(), second.get()});
  EXPECT_EQ(appliedOn, std::vector<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(second->GetFieldValue("ms").ToInteger(), 1);

  first.reset();
  EXPECT_EQ(Threads().Find("partilhado"), thread);
  EXPECT_EQ(thread->References, 1);
  const std::size_t handedOver = HandedOverThreads();
  second.reset();  // stops the thread and waits for it
  EXPECT_EQ(Threads().Find("partilhado"), nullptr);
  EXPECT_EQ(HandedOverThreads(), handedOver);
}

TEST_F(ExecuteThreads, ASecondCallCancelsTheFirstWhetherWaitingOrRunning) {
  auto blocker = Sleeper("vez");
  Sleep(*blocker, 600000);
  WaitUntilRunning(blocker->Header().RequestNumber);
  auto calls = Sleeper("vez");
  int32_t applied = 0;
  calls->OnAfterExecute = [&](TquvClientRecordset&) { ++applied; };
  Sleep(*calls, 1);
  Sleep(*calls, 2);  // the first still waits: it is skipped
  EXPECT_EQ(calls->PendingCalls(), 1);
  blocker->Cancel();
  ApplyReplies({blocker.get(), calls.get()});
  EXPECT_EQ(applied, 1);
  EXPECT_EQ(calls->GetFieldValue("ms").ToInteger(), 2);

  Sleep(*calls, 600000);
  const int32_t running = calls->Header().RequestNumber;
  WaitUntilRunning(running);
  Sleep(*calls, 3);  // the first runs on, and its reply is not applied
  CancelOnServer(running);
  ApplyReplies({calls.get()});
  EXPECT_EQ(applied, 2);
  EXPECT_EQ(calls->ErrorText(), "");
  EXPECT_EQ(calls->GetFieldValue("ms").ToInteger(), 3);
  EXPECT_EQ(calls->PendingCalls(), 0);
}

// Each channel with a call counts as a busy sender until its queue is worked
// off; a count left behind would keep hand-overs from spinning for good.
TEST_F(ExecuteThreads, AChannelCountsAsBusyWhileItWorksOffItsQueue) {
  auto first = Sleeper("ocupado1");
  auto second = Sleeper("ocupado2");
  Sleep(*first, 600000);
  WaitUntilRunning(first->Header().RequestNumber);
  EXPECT_EQ(TBusySender::Count(), 1);
  Sleep(*second, 600000);
  WaitUntilRunning(second->Header().RequestNumber);
  EXPECT_EQ(TBusySender::Count(), 2);
  CancelOnServer(first->Header().RequestNumber);
  CancelOnServer(second->Header().RequestNumber);
  ApplyReplies({first.get(), second.get()});
  const auto patience = std::chrono::steady_clock::now() + testing::kLoopbackPatience;
  while (TBusySender::Count() != 0 && std::chrono::steady_clock::now() < patience)
    std::this_thread::yield();
  EXPECT_EQ(TBusySender::Count(), 0);
}

TEST_F(ExecuteThreads, AWaitingCallCancelledByItsNumberFailsAndStopsExecuting) {
  auto blocker = Sleeper("fila");
  Sleep(*blocker, 600000);
  WaitUntilRunning(blocker->Header().RequestNumber);
  auto waiting = Sleeper("fila");
  Sleep(*waiting, 0);
  waiting->Cancel();
  blocker->Cancel();
  ApplyReplies({blocker.get(), waiting.get()});
  EXPECT_EQ(waiting->ErrorText(), "Erro chamando quvtest.test.sleep:" + kCancelledText);
  EXPECT_EQ(waiting->RecordCount(), 0);
  EXPECT_EQ(waiting->PendingCalls(), 0);
}

TEST_F(ExecuteThreads, ARecordsetLeavingItsThreadWhileItsReplyIsAppliedDoesNotWaitForIt) {
  auto recordset = Sleeper("solto");
  recordset->OnAfterExecute = [](TquvClientRecordset& sender) { sender.SetText("outro"); };
  Sleep(*recordset, 0);
  ApplyReplies({recordset.get()});
  EXPECT_EQ(Threads().Find("solto"), nullptr);
  EXPECT_EQ(recordset->Text(), "outro");
  JoinHandedOverThreads();
  EXPECT_EQ(HandedOverThreads(), 0u);
}

TEST_F(ExecuteThreads, BackgroundCallsWaitForTheirReplyAndRaiseItsError) {
  TquvClientRecordset background;
  background.Background = true;
  background.RaiseErrors = true;
  background.SetDefinition(FServer.Address() + "@quvtest.test.sleep");
  Sleep(background, 5);
  EXPECT_FALSE(background.Executing());
  EXPECT_EQ(background.GetFieldValue("ms").ToInteger(), 5);
  EXPECT_EQ(Threads().Find(""), nullptr);  // released once the reply came

  background.SetDefinition(FServer.Address() + "@quvtest.test.fail");
  TquvRecordset parameters("", "quvtest.test.fail");
  parameters.SetFieldValue("message", TVariant("falhou"));
  EXPECT_EQ(testing::MessageOf<EquvRemoteError>([&] { background.Execute(&parameters); }),
            "falhou");
}

// Releasing the last recordset of a channel stops its thread; the call it
// carries would deliver nothing, so it is cut off instead of being waited for
// (the release waits up to 60000 ms of the clock, which stands still here).
TEST_F(ExecuteThreads, AStoppedThreadsCallIsCutOffAndTheThreadEndsAtOnce) {
  testing::TestManualClock();
  auto blocker = Sleeper("lento");
  Sleep(*blocker, 600000);
  WaitUntilRunning(blocker->Header().RequestNumber);
  blocker.reset();
  EXPECT_EQ(HandedOverThreads(), 0u);
}

TEST(PlainMainThread, RunsSentJobsOnItsThreadAndRefusesThemOnceClosed) {
  TquvPlainMainThread mainThread;
  EXPECT_TRUE(mainThread.IsMainThread());
  std::thread::id ranOn;
  bool sent = false;
  std::thread sender([&] { sent = mainThread.Send([&] { ranOn = std::this_thread::get_id(); }); });
  while (ranOn == std::thread::id()) ASSERT_TRUE(mainThread.HandleOneMessage(100));
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // Whether the job waits already or comes later, Close refuses it.
  std::thread refused([&] { sent = mainThread.Send([] { ADD_FAILURE() << "ran after Close"; }); });
  mainThread.Close();
  refused.join();
  EXPECT_FALSE(sent);
  EXPECT_FALSE(mainThread.HandleOneMessage(0));
}

// Senders that queue behind one another sleep, the first one spins: each job
// runs once on the main thread, and a job that raises releases its sender and
// raises on the main thread, where it ran.
TEST(PlainMainThread, ManySendersEachGetTheirJobRunOnce) {
  TquvPlainMainThread mainThread;
  constexpr int kSenders = 6;
  constexpr int kJobsEach = 50;
  std::atomic<int> ran{0};
  std::atomic<int> accepted{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int j = 0; j < kJobsEach; ++j) {
        try {
          if (mainThread.Send([&] {
                if (!mainThread.IsMainThread()) ADD_FAILURE() << "ran off the main thread";
                ++ran;
                if ((s + j) % 7 == 0) throw Exception("job failed");
              }))
            ++accepted;
        } catch (const Exception&) {
          ADD_FAILURE() << "a job's error reached its sender";
        }
      }
    });
  }
  int raised = 0;
  while (ran.load() < kSenders * kJobsEach) {
    try {
      ASSERT_TRUE(mainThread.HandleOneMessage(100));
    } catch (const Exception&) {
      ++raised;
    }
  }
  for (std::thread& sender : senders) sender.join();
  EXPECT_EQ(ran.load(), kSenders * kJobsEach);
  int failing = 0;
  for (int s = 0; s < kSenders; ++s)
    for (int j = 0; j < kJobsEach; ++j) failing += (s + j) % 7 == 0 ? 1 : 0;
  EXPECT_EQ(raised, failing);
  EXPECT_EQ(accepted.load(), kSenders * kJobsEach);
}

}  // namespace
}  // namespace quv
