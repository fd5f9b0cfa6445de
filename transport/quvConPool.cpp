#include "transport/quvConPool.h"

#include <algorithm>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "platform/DynamicLibrary.h"
#include "platform/FailureGuard.h"
#include "platform/OpenFileLimit.h"
#include "transport/logfiles.h"

namespace quv {

namespace {

constexpr const char* kLogCategory = "QUVCLIENT";
// The bytes that tell the server a pooled connection is being discarded.
constexpr char kCloseSignature[4] = {'Q', 'U', 'V', 'C'};
// How long a discarded connection may take to accept the close signature, in ms.
constexpr int32_t kFarewellWaitMs = 1000;

void LogClient(const std::string& text) { Log(1, text, kLogCategory); }

using TGetEnabled = bool();

// The optional outside library that may switch server access off.
struct TConnLibrary {
  TDynamicLibrary Library;
  TGetEnabled* GetEnabled = nullptr;
};

// Every pool alive, for the checker, and the checker from its start until
// the list ends, when it is stopped and joined first; the outside library,
// loaded on first use. Lock order: this list, then a pool.
struct TPoolList {
  std::once_flag ConnLibraryLoaded;
  TConnLibrary ConnLibrary;
  TCriticalSection Lock;
  std::vector<TConnectionPool*> Pools;  // guarded by Lock
  std::mutex CheckerLock;
  std::unique_ptr<TChecker> Checker;  // guarded by CheckerLock
  ~TPoolList() {
    if (Checker) Checker->Stop();
  }
};

constinit TProcessSlot<TPoolList> gPoolList("connection pool list");
constinit TProcessSlot<TConnectionPool> gDefaultPool("default connection pool");

TPoolList& PoolList() { return *gPoolList; }

void StartChecker() {
  TPoolList& list = PoolList();
  std::lock_guard<std::mutex> guard(list.CheckerLock);
  if (list.Checker) return;
  list.Checker = std::make_unique<TChecker>();
  list.Checker->Start();
}

void SweepAllPools(uint32_t passStart) {
  TPoolList& list = PoolList();
  std::lock_guard<TCriticalSection> guard(list.Lock);
  for (TConnectionPool* pool : list.Pools) pool->RemoveIdleItems(passStart);
}

std::atomic<bool> gPoolEnabled{true};

TConnHandle PoolOpen(const std::string& address, bool exclusive) {
  return gPoolEnabled.load() ? DefaultPool().Acquire(address, exclusive) : nullptr;
}

void PoolClose(TConnHandle handle) { DefaultPool().Release(handle); }

int32_t PoolWrite(TConnHandle handle, const void* buffer, int32_t count) {
  return handle->Socket().Socket().SendBuf(buffer, count);
}

// Linux reads directly with the socket's wait, like the NT family.
int32_t PoolRead(TConnHandle handle, void* buffer, int32_t count) {
  return handle->Socket().Socket().ReceiveBuf(buffer, count);
}

int32_t PoolSetTimeout(TConnHandle handle, int32_t ms) {
  TClientWinSocket& socket = handle->Socket().Socket();
  const int32_t old = socket.Timeout();
  socket.SetTimeout(ms);
  return old;
}

void PoolReset(TConnHandle handle) { handle->Reset(); }

void PoolSetSize(int32_t idleLimit) { DefaultPool().SetIdleLimit(idleLimit); }

void PoolSetEnabled(bool enabled) { gPoolEnabled.store(enabled); }

bool PoolGetEnabled() { return gPoolEnabled.load(); }

const TConnLibrary& ConnLibrary() {
  TPoolList& list = PoolList();
  std::call_once(list.ConnLibraryLoaded, [&list] {
    list.ConnLibrary.Library =
        TDynamicLibrary::Load(LibraryFileNameBesideExecutable("quvConn.dll"));
    if (list.ConnLibrary.Library.Loaded())
      list.ConnLibrary.GetEnabled = list.ConnLibrary.Library.Function<TGetEnabled>("GetEnabled");
  });
  return list.ConnLibrary;
}

}  // namespace

TConnectionItem::TConnectionItem(std::string address, bool exclusive)
    : FAddress(std::move(address)), FExclusive(exclusive) {
  SetServerAddress(FSocket, FAddress);
  FSocket.SetConnectTimeout(kItemConnectWaitMs);
}

TConnectionItem::~TConnectionItem() {
  TClientWinSocket& socket = FSocket.Socket();
  try {
    socket.SetTimeout(kFarewellWaitMs);
    socket.SendBuf(kCloseSignature, sizeof kCloseSignature);
  } catch (const std::exception&) {
    // The peer is gone already; closing is all that is left.
  }
  socket.Close();
}

const std::string& TConnectionItem::HostText() const {
  return FSocket.Host().empty() ? FSocket.Address() : FSocket.Host();
}

void TConnectionItem::Open() {
  LogClient("OPENING_SOCKET TO " + HostText());
  try {
    TClientWinSocket& socket = FSocket.Socket();
    if (!socket.Connected()) {
      FSocket.Open();
      if (socket.Connected()) {
        socket.SetNoDelay(true);
        socket.SetLinger(true, 0);  // closing resets the connection at once
      }
    }
  } catch (const std::exception& error) {
    LogClient("OPENING_SOCKET_ERROR TO " + HostText() + ":" + error.what());
    throw;
  }
  LogClient("OPENING_SOCKET_SUCCESS TO " + HostText());
}

void TConnectionItem::Reset() {
  try {
    FSocket.Close();
  } catch (const std::exception&) {
  }
  try {
    Open();
  } catch (const std::exception&) {
    // The next read or write reports the dead connection.
  }
}

bool TConnectionPool::TAddressLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(AnsiUpperChar(x)) <
           static_cast<unsigned char>(AnsiUpperChar(y));
  });
}

