#include "app/RemoteCalls.h"

#include "client/quvClient.h"
#include "server/common/quvIntfRegistry.h"
#include "transport/quvClientCfg.h"

namespace quv {

namespace {

constexpr int32_t kRefreshCallTimeoutMs = 500;

// A client recordset read row by row. It ends after the last row the reply
// holds: a reply that is not complete never reaches Eof by itself, and the
// viewer's loops would then run for ever.
class TRecordsetReply final : public IReplyRows {
 public:
  explicit TRecordsetReply(std::unique_ptr<TquvClientRecordset> rows) : FRows(std::move(rows)) {
    FRows->First();
  }
  bool Eof() const override { return FRows->RecNo() >= FRows->RecordCount() || FRows->Eof(); }
  void Next() override { FRows->Next(); }
  std::string FieldText(const std::string& name) const override {
    return FRows->GetFieldValue(name).ToText();
  }

 private:
  std::unique_ptr<TquvClientRecordset> FRows;
};

}  // namespace

void TClientRemoteCalls::PrepareRefresh() {
  SetUpdatesOff(true);
  TquvClientCfg::SetTimeout(kRefreshCallTimeoutMs);
}

int32_t TClientRemoteCalls::RefreshCallTimeoutMs() const { return kRefreshCallTimeoutMs; }

std::unique_ptr<IReplyRows> TClientRemoteCalls::ExecMethod(const std::string& method,
                                                           const std::string& host) {
  std::unique_ptr<TquvClientRecordset> rows;
  quv::ExecMethod(method, {}, {}, rows, host);
  return std::make_unique<TRecordsetReply>(std::move(rows));
}

void TClientRemoteCalls::ExecMethodValues(const std::string& method, const std::string& paramName,
                                          const std::string& paramValue, const std::string& host) {
  TVariant row;
  quv::ExecMethodValues(method, {paramName}, {paramValue}, row, host);
}

}  // namespace quv
