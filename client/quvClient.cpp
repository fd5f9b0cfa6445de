#include "client/quvClient.h"

#include "client/Activities.h"
#include "client/quvCallSeams.h"
#include "client/quvExecuteThreads.h"
#include "client/quvMainThread.h"

namespace quv {

namespace {

template <class... TFunctions>
struct TOverloaded : TFunctions... {
  using TFunctions::operator()...;
};
// Older compilers do not deduce aggregate template arguments by themselves.
template <class... TFunctions>
TOverloaded(TFunctions...) -> TOverloaded<TFunctions...>;

bool NamesGiven(const std::vector<std::string>& names) {
  return !names.empty() && !(names.size() == 1 && names[0].empty());
}

void SetParameters(TquvRecordset& parameters, const std::vector<std::string>& names,
                   const std::vector<TquvConst>& values) {
  if (NamesGiven(names)) {
    if (names.size() != values.size()) throw Exception("Parameter list and names don't match");
    for (std::size_t i = 0; i < names.size(); ++i)
      parameters.SetFieldValue(names[i], ValueFromConst(i, values));
    return;
  }
  for (std::size_t i = 0; i < values.size(); ++i)
    parameters.SetFieldValueByIndex(static_cast<int32_t>(i), ValueFromConst(i, values));
}

// The registry of execute threads and the notification hub, installed as the
// call queue and the change notifier while they live. The activity list, the
// plain main thread and the thread reaper are made before the unit and go
// after it: tasks freed as it goes remove their activities, and threads that
// do not end in time are handed to the reaper.
class TClientUnit final {
 public:
  TClientUnit() : FHub(TCOMObject::Create<TquvNotifyHub>()) {
    FThreads = std::make_unique<TquvExecuteThreads>();
    SetCallQueue(FThreads.get());
    SetChangeNotifier(FHub.Get());
  }
  ~TClientUnit() {
    if (ChangeNotifier() == FHub.Get()) SetChangeNotifier(nullptr);
    if (CallQueue() == FThreads.get()) SetCallQueue(nullptr);
    // Replies still waiting for the main thread are refused, so that no
    // execute thread waits for a main thread that has stopped taking them.
    PlainMainThread().Close();
    FThreads.reset();
  }
  TquvNotifyHub& Hub() const { return *FHub; }

 private:
  TRef<TquvNotifyHub> FHub;
  std::unique_ptr<TquvExecuteThreads> FThreads;
};

constinit TProcessSlot<TClientUnit> gUnit("client unit");

}  // namespace

std::unique_ptr<TScopePart> MakeClientUnit() { return gUnit.Make(); }

TquvNotifyHub& NotifyHub() { return gUnit->Hub(); }

TVariant TquvConst::ToVariant() const {
  return std::visit(TOverloaded{
                        [](int32_t value) { return TVariant(value); },
                        [](bool value) { return TVariant(value); },
                        [](char value) { return TVariant(std::string(1, value)); },
                        [](double value) { return TVariant(value); },
                        [](const std::string& value) {
                          return value.empty() ? TVariant::Null() : TVariant(value);
                        },
                        [](TquvCurrency value) { return TVariant::FromCurrency(value.Scaled); },
                        [](const TVariant& value) { return value; },
                    },
                    FValue);
}

TVariant ValueFromConst(size_t index, const std::vector<TquvConst>& values) {
  if (index >= values.size())
    throw Exception("Parameter " + std::to_string(index) + " out of the list of " +
                    std::to_string(values.size()));
  return values[index].ToVariant();
}

void ExecMethod(const std::string& method, const std::vector<std::string>& names,
                const std::vector<TquvConst>& values, std::unique_ptr<TquvClientRecordset>& result,
                const std::string& host) {
  result.reset();
  TquvRecordset parameters("", SplitCallDefinition(method).Method);
  SetParameters(parameters, names, values);
  parameters.AppendRow();
  auto call = std::make_unique<TquvClientRecordset>();
  call->RaiseErrors = true;
  call->SetDefinition(method);
  // The host given here replaces one the definition names, also when empty.
  call->SetHost(host);
  call->CacheBlobs = true;
  call->Execute(&parameters);
  result = std::move(call);
}

bool ExecMethodValues(const std::string& method, const std::vector<std::string>& names,
                      const std::vector<TquvConst>& values, TVariant& row,
                      const std::string& host) {
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod(method, names, values, reply, host);
  TVariant::TItems items(static_cast<std::size_t>(reply->FieldCount()));
  const bool hasRow = reply->RecordCount() > 0;
  if (hasRow) {
    reply->First();
    for (int32_t i = 0; i < reply->FieldCount(); ++i) items[i] = reply->GetFieldValueByIndex(i);
  }
  row = TVariant::FromArray(std::move(items));
  return hasRow;
}

}  // namespace quv
