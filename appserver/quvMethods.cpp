#include "appserver/quvMethods.h"

#include <chrono>

#include "platform/Cp1252.h"

namespace quv {

bool TCallControl::BeginCall() {
  std::lock_guard<std::mutex> guard(FLock);
  FProbes = 0;
  FCallCancelled = false;
  return !FCancelled;
}

void TCallControl::Cancel() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FCancelled = true;
  }
  FChanged.notify_all();
}

bool TCallControl::Cancelled() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FCancelled;
}

void TCallControl::CancelCall() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FCallCancelled = true;
  }
  FChanged.notify_all();
}

bool TCallControl::CallCancelled() const {
  std::lock_guard<std::mutex> guard(FLock);
  return AnyCancel();
}

void TCallControl::ProbeAnswered() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    ++FProbes;
  }
  FChanged.notify_all();
}

int32_t TCallControl::ProbesAnswered() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FProbes;
}

bool TCallControl::WaitForCancel(uint32_t ms) {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return AnyCancel(); });
}

bool TCallControl::WaitForProbes(int32_t count, uint32_t ms) {
  std::unique_lock<std::mutex> lock(FLock);
  FChanged.wait_for(lock, std::chrono::milliseconds(ms),
                    [&] { return AnyCancel() || FProbes >= count; });
  return FProbes >= count;
}

std::unique_ptr<TquvRecordset> TMethodCall::ParametersRecordset() const {
  auto recordset = std::make_unique<TquvRecordset>("", Header.MethodName);
  recordset->CacheBlobs = true;  // unbounded texts are read by value
  if (!Parameters.empty()) {
    TMemoryStream bytes(Parameters);
    recordset->LoadFromStream(bytes, true);
    recordset->First();
  }
  return recordset;
}

TVariant TMethodCall::Parameter(std::string_view name) const {
  const std::unique_ptr<TquvRecordset> parameters = ParametersRecordset();
  if (parameters->RecordCount() == 0)
    throw Exception(Header.MethodName + " needs the parameter " + std::string(name));
  return parameters->GetFieldValue(name);
}

TMethodResult TMethodResult::Reply(std::vector<uint8_t> recordset, int32_t rowCount) {
  return Reply(std::make_shared<const std::vector<uint8_t>>(std::move(recordset)), rowCount);
}

TMethodResult TMethodResult::Reply(TBytes recordset, int32_t rowCount) {
  TMethodResult result;
  result.Recordset = std::move(recordset);
  result.RowCount = rowCount;
  return result;
}

TMethodResult TMethodResult::Reply(std::unique_ptr<TquvRecordset> rows) {
  TMethodResult result;
  result.RowCount = rows->RecordCount();
  result.Rows = std::move(rows);
  return result;
}

TMethodResult TMethodResult::IncompleteReply(std::vector<uint8_t> recordset, int32_t rowCount) {
  TMethodResult result = Reply(std::move(recordset), rowCount);
  result.Incomplete = true;
  return result;
}

TMethodResult TMethodResult::Error(std::string text) {
  TMethodResult result;
  result.Failed = true;
  result.ErrorText = std::move(text);
  return result;
}

void TMethodRegistry::Register(std::string_view name, TMethodHandler handler) {
  FHandlers[AnsiLowerCase(name)] = std::move(handler);
}

const TMethodHandler* TMethodRegistry::Find(std::string_view name) const {
  const auto found = FHandlers.find(AnsiLowerCase(name));
  return found == FHandlers.end() ? nullptr : &found->second;
}

TMethodResult TMethodRegistry::Run(const TMethodCall& call) const {
  const std::string& method = call.Header.MethodName;
  const TMethodHandler* handler = Find(method);
  if (handler == nullptr)
    return TMethodResult::Error(std::string("Método desconhecido: "_cp) + method);
  try {
    return (*handler)(call);
  } catch (const std::exception& e) {
    return TMethodResult::Error(e.what());
  } catch (...) {
    return TMethodResult::Error(std::string("Falha desconhecida em "_cp) + method);
  }
}

std::set<std::string> TMethodRegistry::Libraries() const {
  std::set<std::string> libraries;
  for (const auto& entry : FHandlers) {
    const std::size_t dot = entry.first.find('.');
    if (dot != std::string::npos && dot > 0) libraries.insert(entry.first.substr(0, dot));
  }
  return libraries;
}

}  // namespace quv
