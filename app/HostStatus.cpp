#include "app/HostStatus.h"

#include "platform/Cp1252.h"

namespace quv {

std::string_view HostStateText(THostState state) {
  switch (state) {
    case THostState::Answering:
      return "respondendo";
    case THostState::NoConnection:
      return "sem conexão"_cp;
    case THostState::Error:
      return "erro";
    case THostState::StillWaiting:
      break;
  }
  return "aguardando";
}

std::string_view StillWaitingText() { return "ainda aguardando a resposta do servidor"; }

bool THostCallTable::TryBegin(std::size_t i) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FHosts.at(i).Busy) return false;
  FHosts[i].Busy = true;
  return true;
}

void THostCallTable::End(std::size_t i, const THostStatus& outcome) {
  std::lock_guard<std::mutex> guard(FLock);
  THost& host = FHosts.at(i);
  const double lastGood = host.Last.LastGood;
  host.Last = outcome;
  if (outcome.State != THostState::Answering) host.Last.LastGood = lastGood;
  host.Busy = false;
}

THostStatus THostCallTable::Status(std::size_t i) const {
  std::lock_guard<std::mutex> guard(FLock);
  const THost& host = FHosts.at(i);
  THostStatus status = host.Last;
  if (host.Busy) {
    status.State = THostState::StillWaiting;
    status.Cause = std::string(StillWaitingText());
  }
  return status;
}

}  // namespace quv
