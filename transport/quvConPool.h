#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/ProcessSlot.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "transport/quvClientConn.h"
#include "transport/quvScktComp.h"

namespace quv {

// How long an item waits for its connect, in ms.
inline constexpr int32_t kItemConnectWaitMs = 60000;
// The idle limit per address of the default pool.
inline constexpr int32_t kDefaultIdleLimit = 4;
// The idle items a pool keeps in all, when no cap is given: no bound.
inline constexpr int32_t kNoIdleCap = INT32_MAX;
// The default pool keeps at most one idle item per this many open files the
// process may have, leaving the rest to the calls in flight and to files.
inline constexpr int32_t kOpenFilesPerIdleItem = 4;
// The checker's wake-up, sweep period and the idle time after which it closes an item, in ms.
inline constexpr uint32_t kCheckerWakeUpMs = 200;
inline constexpr uint32_t kCheckerPeriodMs = 7000;
inline constexpr uint32_t kIdleCloseMs = 10000;

// One pooled connection to a server address. Its pool guards the use count
// and the owner; the socket is used by the owner thread only.
class TConnectionItem final {
 public:
  TConnectionItem(std::string address, bool exclusive);
  // Sends "QUVC" and closes the socket.
  ~TConnectionItem();
  TConnectionItem(const TConnectionItem&) = delete;
  TConnectionItem& operator=(const TConnectionItem&) = delete;

  const std::string& Address() const { return FAddress; }
  bool Exclusive() const { return FExclusive; }
  TClientSocket& Socket() { return FSocket; }

  // Connects unless connected, with no-delay and linger 0; logs the outcome
  // and re-raises a failure.
  void Open();
  // Closes and reopens the socket; errors of both are ignored.
  void Reset();

 private:
  friend class TConnectionPool;

  // The host name if set, else the numeric address.
  const std::string& HostText() const;

  std::string FAddress;  // exactly as requested
  bool FExclusive;
  TClientSocket FSocket;
  int32_t FUseCount = 1;      // 0: idle
  std::thread::id FOwner;     // none when idle
  uint32_t FLastRelease = 0;  // tick count
  std::list<TConnectionItem*>::iterator FIdlePosition;  // in the pool's idle list, or its end
};

// The number of pool items for one address.
struct TAddressItems {
  int32_t Count = 0;
};

// Keeps open connections per server address and reuses idle ones: up to the
// idle limit per address stay open after release, and no more than the idle
// cap in all, the least recently released idle item being closed to make
// room. Exclusive items are never shared and are closed on release.
// Thread-safe; registers itself in the process-wide pool list for the
// checker while it lives.
class TConnectionPool final {
 public:
  explicit TConnectionPool(int32_t idleLimit = kDefaultIdleLimit, int32_t idleCap = kNoIdleCap);
  ~TConnectionPool();
  TConnectionPool(const TConnectionPool&) = delete;
  TConnectionPool& operator=(const TConnectionPool&) = delete;

  // An item for `address`, connected, in use by the calling thread; null when
  // the pool is closed. A failed connect removes a fresh item and re-raises.
  TConnectionItem* Acquire(const std::string& address, bool exclusive);
  void Release(TConnectionItem* item);

  // Interrupts the socket of every item in use: calls waiting on one end at
  // once as on a lost connection, and cannot connect it again. Such items are
  // closed on release, never kept idle.
  void InterruptInUse();
  // The same for the items in use by the thread `owner` only.
  void InterruptUsedBy(std::thread::id owner);

  void SetIdleLimit(int32_t idleLimit);
  // Sets the cap on idle items in all; items idle beyond it are closed at once.
  void SetIdleCap(int32_t idleCap);
  int32_t IdleCap();
  void SetClosed(bool closed);
  int32_t ItemCount();
  int32_t IdleCount();
  // The number of items for `address` (compared without regard to case).
  int32_t AddressCount(const std::string& address);
  // Removes every idle item released more than kIdleCloseMs before `passStart`.
  void RemoveIdleItems(uint32_t passStart);

 private:
  // Case-insensitive by the Windows-1252 letters.
  struct TAddressLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using TItems = std::unordered_map<const TConnectionItem*, std::unique_ptr<TConnectionItem>>;

  TConnectionItem* TakeIdle(const std::string& address);
  TConnectionItem* AddNew(const std::string& address, bool exclusive);
  void MakeIdle(TConnectionItem* item);
  // Takes `item` out of the idle list and the idle index.
  void LeaveIdle(TConnectionItem* item);
  // Closes the least recently released idle items beyond the idle cap.
  void EvictBeyondCap();
  // Closes and frees `item`, idle or not.
  void Remove(TConnectionItem* item);
  // Opens `item`; a failure removes it and passes on.
  void OpenOrRemove(TConnectionItem* item);

  TCriticalSection FLock;  // guards everything below
  bool FClosed = false;
  TItems FItems;
  // The idle items, least recently released first, and by exact address.
  std::list<TConnectionItem*> FIdle;
  std::unordered_multimap<std::string, TConnectionItem*> FIdleByAddress;
  int32_t FIdleLimit;
  int32_t FIdleCap;
  std::map<std::string, TAddressItems, TAddressLess> FAddressItems;
};

// The thread that closes idle items of every pool: wakes every 200 ms and
// sweeps when 7000 ms of the platform clock have passed since its last sweep.
// Owned by the pool list, stopped and joined when the list ends.
class TChecker final : public TThread {
 public:
  ~TChecker() override;
  void Stop();
  // The tick at which the last completed sweep started, and their number.
  uint32_t LastPass() const { return FLastPass.load(); }
  uint32_t Passes() const { return FPasses.load(); }

 protected:
  void Execute() override;

 private:
  TEvent FWake;
  std::atomic<uint32_t> FLastPass{0};
  std::atomic<uint32_t> FPasses{0};
};

// Makes the process's list of pools with the checker that sweeps them; the
// checker starts with the first item of any pool and stops when the list ends.
std::unique_ptr<TScopePart> MakePoolList();
// The idle cap for a process that may open `openFiles` files.
int32_t IdleCapForOpenFiles(uint64_t openFiles);
// Makes the process-wide pool (idle limit 4, idle cap from the open-file
// limit in force); needs the pool list.
std::unique_ptr<TScopePart> MakeDefaultPool();
// The process-wide pool.
TConnectionPool& DefaultPool();
// The checker, null until the first item of any pool was created.
TChecker* ConnectionChecker();

// Fills the connection-function table with the default pool's functions.
// The optional library "quvConn" beside the executable is loaded the first
// time; its "GetEnabled" export then decides whether access is allowed.
void InstallConnFunctions();

}  // namespace quv
