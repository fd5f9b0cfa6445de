#include "app/TerminalViewer.h"

#include <algorithm>

#include "app/RecordReader.h"
#include "app/TerminalDisplay.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"

namespace quv {

namespace {

constexpr uint32_t kStatusTickMs = 1000;  // the countdown in the status line
constexpr std::string_view kPaused = " · pausado: a lista não muda (Espaço continua)"_cp;
constexpr std::string_view kNextRefresh = " · próxima atualização em "_cp;
constexpr std::string_view kRefreshing = " · atualizando"_cp;
constexpr std::string_view kNotLogged = " (não foi possível gravar em "_cp;
constexpr std::string_view kNoInstant =
    "' não é um instante (aaaa-mm-dd hh:nn[:ss], hh:nn[:ss], -30m)"_cp;
constexpr std::string_view kHistoryAt = "Histórico em "_cp;
constexpr std::string_view kHistoryKeys = " (somente leitura; Esc volta)"_cp;
constexpr std::string_view kNoRecording = "Sem gravação: "_cp;
constexpr std::string_view kRecordingStopped = "Gravação parada: "_cp;

}  // namespace

TTerminalViewer::TTerminalViewer(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe)
    : FCalls(calls),
      FProbe(probe),
      FHostTable(config.Hosts.size()),
      FAuditLog(config.AuditLogFile.empty() ? TCancelAuditLog::DefaultFileName()
                                            : config.AuditLogFile),
      FRecordFile(config.RecordFile),
      FFoldNoConnection(config.FoldNoConnection),
      FView(config.Hosts, config.FoldNoConnection),
      FScreen(config.Hosts, config.WarnSeconds, config.AlertSeconds, !config.RecordFile.empty()),
      FWait(TInputWait::kStandardInput) {
  if (FRecordFile.empty()) return;
  try {
    FRecorder = std::make_unique<TRecorder>(FRecordFile);
  } catch (const ERecorderError& e) {
    FScreen.ShowMessage(std::string(kNoRecording) + Utf8ToCp1252(e.what()), TLineStyle::Failed);
  }
}

TTerminalViewer::~TTerminalViewer() {
  for (TRefreshSlot& refresh : FRefreshes) refresh.Worker->Terminate();
  FRefreshes.clear();  // joins every refresh and the calls it still runs
}

void TTerminalViewer::Run() {
  TTerminalDisplay display;
  FWait.WakeOnStopSignals();
  StartRefresh();
  for (;;) {
    TakeDeliveries();
    TakeOutcomes();
    if (FTimerActive && TickHasCome(Clock().TickCount(), FDue)) {
      FTimerActive = false;
      FSchedule.CountdownEnded();
      StartRefresh();
    }
    UpdateStatus();
    display.Draw(FScreen.Render(display.Width(), display.Height()));
    if (!FWait.Wait(WaitMs()) || FWait.StopRequested()) return;
    while (const std::optional<int> key = display.NextKey())
      if (Handle(*key)) return;
  }
}

// True when the operator quits.
bool TTerminalViewer::Handle(int key) {
  switch (FScreen.OnKey(key)) {
    case TScreenCommand::Quit:
      return true;
    case TScreenCommand::Refresh:
      StartRefresh();
      break;
    case TScreenCommand::TogglePause:
      FSchedule.SetPaused(!FSchedule.Paused(), RefreshesInFlight() > 0);
      FollowSchedule(false);
      break;
    case TScreenCommand::ListChanged:
      FSchedule.TabChanged(FScreen.List() == TTerminalScreen::TList::Tasks
                               ? TRefreshSchedule::TTab::Tasks
                               : TRefreshSchedule::TTab::Sessions);
      StartRefresh();
      break;
    case TScreenCommand::Navigated:
      FollowSchedule(FScreen.List() == TTerminalScreen::TList::Tasks ? FSchedule.Clicked()
                                                                     : FSchedule.Scrolled());
      break;
    case TScreenCommand::Cancel:
      SubmitCancels();
      break;
    case TScreenCommand::History:
      ShowHistory(FScreen.TakeInstantText());
      break;
    case TScreenCommand::LeaveHistory:
      FScreen.LeaveHistory();
      ShowLive();
      break;
    case TScreenCommand::None:
      break;
  }
  return false;
}

// The countdown as the window runs its timer.
void TTerminalViewer::FollowSchedule(bool restart) {
  if (restart || !FSchedule.Running()) FTimerActive = false;
  if (FSchedule.Running() && !FTimerActive) {
    FTimerActive = true;
    FDue = Clock().TickCount() + static_cast<uint32_t>(FSchedule.Interval());
  }
}

uint32_t TTerminalViewer::WaitMs() const {
  if (!FTimerActive) return kStatusTickMs;
  const uint32_t now = Clock().TickCount();
  return TickHasCome(now, FDue) ? 0 : std::min(FDue - now, kStatusTickMs);
}

void TTerminalViewer::StartRefresh() {
  FSchedule.RefreshStarted();
  FollowSchedule(false);
  std::erase_if(FRefreshes, [](const TRefreshSlot& refresh) {
    return refresh.Shown && refresh.Worker->Finished();
  });
  auto worker = std::make_unique<TRefreshT>(FCalls, FProbe, FHostWorkers, FHostTable);
  worker->SetMethodName(std::string(
      FScreen.List() == TTerminalScreen::TList::Tasks ? TaskListMethod() : SessionListMethod()));
  for (const std::string& host : FView.Hosts()) worker->AddIP(host);
  // Runs on the worker thread, which reads the replies into rows there.
  worker->SetOnDone([this](TRefreshT& done) {
    TFleetRead read = FView.Read(done);
    {
      std::lock_guard<std::mutex> guard(FLock);
      FDelivered.push_back({&done, std::move(read)});
    }
    FWait.Wake();
  });
  FRefreshes.push_back({std::move(worker), false});
  FRefreshes.back().Worker->Start();
}

std::size_t TTerminalViewer::RefreshesInFlight() const {
  return static_cast<std::size_t>(std::count_if(
      FRefreshes.begin(), FRefreshes.end(), [](const TRefreshSlot& slot) { return !slot.Shown; }));
}

void TTerminalViewer::TakeDeliveries() {
  std::vector<TDelivery> delivered;
  {
    std::lock_guard<std::mutex> guard(FLock);
    delivered.swap(FDelivered);
  }
  for (TDelivery& delivery : delivered) ShowRefresh(*delivery.Worker, std::move(delivery.Read));
}

void TTerminalViewer::ShowRefresh(TRefreshT& worker, TFleetRead read) {
  for (TRefreshSlot& refresh : FRefreshes)
    if (refresh.Worker.get() == &worker) refresh.Shown = true;
  bool built = true;
  if (!worker.ErrorText().empty()) {
    FScreen.ShowMessage(worker.ErrorText(), TLineStyle::Failed);
  } else {
    const bool sessions = read.Sessions;
    built = FView.Take(std::move(read));
    if (!built) FScreen.ShowMessage(FView.ReadError(), TLineStyle::Failed);
    if (!FScreen.InHistory()) ShowLive();
    Record(sessions);
  }
  // After an error while rows were built the countdown waits for the operator.
  FSchedule.RefreshShown(built);
  FollowSchedule(false);
}

void TTerminalViewer::ShowLive() {
  FScreen.SetTasks(FView.SharedTasks());
  FScreen.SetSessions(FView.Sessions());
  FScreen.SetHosts(FView.HostRows());
}

// Hands what the refresh showed to the recorder, if any; a recorder that
// failed is named once and the viewer goes on without it.
void TTerminalViewer::Record(bool sessions) {
  if (!FRecorder) return;
  FRecorder->Submit(RefreshToRecord(FView, sessions, Clock().Now()));
  const std::string failure = FRecorder->Failure();
  if (failure.empty()) return;
  FScreen.ShowMessage(std::string(kRecordingStopped) + Utf8ToCp1252(failure), TLineStyle::Failed);
  FRecorder.reset();
}

void TTerminalViewer::SubmitCancels() {
  std::vector<TCancelTarget> targets = FScreen.TakeConfirmedTargets();
  if (targets.empty()) return;
  FScreen.ShowMessage(targets.size() == 1
                          ? "Cancelando " + targets.front().Description
                          : "Cancelando " + std::to_string(targets.size()) + " itens",
                      TLineStyle::Notice);
  FCancels.Submit(std::move(targets), [this](const TCancelOutcome& outcome) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FOutcomes.push_back(outcome);
    }
    FWait.Wake();
  });
}

