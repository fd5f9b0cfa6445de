#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quv {

// One reply of a server: a sequence of rows whose fields are read by name as
// text (a null value reads as empty text). Reading a field the reply does
// not have raises an exception. Belongs to one thread at a time.
class IReplyRows {
 public:
  virtual ~IReplyRows() = default;
  virtual bool Eof() const = 0;
  virtual void Next() = 0;
  virtual std::string FieldText(const std::string& name) const = 0;
  // Every field of row `row` (0 is the first) as name and text, in the
  // reply's order; a value that cannot be read gives its error text.
  virtual std::vector<std::pair<std::string, std::string>> RowFields(std::size_t row) const = 0;
};

// What the viewer asks of the remote-call client. ExecMethod may be called
// from several refresh threads at once; failures are exceptions.
class IRemoteCalls {
 public:
  virtual ~IRemoteCalls() = default;
  // Applies the client settings every refresh runs with: a call time-out of
  // 500 ms and interface files used as found, nothing fetched.
  virtual void PrepareRefresh() = 0;
  // The call time-out PrepareRefresh applies, in milliseconds.
  virtual int32_t RefreshCallTimeoutMs() const = 0;
  // Calls `method` without parameters on `host` and returns its reply.
  virtual std::unique_ptr<IReplyRows> ExecMethod(const std::string& method,
                                                 const std::string& host) = 0;
  // Calls `method` with one text parameter on `host`; the reply is not used.
  virtual void ExecMethodValues(const std::string& method, const std::string& paramName,
                                const std::string& paramValue, const std::string& host) = 0;
  // Makes every call of this process that waits on a server fail at once,
  // as on a lost connection, so that the threads making them can be joined.
  virtual void InterruptCallsInFlight() = 0;
};

// Why a call failed, for the operator (Windows-1252): a Portuguese cause,
// with the client's own text in brackets where it adds to it.
std::string CallFailureCause(std::exception_ptr failure);

// The calls through the remote-call client. Thread-safe.
class TClientRemoteCalls final : public IRemoteCalls {
 public:
  void PrepareRefresh() override;
  int32_t RefreshCallTimeoutMs() const override;
  std::unique_ptr<IReplyRows> ExecMethod(const std::string& method,
                                         const std::string& host) override;
  void ExecMethodValues(const std::string& method, const std::string& paramName,
                        const std::string& paramValue, const std::string& host) override;
  void InterruptCallsInFlight() override;
};

}  // namespace quv