TConnectionPool::TConnectionPool(int32_t idleLimit, int32_t idleCap)
    : FIdleLimit(idleLimit), FIdleCap(idleCap) {
  TPoolList& list = PoolList();
  std::lock_guard<TCriticalSection> guard(list.Lock);
  list.Pools.push_back(this);
}

TConnectionPool::~TConnectionPool() {
  {
    TPoolList& list = PoolList();
    std::lock_guard<TCriticalSection> guard(list.Lock);
    list.Pools.erase(std::find(list.Pools.begin(), list.Pools.end(), this));
  }
  std::lock_guard<TCriticalSection> guard(FLock);
  FIdle.clear();
  FIdleByAddress.clear();
  FItems.clear();
  FAddressItems.clear();
}

TConnectionItem* TConnectionPool::Acquire(const std::string& address, bool exclusive) {
  LogClient("CONNECTION_POOL_START");
  TConnectionItem* item;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    if (FClosed) return nullptr;
    if (!exclusive) {
      if (TConnectionItem* idle = TakeIdle(address)) {
        OpenOrRemove(idle);
        return idle;
      }
    }
    item = AddNew(address, exclusive);
  }
  StartChecker();
  OpenOrRemove(item);
  return item;
}

TConnectionItem* TConnectionPool::TakeIdle(const std::string& address) {
  const auto found = FIdleByAddress.find(address);
  if (found == FIdleByAddress.end()) return nullptr;
  TConnectionItem* item = found->second;
  LeaveIdle(item);
  item->FUseCount = 1;
  item->FOwner = std::this_thread::get_id();
  return item;
}

TConnectionItem* TConnectionPool::AddNew(const std::string& address, bool exclusive) {
  auto item = std::make_unique<TConnectionItem>(address, exclusive);
  TConnectionItem* added = item.get();
  added->FLastRelease = Clock().TickCount();
  added->FOwner = std::this_thread::get_id();
  added->FIdlePosition = FIdle.end();
  ++FAddressItems[address].Count;
  FItems.emplace(added, std::move(item));
  return added;
}

void TConnectionPool::OpenOrRemove(TConnectionItem* item) {
  const TFailureGuard remove([this, item] {
    std::lock_guard<TCriticalSection> guard(FLock);
    Remove(item);
  });
  item->Open();
}

void TConnectionPool::Release(TConnectionItem* item) {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (!FItems.contains(item) || --item->FUseCount >= 1) return;
  if (!item->FExclusive && !item->FSocket.Socket().Interrupted() &&
      FAddressItems[item->FAddress].Count <= FIdleLimit) {
    MakeIdle(item);
    EvictBeyondCap();
  } else {
    Remove(item);
  }
}

void TConnectionPool::MakeIdle(TConnectionItem* item) {
  item->FLastRelease = Clock().TickCount();
  item->FOwner = std::thread::id();
  item->FIdlePosition = FIdle.insert(FIdle.end(), item);
  FIdleByAddress.emplace(item->FAddress, item);
}

void TConnectionPool::LeaveIdle(TConnectionItem* item) {
  FIdle.erase(item->FIdlePosition);
  item->FIdlePosition = FIdle.end();
  auto [position, end] = FIdleByAddress.equal_range(item->FAddress);
  while (position->second != item) ++position;
  FIdleByAddress.erase(position);
}

void TConnectionPool::EvictBeyondCap() {
  while (static_cast<int64_t>(FIdle.size()) > FIdleCap) Remove(FIdle.front());
}

