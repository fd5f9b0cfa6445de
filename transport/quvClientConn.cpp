#include "transport/quvClientConn.h"

#include <mutex>

#include "platform/Cp1252.h"
#include "platform/Sync.h"
#include "transport/quvConPool.h"

namespace quv {

namespace {

TCriticalSection gFunctionsLock;
TConnFunctions gFunctions;  // guarded by gFunctionsLock

}  // namespace

void SetConnFunctions(const TConnFunctions& functions) {
  std::lock_guard<TCriticalSection> guard(gFunctionsLock);
  gFunctions = functions;
}

TConnFunctions ConnFunctions() {
  std::lock_guard<TCriticalSection> guard(gFunctionsLock);
  return gFunctions;
}

TClientConn::TClientConn(const std::string& address, bool exclusive) {
  InstallConnFunctions();
  FFunctions = ConnFunctions();
  if (!FFunctions.GetEnabled())
    throw Exception(std::string("O acesso ao servidor está desabilitado"_cp));
  FHandle = FFunctions.Open(address, exclusive);
  if (FHandle == nullptr)
    throw Exception(std::string("Não foi possível contectar a "_cp) + address);
}

TClientConn::~TClientConn() { Close(); }

int32_t TClientConn::Read(void* buffer, int32_t count) {
  return FHandle != nullptr ? FFunctions.Read(FHandle, buffer, count) : kConnGone;
}

int32_t TClientConn::Write(const void* buffer, int32_t count) {
  return FHandle != nullptr ? FFunctions.Write(FHandle, buffer, count) : kConnGone;
}

void TClientConn::ResetConnection(int32_t) {
  if (FHandle != nullptr) FFunctions.Reset(FHandle);
}

int32_t TClientConn::SetTimeout(int32_t ms) {
  return FHandle != nullptr ? FFunctions.SetTimeout(FHandle, ms) : 0;
}

void TClientConn::Close() {
  if (FHandle == nullptr) return;
  FFunctions.Close(FHandle);
  FHandle = nullptr;
}

}  // namespace quv
