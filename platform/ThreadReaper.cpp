#include "platform/ThreadReaper.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace quv {

namespace {

class TThreadReaper final {
 public:
  ~TThreadReaper() { JoinAll(); }

  void Keep(std::unique_ptr<TThread> thread) {
    std::vector<std::unique_ptr<TThread>> ended;
    {
      std::lock_guard<std::mutex> guard(FLock);
      const auto running = std::partition(FThreads.begin(), FThreads.end(),
                                          [](const auto& kept) { return !kept->Finished(); });
      ended.assign(std::make_move_iterator(running), std::make_move_iterator(FThreads.end()));
      FThreads.erase(running, FThreads.end());
      FThreads.push_back(std::move(thread));
    }
    // Freed outside the lock: freeing joins, which an ended thread passes at once.
  }

  void JoinAll() {
    std::vector<std::unique_ptr<TThread>> all;
    {
      std::lock_guard<std::mutex> guard(FLock);
      all.swap(FThreads);
    }
    all.clear();  // each thread's destructor joins it
  }

  std::size_t Count() {
    std::lock_guard<std::mutex> guard(FLock);
    return FThreads.size();
  }

 private:
  std::mutex FLock;
  std::vector<std::unique_ptr<TThread>> FThreads;
};

constinit TProcessSlot<TThreadReaper> gReaper("thread reaper");

TThreadReaper& Reaper() { return *gReaper; }

}  // namespace

std::unique_ptr<TScopePart> MakeThreadReaper() { return gReaper.Make(); }

void HandOverThread(std::unique_ptr<TThread> thread) { Reaper().Keep(std::move(thread)); }

void JoinHandedOverThreads() { Reaper().JoinAll(); }

std::size_t HandedOverThreads() { return Reaper().Count(); }

}  // namespace quv
