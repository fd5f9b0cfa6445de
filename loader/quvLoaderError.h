#pragma once

#include "platform/Exception.h"

namespace quv {

// A failure of the loader: a file that could not be fetched, checked,
// applied, unpacked or put in place.
class ELoaderError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace quv
