#include "client/quvClientRecordset.h"

#include <random>
#include <thread>

#include "client/Activities.h"
#include "client/quvCallSeams.h"
#include "client/quvExecCommand.h"
#include "client/quvMainThread.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/FailureGuard.h"
#include "support/MacroCaption.h"
#include "transport/logfiles.h"
#include "transport/quvCallKinds.h"
#include "transport/quvClientCfg.h"

namespace quv {

namespace {

constexpr uint16_t kKeyFlag = 0x0004;
constexpr int32_t kErrorCode = 1;
constexpr const char* kCallLogCategory = "LOG";
constexpr const char* kAsyncUnavailable = "Async execution not avaliable";
// A call waiting in the background looks at its reply at least this often.
constexpr uint32_t kBackgroundSliceMs = 100;

int32_t RandomRequestNumber() {
  thread_local std::mt19937 engine(
      static_cast<uint32_t>(Clock().Nanoseconds()) ^
      static_cast<uint32_t>(std::hash<std::thread::id>()(std::this_thread::get_id())));
  return std::uniform_int_distribution<int32_t>(0, 2147483646)(engine);
}

bool IsListKeyClass(uint8_t callClass) { return callClass == kClassKeyList; }
bool IsKeyedClass(uint8_t callClass) {
  return callClass == kClassParameterKey || callClass == kClassParameterKeyOther ||
         IsListKeyClass(callClass);
}

// The values of the key field over every row of `recordset`.
TVariant KeyValues(TquvRecordset& recordset, int32_t field) {
  TVariant::TItems items;
  for (int32_t row = 0; row < recordset.RecordCount(); ++row) {
    recordset.GoToRow(row);
    items.push_back(recordset.GetFieldValueByIndex(field));
  }
  recordset.First();
  return TVariant::FromArray(std::move(items));
}

// Kind 17: the keys of every row, or of the nested recordset of a nested field.
TVariant KeyList(TquvRecordset& parameters, int32_t field) {
  if (parameters.FieldDefs().Item(field).TypeCode() != 'R') return KeyValues(parameters, field);
  const std::unique_ptr<TquvRecordset> nested =
      parameters.GetNestedRecordset(parameters.FieldDefs().Item(field).Name());
  int32_t nestedField = KeyFieldIndex(*nested);
  if (nestedField < 0) nestedField = nested->FieldIndex("ITEM");
  if (nestedField < 0) return TVariant();
  return KeyValues(*nested, nestedField);
}

}  // namespace

TquvCallTarget SplitCallDefinition(const std::string& definitionText) {
  TquvCallTarget target;
  std::string rest = definitionText;
  if (const std::size_t at = rest.find('@'); at != std::string::npos) {
    target.Host = rest.substr(0, at);
    rest.erase(0, at + 1);
  }
  if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
    target.DataSource = rest.substr(0, colon);
    rest.erase(0, colon + 1);
  }
  target.Method = std::move(rest);
  return target;
}

int32_t KeyFieldIndex(TquvRecordset& recordset) {
  for (int32_t i = 0; i < recordset.FieldCount(); ++i) {
    const TquvSymbolDef& field = recordset.FieldDefs().Item(i);
    if (field.TypeCode() == '+' || (field.Flags() & kKeyFlag) != 0) return i;
  }
  return -1;
}

TquvClientRecordset::TquvClientRecordset() { FHeader.ResultKind = kResultComplete; }

TquvClientRecordset::~TquvClientRecordset() {
  try {
    Detach();
  } catch (const std::exception& e) {
    OutputDebugString(std::string("quvclient: detach failed: ") + e.what());
  }
}

bool TquvClientRecordset::Asynchronous() const { return Option() != 0 && !ClientBrokerContext(); }

void TquvClientRecordset::SetText(std::string value) {
  if (value == Text()) return;
  Detach();
  TquvRecordset::SetText(std::move(value));
}

void TquvClientRecordset::SetOption(uint8_t value) {
  const bool withBroker = static_cast<bool>(ClientBrokerContext());
  if ((value != 0 && !withBroker) != (Option() != 0 && !withBroker)) Detach();
  TquvRecordset::SetOption(value);
}

bool TquvClientRecordset::Eof() {
  if (!FReplyComplete && !FExecuting.load()) return false;
  return TquvRecordset::Eof();
}

