#pragma once

#include <exception>
#include <string>

namespace quv {

// The general exception class: a failure with a message text. Every named
// exception class of the project derives from it.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const noexcept { return FMessage; }

 private:
  std::string FMessage;
};

// Raised for a failed operating-system call; the message names the call and
// carries the system's text and code.
class EOSError : public Exception {
 public:
  EOSError(const std::string& call, int code);
  int Code() const noexcept { return FCode; }

 private:
  int FCode;
};

// The system's text for the error code `code`.
std::string SysErrorMessage(int code);

// Raises EOSError for the current errno.
[[noreturn]] void RaiseLastOSError(const std::string& call);

}  // namespace quv
