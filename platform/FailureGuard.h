#pragma once

#include <exception>
#include <utility>

namespace quv {

// Runs a clean-up when the scope that holds the guard is left by an exception,
// and not when it is left normally: a catch (...) { cleanUp(); throw; } without
// the catch. The clean-up runs while the exception unwinds, so it must not
// throw. Counts exceptions in flight, so a guard made in a destructor that
// runs during unwinding still tells its own scope's failure from the outer one.
template <class F>
class [[nodiscard]] TFailureGuard final {
 public:
  explicit TFailureGuard(F cleanUp)
      : FCleanUp(std::move(cleanUp)), FExceptionsBefore(std::uncaught_exceptions()) {}
  ~TFailureGuard() {
    if (std::uncaught_exceptions() > FExceptionsBefore) FCleanUp();
  }
  TFailureGuard(const TFailureGuard&) = delete;
  TFailureGuard& operator=(const TFailureGuard&) = delete;

 private:
  F FCleanUp;
  int FExceptionsBefore;
};

}  // namespace quv
