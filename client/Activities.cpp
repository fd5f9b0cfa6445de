#include "client/Activities.h"

#include <mutex>
#include <utility>

#include "platform/Clock.h"

namespace quv {

int32_t TActivityListeners::Add(TActivityListener listener) {
  std::lock_guard lock(FLock);
  auto entries = std::make_shared<TEntries>(*FEntries);
  entries->push_back({FNextToken, std::move(listener)});
  FEntries = std::move(entries);
  return FNextToken++;
}

void TActivityListeners::Remove(int32_t token) {
  std::lock_guard lock(FLock);
  auto entries = std::make_shared<TEntries>(*FEntries);
  std::erase_if(*entries, [token](const TEntry& entry) { return entry.Token == token; });
  FEntries = std::move(entries);
}

void TActivityListeners::Notify(const TActivity& activity) {
  std::lock_guard lock(FLock);
  // The list as it stands now, so that listeners may change it meanwhile.
  const std::shared_ptr<const TEntries> entries = FEntries;
  for (const TEntry& entry : *entries) entry.Listener(activity);
}

int32_t TActivityList::Add(const std::string& name) {
  std::lock_guard lock(FLock);
  const auto id = static_cast<int32_t>(FNextId++);
  const TActivity activity{0, name, Clock().Now(), 0};
  FItems[id] = activity;
  FListeners.Notify(activity);
  return id;
}

void TActivityList::Remove(int32_t id) {
  std::lock_guard lock(FLock);
  auto node = FItems.extract(id);
  if (node.empty()) return;
  TActivity& activity = node.mapped();
  activity.Finished = (activity.Finished & ~0xFF) | 1;
  FListeners.Notify(activity);
}

std::optional<TActivity> TActivityList::Get(int32_t id) {
  std::lock_guard lock(FLock);
  const auto found = FItems.find(id);
  if (found == FItems.end()) return std::nullopt;
  return found->second;
}

void TActivityList::Set(int32_t id, const TActivity& activity) {
  std::lock_guard lock(FLock);
  const auto found = FItems.find(id);
  if (found != FItems.end()) found->second = activity;
  FListeners.Notify(activity);
}

void TActivityList::ReportProgress(int32_t id, int32_t percent) {
  std::lock_guard lock(FLock);
  const auto found = FItems.find(id);
  if (found == FItems.end() || !ProgressWorthStoring(found->second.Progress, percent)) return;
  found->second.Progress = percent;
  const TActivity activity = found->second;
  FListeners.Notify(activity);
}

namespace {

// The list and its listeners, which go after it.
struct TProcessActivities {
  TActivityListeners Listeners;
  TActivityList List{Listeners};
};

constinit TProcessSlot<TProcessActivities> gActivities("activity list");

}  // namespace

std::unique_ptr<TScopePart> MakeActivityList() { return gActivities.Make(); }

TActivityListeners& ActivityListeners() { return gActivities->Listeners; }

TActivityList& Activities() { return gActivities->List; }

bool ProgressWorthStoring(int32_t stored, int32_t percent) {
  return percent >= 100 || int64_t{percent} - stored > 10;
}

}  // namespace quv