void TquvClientRecordset::SetDefinition(const std::string& definitionText) {
  TquvCallTarget target = SplitCallDefinition(definitionText);
  // A definition that cannot be found leaves the call target as it was too.
  TquvRecordset::SetDefinition(target.Method);
  FHost = std::move(target.Host);
  FDataSource = std::move(target.DataSource);
  FMethodName = std::move(target.Method);
}

void TquvClientRecordset::Changed() {
  if (FPendingCalls.load() > 0) return;
  TquvRecordset::Changed();
}

void TquvClientRecordset::Cancel() {
  if (IquvCallQueue* queue = CallQueue()) queue->Cancel(FHeader.RequestNumber);
}

void TquvClientRecordset::SetCallContext(const TquvTagBag* context) {
  FCallContext = context != nullptr ? std::make_unique<TquvTagBag>(*context) : nullptr;
}

void TquvClientRecordset::TakeKey(TquvRecordset& source) {
  const int32_t field = KeyFieldIndex(source);
  if (field < 0) return;
  FKeyFieldName = source.FieldDefs().Item(field).Name();
  FKeyValue =
      IsListKeyClass(FCallClass) ? KeyList(source, field) : source.GetFieldValueByIndex(field);
}

void TquvClientRecordset::Execute(TquvRecordset* parameters) {
  Tags().SetTag(kDefaultDataSourceTag, FDataSource);
  if (parameters != nullptr) {
    if (parameters->RowModified()) {
      if (parameters->RecordCount() == 0)
        parameters->AppendRow();
      else
        parameters->PostRow();
    }
    parameters->First();
    parameters->Tags().Assign(Tags());
  }
  const bool withBroker = static_cast<bool>(ClientBrokerContext());
  FHeader = TquvCommandHeader();
  FHeader.RequestNumber = RandomRequestNumber();
  FHeader.Compression = Compress && !withBroker ? 1 : 0;
  FCallClass = FieldDefs().Kind();
  const std::string qualified = FieldDefs().QualifiedName();
  FOwnerName = qualified.substr(0, qualified.rfind('.'));
  if (parameters != nullptr && IsKeyedClass(FCallClass)) TakeKey(*parameters);
  const uint8_t callKind = RowLimit >= 1 ? kCallRowLimit : kCallPlain;
  SetError(0, "");
  if (OnBeforeExecute) OnBeforeExecute(*this, FHeader, parameters);

  const uint32_t start = Clock().TickCount();
  Log(1, "QUVCLIENT_CALL_START " + Name(), kCallLogCategory);
  const bool queued = Asynchronous();
  auto logEnd = [&] {
    const uint32_t elapsed = Clock().TickCount() - start;
    Log(1, "QUVCLIENT_CALL_END " + Name() + " " + std::to_string(elapsed), kCallLogCategory);
    OutputDebugString("quvclient: Calling " + Name() +
                      (queued ? std::string(" async") : ":" + std::to_string(elapsed)));
  };
  {
    const TFailureGuard logEndOnFailure(logEnd);
    Dispatch(parameters, callKind, withBroker);
  }
  logEnd();
  UpdateRowCount();
}

void TquvClientRecordset::Dispatch(TquvRecordset* parameters, uint8_t callKind, bool withBroker) {
  FHeader.MethodNumber = FieldDefs().Revision();
  FHeader.MethodName = Name().substr(0, TquvCommandHeader::kMethodNameCapacity);
  if (callKind == kCallRowLimit) FHeader.RowCount = RowLimit;
  FExecuting.store(true);
  FPendingCalls.fetch_add(1);
  if (withBroker || (Option() == 0 && !Background)) {
    CallSynchronously(parameters, callKind, withBroker);
    return;
  }
  try {
    Enqueue(parameters, callKind);
  } catch (const Exception& e) {
    // A refused submission is recorded like a failed call and reaches the
    // caller as the queue's own error, not as a remote one.
    Fail(e.what());
    throw;
  }
  if (Option() != 0) return;
  // A background call waits for its reply, keeping the application live.
  while (FPendingCalls.load() >= 1 && MainThread().HandleOneMessage(kBackgroundSliceMs)) {
  }
  Detach();
  RaiseOnFailure();
}

std::string TquvClientRecordset::TaskName() const { return FHeader.MethodName + " em " + FHost; }

