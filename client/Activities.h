#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProcessSlot.h"
#include "platform/Sync.h"

namespace quv {

// One remote call in progress.
struct TActivity {
  int32_t Finished = 0;  // 0 while running; the low byte becomes 1 when it ends
  std::string Name;
  double StartTime = 0;  // date-time
  int32_t Progress = 0;  // percent
};

using TActivityListener = std::function<void(const TActivity&)>;

// Callbacks told of every change of an activity. Thread-safe; a listener may
// add or remove listeners, which takes effect from the next notification.
// Listeners must not raise.
class TActivityListeners final {
 public:
  // Returns a token for Remove.
  int32_t Add(TActivityListener listener);
  void Remove(int32_t token);
  // Calls every listener in the order they were added, holding the lock.
  void Notify(const TActivity& activity);

 private:
  struct TEntry {
    int32_t Token;
    TActivityListener Listener;
  };
  using TEntries = std::vector<TEntry>;

  TCriticalSection FLock;
  std::shared_ptr<const TEntries> FEntries = std::make_shared<const TEntries>();
  int32_t FNextToken = 0;
};

// The remote calls in progress by id. Ids come from a counter that starts at
// 0 and never repeats one. Every operation holds the list's lock while it
// tells the listeners, so a listener must not wait for another thread that
// uses the list. `listeners` must outlive the list. Thread-safe.
class TActivityList final {
 public:
  explicit TActivityList(TActivityListeners& listeners) : FListeners(listeners) {}

  // Enters a running activity named `name`, started now; returns its id.
  int32_t Add(const std::string& name);
  // Marks the activity finished, tells the listeners and forgets it; an
  // unknown id does nothing.
  void Remove(int32_t id);
  // A copy of the activity; nothing for an unknown id.
  std::optional<TActivity> Get(int32_t id);
  // Replaces the stored activity when the id is known, then tells the
  // listeners of `activity` in any case.
  void Set(int32_t id, const TActivity& activity);
  // A call's progress: stores `percent` and tells the listeners when it is
  // worth storing (ProgressWorthStoring); an unknown id is left alone.
  void ReportProgress(int32_t id, int32_t percent);

 private:
  TActivityListeners& FListeners;
  TCriticalSection FLock;
  std::map<int32_t, TActivity> FItems;
  uint32_t FNextId = 0;
};

// Makes the process-wide listeners and list.
std::unique_ptr<TScopePart> MakeActivityList();
// The process-wide listeners and list.
TActivityListeners& ActivityListeners();
TActivityList& Activities();

// Whether a call's progress of `percent` is worth storing over `stored`:
// more than 10 points past it, or 100 and above.
bool ProgressWorthStoring(int32_t stored, int32_t percent);

}  // namespace quv