void TTerminalViewer::TakeOutcomes() {
  std::vector<TCancelOutcome> outcomes;
  {
    std::lock_guard<std::mutex> guard(FLock);
    outcomes.swap(FOutcomes);
  }
  for (const TCancelOutcome& outcome : outcomes) {
    FScreen.CancelEnded(outcome.Target);
    if (FRecorder) FRecorder->SubmitCancel(Clock().Now(), outcome);
    std::string text = OutcomeText(outcome);
    if (!outcome.Logged) text += std::string(kNotLogged) + Utf8ToCp1252(FAuditLog.FileName()) + ")";
    FScreen.ShowMessage(text, outcome.Done() ? TLineStyle::Done : TLineStyle::Failed);
    FollowSchedule(FSchedule.CancelEnded());
  }
}

// Both lists and the servers' states at the instant typed, from the record
// file; read-only, until the operator goes back.
void TTerminalViewer::ShowHistory(const std::string& instant) {
  double when = 0;
  if (!TryTextToDateTime(Cp1252ToUtf8(instant), Clock().Now(), when)) {
    FScreen.ShowMessage("'" + instant + std::string(kNoInstant), TLineStyle::Failed);
    return;
  }
  try {
    const TRecordReader reader(FRecordFile);
    TFleetView history(reader.Hosts(), FFoldNoConnection);
    if (!history.Take(reader.ReadAt(when, false, history)) ||
        !history.Take(reader.ReadAt(when, true, history)))
      throw ERecorderError(history.ReadError());
    FScreen.EnterHistory(std::string(kHistoryAt) +
                         DateTimeToIsoText(reader.AnsweredInstant(when, false)) +
                         std::string(kHistoryKeys));
    FScreen.SetTasks(history.SharedTasks());
    FScreen.SetSessions(history.Sessions());
    FScreen.SetHosts(history.HostRows());
  } catch (const ERecorderError& e) {
    FScreen.ShowMessage(Utf8ToCp1252(e.what()), TLineStyle::Failed);
  }
}

void TTerminalViewer::UpdateStatus() {
  std::string text = AnsweringText(FView.HostRows());
  if (FSchedule.Paused())
    text += kPaused;
  else if (FTimerActive)
    text +=
        std::string(kNextRefresh) +
        std::to_string(
            (std::max<int32_t>(static_cast<int32_t>(FDue - Clock().TickCount()), 0) + 999) / 1000) +
        " s";
  else if (RefreshesInFlight() > 0)
    text += kRefreshing;
  FScreen.SetStatus(text, FSchedule.Paused());
}

}  // namespace quv