void TquvClientRecordset::CallSynchronously(TquvRecordset* parameters, uint8_t callKind,
                                            bool withBroker) {
  int32_t activity = -1;
  if (!withBroker) activity = Activities().Add(TaskName());
  struct TActivityEnd {
    int32_t Id;
    ~TActivityEnd() {
      if (Id >= 0) Activities().Remove(Id);
    }
  } activityEnd{activity};
  TquvCallProgress progress;
  if (activity >= 0)
    progress = [activity](int32_t percent) { Activities().ReportProgress(activity, percent); };
  std::string errorText;
  TquvCommandHeader header = FHeader;
  // The reply loads straight into this recordset.
  ExecCommand(FHost, nullptr, header, progress, *this, errorText, parameters, callKind);
  ApplyReply(header, this, errorText);
  RaiseOnFailure();
}

void TquvClientRecordset::Enqueue(TquvRecordset* parameters, uint8_t callKind) {
  IquvCallQueue* queue = CallQueue();
  if (queue == nullptr) throw Exception(kAsyncUnavailable);
  if (!FAttached) {
    queue->Attach(Text());
    FChannel = Text();
    FAttached = true;
  }
  TquvQueuedCall call;
  call.Recordset = this;
  call.Channel = FChannel;
  call.TaskName = TaskName();
  call.Host = FHost;
  call.CallKind = callKind;
  call.Header = FHeader;
  if (FCallContext) call.Context = std::make_unique<TquvTagBag>(*FCallContext);
  call.FreeOwner = FreeOnDelivery;
  if (parameters != nullptr) {
    call.Parameters = std::make_unique<TquvRecordset>();
    call.Parameters->CopyFrom(*parameters, false, true);
  }
  queue->Enqueue(std::move(call));
}

void TquvClientRecordset::ForgetCall() {
  if (FPendingCalls.fetch_sub(1) == 1) FExecuting.store(false);
}

void TquvClientRecordset::Fail(const std::string& errorText) {
  TquvCommandHeader header = FHeader;
  header.ResultKind = kResultError;
  ApplyReply(header, nullptr, errorText);
}

void TquvClientRecordset::ApplyReply(const TquvCommandHeader& header, TquvRecordset* result,
                                     const std::string& errorText) {
  FApplying = true;
  struct TApplyingEnd {
    bool& Flag;
    ~TApplyingEnd() { Flag = false; }
  } applyingEnd{FApplying};
  FHeader = header;
  const uint8_t kind = header.ResultKind;
  if (kind == kResultError || kind == kResultNothing) {
    FReplyComplete = true;
  } else {
    FReplyComplete = kind == kResultComplete;
    if (result != nullptr && result != this) TakeOver(*result);
    TquvRecordset::Execute(nullptr);
  }
  FExecuting.store(false);
  FPendingCalls.fetch_sub(1);
  if (kind != kResultError && FCallClass == kClassRowKey) {
    UpdateRowCount();
    TakeKey(*this);
  }
  if (kind != kResultError) PublishChange();
  if (kind == kResultError) SetError(kErrorCode, errorText);
  if (OnAfterExecute) OnAfterExecute(*this);
}

void TquvClientRecordset::RaiseOnFailure() {
  if (RaiseErrors && FHeader.ResultKind == kResultError) ReportRemoteError(ErrorText());
}

void TquvClientRecordset::PublishChange() {
  const int32_t operation = OperationOfCallClass(FCallClass);
  if (operation == kNoOperation || ClientBrokerContext()) return;
  if (IquvChangeNotifier* notifier = ChangeNotifier())
    notifier->Publish(FOwnerName, FKeyFieldName, FKeyValue, FCallClass, operation);
}

void TquvClientRecordset::ReportRemoteError(const std::string& text) {
  const std::string expanded = MacroCaption(text, kCaptionWords);
  const std::string message = TquvClientCfg::Debug() ? "Remote Error:" + expanded : expanded;
  SetError(kErrorCode, message);
  throw EquvRemoteError(message);
}

void TquvClientRecordset::Detach() {
  if (!FAttached || ClientBrokerContext()) return;
  // Detaching while this recordset's reply is applied must not wait for the
  // thread that waits for the application.
  if (IquvCallQueue* queue = CallQueue()) queue->Detach(*this, FChannel, !FApplying);
  FAttached = false;
  FChannel.clear();
}

}  // namespace quv
