#include "appserver/quvLocatorAnswer.h"

#include <algorithm>

#include "platform/Cp1252.h"
#include "transport/quvAddress.h"
#include "transport/quvlocatorclient.h"

namespace quv {

TLocatorAnswer::TLocatorAnswer(std::set<std::string> libraries, std::string address,
                               int32_t validityMs)
    : FLibraries(std::move(libraries)),
      FAddress(std::move(address)),
      FValidityMs(std::min(validityMs, kMaxLocatorValidityMs)) {}

std::string TLocatorAnswer::Respond(std::string_view message) const {
  const std::string_view library = RequestedLibrary(message);
  if (library.empty() || FLibraries.count(AnsiLowerCase(library)) == 0) return {};
  std::string answer(kResponseStart);
  answer += library;
  answer += ' ';
  answer += FAddress;
  answer += kMessageEnd;
  return answer + ValiditySuffix();
}

std::string_view TLocatorAnswer::RequestedLibrary(std::string_view message) {
  // The start and end markers must not overlap.
  if (message.size() < kCommandStart.size() + kMessageEnd.size() ||
      !message.starts_with(kCommandStart) || !message.ends_with(kMessageEnd))
    return {};
  std::string_view body = message.substr(
      kCommandStart.size(), message.size() - kCommandStart.size() - kMessageEnd.size());
  if (!body.starts_with(kServerImplementsLibrary)) return {};
  body.remove_prefix(kServerImplementsLibrary.size());
  if (!body.starts_with(' ')) return {};
  body.remove_prefix(1);
  return body.substr(0, body.find(' '));
}

std::string TLocatorAnswer::ValiditySuffix() const {
  if (FValidityMs < 0) return {};
  const std::string digits = std::to_string(FValidityMs);
  return std::string(kValidityTag) + std::string(kValidityDigits - digits.size(), '0') + digits +
         "#";
}

std::string ServerAddressText(const std::string& host, uint16_t port) {
  return port == kDefaultServerPort ? host : host + ":" + std::to_string(port);
}

}  // namespace quv
