#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "client/quvClientRecordset.h"
#include "client/quvNotifyHub.h"
#include "support/Variant.h"

// One-shot remote calls: a method, its parameters by name or by position,
// and the reply as a client recordset or as the values of its first row.
namespace quv {

// A currency value: scaled by kCurrencyScale.
struct TquvCurrency {
  int64_t Scaled = 0;
};

// One value of a call's parameter list.
class TquvConst final {
 public:
  TquvConst(int32_t value) : FValue(value) {}
  TquvConst(bool value) : FValue(value) {}
  TquvConst(char value) : FValue(value) {}
  TquvConst(double value) : FValue(value) {}
  TquvConst(const char* value) : FValue(std::string(value)) {}
  TquvConst(std::string value) : FValue(std::move(value)) {}
  TquvConst(std::string_view value) : FValue(std::string(value)) {}
  TquvConst(TquvCurrency value) : FValue(value) {}
  TquvConst(TVariant value) : FValue(std::move(value)) {}

  // The variant of the same kind; an empty text is null.
  TVariant ToVariant() const;

 private:
  std::variant<int32_t, bool, char, double, std::string, TquvCurrency, TVariant> FValue;
};

// The value at `index` of `values` as a variant; raises for an index outside them.
TVariant ValueFromConst(size_t index, const std::vector<TquvConst>& values);

// Calls `method` on `host`, which replaces a host the definition names (empty:
// the locator's) and returns the reply, which the caller owns. Names and values
// pair up; no names, or a single empty one, set the values by position.
// Raises "Parameter list and names don't match" before sending anything, and
// EquvRemoteError when the call fails.
void ExecMethod(const std::string& method, const std::vector<std::string>& names,
                const std::vector<TquvConst>& values, std::unique_ptr<TquvClientRecordset>& result,
                const std::string& host = "");

// The process's notification hub, installed as the change notifier of every
// call while the client unit lives.
TquvNotifyHub& NotifyHub();

// Makes the client unit: the registry of execute threads (the call queue) and
// the notification hub. Needs the activity list, the plain main thread and
// the thread reaper, which must outlive it.
std::unique_ptr<TScopePart> MakeClientUnit();

// Runs ExecMethod and makes `row` an array of one value per reply field:
// the first row's values and true when the reply has a row, else empty
// values and false.
bool ExecMethodValues(const std::string& method, const std::vector<std::string>& names,
                      const std::vector<TquvConst>& values, TVariant& row,
                      const std::string& host = "");

}  // namespace quv