void TConnectionPool::InterruptInUse() {
  std::lock_guard<TCriticalSection> guard(FLock);
  for (const auto& [key, item] : FItems)
    if (item->FUseCount > 0) item->FSocket.Socket().Interrupt();
}

void TConnectionPool::InterruptUsedBy(std::thread::id owner) {
  std::lock_guard<TCriticalSection> guard(FLock);
  for (const auto& [key, item] : FItems)
    if (item->FUseCount > 0 && item->FOwner == owner) item->FSocket.Socket().Interrupt();
}

void TConnectionPool::Remove(TConnectionItem* item) {
  if (item->FIdlePosition != FIdle.end()) LeaveIdle(item);
  const auto entry = FAddressItems.find(item->FAddress);
  if (--entry->second.Count <= 0) FAddressItems.erase(entry);
  FItems.erase(item);
}

void TConnectionPool::RemoveIdleItems(uint32_t passStart) {
  std::lock_guard<TCriticalSection> guard(FLock);
  for (auto position = FIdle.begin(); position != FIdle.end();) {
    TConnectionItem* item = *position++;
    // Signed: an item released after the pass started is not old.
    const auto idleFor = static_cast<int32_t>(passStart - item->FLastRelease);
    if (idleFor <= static_cast<int32_t>(kIdleCloseMs)) continue;
    Remove(item);
    OutputDebugString("Deleteing connpool item, remaining:" + std::to_string(FItems.size()));
  }
}

void TConnectionPool::SetIdleLimit(int32_t idleLimit) {
  std::lock_guard<TCriticalSection> guard(FLock);
  FIdleLimit = idleLimit;
}

void TConnectionPool::SetIdleCap(int32_t idleCap) {
  std::lock_guard<TCriticalSection> guard(FLock);
  FIdleCap = idleCap;
  EvictBeyondCap();
}

int32_t TConnectionPool::IdleCap() {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FIdleCap;
}

void TConnectionPool::SetClosed(bool closed) {
  std::lock_guard<TCriticalSection> guard(FLock);
  FClosed = closed;
}

int32_t TConnectionPool::ItemCount() {
  std::lock_guard<TCriticalSection> guard(FLock);
  return static_cast<int32_t>(FItems.size());
}

int32_t TConnectionPool::IdleCount() {
  std::lock_guard<TCriticalSection> guard(FLock);
  return static_cast<int32_t>(FIdle.size());
}

int32_t TConnectionPool::AddressCount(const std::string& address) {
  std::lock_guard<TCriticalSection> guard(FLock);
  const auto entry = FAddressItems.find(address);
  return entry == FAddressItems.end() ? 0 : entry->second.Count;
}

TChecker::~TChecker() { Stop(); }

void TChecker::Stop() {
  Terminate();
  FWake.SetEvent();
  WaitFor();
}

void TChecker::Execute() {
  FLastPass.store(Clock().TickCount());
  while (!Terminated()) {
    FWake.WaitFor(kCheckerWakeUpMs);
    const uint32_t now = Clock().TickCount();
    if (Terminated() || now - FLastPass.load() < kCheckerPeriodMs) continue;
    SweepAllPools(now);
    FLastPass.store(now);
    FPasses.fetch_add(1);
  }
}

std::unique_ptr<TScopePart> MakePoolList() { return gPoolList.Make(); }

int32_t IdleCapForOpenFiles(uint64_t openFiles) {
  return static_cast<int32_t>(
      std::clamp<uint64_t>(openFiles / kOpenFilesPerIdleItem, 1, static_cast<uint64_t>(kNoIdleCap)));
}

std::unique_ptr<TScopePart> MakeDefaultPool() {
  return gDefaultPool.Make(kDefaultIdleLimit, IdleCapForOpenFiles(OpenFileSoftLimit()));
}

TConnectionPool& DefaultPool() { return *gDefaultPool; }

TChecker* ConnectionChecker() {
  TPoolList& list = PoolList();
  std::lock_guard<std::mutex> guard(list.CheckerLock);
  return list.Checker.get();
}

void InstallConnFunctions() {
  TConnFunctions functions;
  functions.Open = PoolOpen;
  functions.Close = PoolClose;
  functions.Write = PoolWrite;
  functions.Read = PoolRead;
  functions.SetTimeout = PoolSetTimeout;
  functions.Reset = PoolReset;
  functions.SetPoolSize = PoolSetSize;
  functions.SetEnabled = PoolSetEnabled;
  functions.GetEnabled =
      ConnLibrary().GetEnabled != nullptr ? ConnLibrary().GetEnabled : PoolGetEnabled;
  SetConnFunctions(functions);
}

}  // namespace quv
