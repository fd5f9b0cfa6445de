// A broker bridge library for the tests: the four exports of a real bridge
// and a context whose fields and call answers the tests set.
#include "tests/kit/bridge/TestBridge.h"

#include <atomic>
#include <mutex>

#include "support/BrokerBridge.h"

namespace {

class TTestContext final : public quv::IquvBrokerContext {
 public:
  explicit TTestContext(const TTestBridgeContext& fields) : FFields(fields) {}

  quv::HResult QueryInterface(const quv::TGUID& iid, void** object) override {
    if (iid == quv::IquvBrokerContext::IID || iid == quv::IInterface::IID) {
      AddRef();
      *object = static_cast<quv::IquvBrokerContext*>(this);
      return quv::kOk;
    }
    *object = nullptr;
    return quv::kNoInterface;
  }
  int32_t AddRef() override { return ++FCount; }
  int32_t Release() override {
    const int32_t count = --FCount;
    if (count == 0) delete this;
    return count;
  }

  void Call(const std::string& method, const std::string& callContext, const std::string& input,
            std::string& output, uint8_t& status) override;
  int32_t Number() override { return FFields.Number; }
  int32_t LogLevel() override { return FFields.LogLevel; }
  int32_t LogMode() override { return FFields.LogMode; }
  std::string LogCategory(int32_t mode) override {
    return mode == 1 ? FFields.Category1 : mode == 2 ? FFields.Category2 : std::string();
  }

 private:
  ~TTestContext() = default;

  const TTestBridgeContext FFields;
  std::atomic<int32_t> FCount{0};
};

std::mutex gLock;
TTestContext* gContext = nullptr;  // holds one reference
std::string gLastMethod;
std::string gLastCallContext;

void Replace(TTestContext* context) {
  if (context != nullptr) context->AddRef();
  std::lock_guard<std::mutex> guard(gLock);
  if (gContext != nullptr) gContext->Release();
  gContext = context;
}

void TTestContext::Call(const std::string& method, const std::string& callContext,
                        const std::string& input, std::string& output, uint8_t& status) {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gLastMethod = method;
    gLastCallContext = callContext;
  }
  output = FFields.EchoInput ? input : FFields.Output;
  status = FFields.EchoInput ? 0 : FFields.Status;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) quv::IquvBrokerContext* GetContext() {
  std::lock_guard<std::mutex> guard(gLock);
  if (gContext == nullptr) return nullptr;
  gContext->AddRef();
  return gContext;
}

__attribute__((visibility("default"))) int32_t GetInServerEnv() { return 1; }

__attribute__((visibility("default"))) void SetContext(quv::IquvBrokerContext*) {}

__attribute__((visibility("default"))) void SetInServerEnv(int32_t) {}

__attribute__((visibility("default"))) void TestBridgeSetContext(const TTestBridgeContext* fields) {
  Replace(fields != nullptr ? new TTestContext(*fields) : nullptr);
}

__attribute__((visibility("default"))) void TestBridgeLastCall(std::string* method,
                                                               std::string* callContext) {
  std::lock_guard<std::mutex> guard(gLock);
  *method = gLastMethod;
  *callContext = gLastCallContext;
}

}  // extern "C"
