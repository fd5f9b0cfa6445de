#pragma once

#include <cstdint>

// The codes a call carries in its command header, the classes of the methods
// it calls and the status of a call through the broker bridge.
namespace quv {

// Result kind (header byte 116): what follows a reply's header.
inline constexpr uint8_t kResultIncomplete = 0;  // a recordset follows, more rows exist
inline constexpr uint8_t kResultComplete = 1;    // the whole recordset follows
inline constexpr uint8_t kResultError = 2;       // an error text follows
inline constexpr uint8_t kResultNothing = 3;     // nothing follows

// Call kind (header byte 117), chosen by the caller. Kind 2 sends no
// parameters recordset; kinds 1 and 2 ask for kListedRowCount rows at a time.
inline constexpr uint8_t kCallPlain = 0;
inline constexpr uint8_t kCallListed = 1;
inline constexpr uint8_t kCallListedWithoutParameters = 2;
inline constexpr uint8_t kCallRowLimit = 3;  // the header's row count is the limit
inline constexpr int32_t kListedRowCount = 30;

// A method's call class (the kind code of its definition set): the classes
// that change data and publish a change notice.
inline constexpr uint8_t kClassRowKey = 1;             // keyed by the reply's current row
inline constexpr uint8_t kClassParameterKey = 2;       // keyed by a parameter value
inline constexpr uint8_t kClassParameterKeyOther = 3;  // keyed by a parameter value
inline constexpr uint8_t kClassKeyList = 17;           // keyed by a key field over many rows

// Status of a call through the broker bridge.
inline constexpr uint8_t kBrokerFailed = 2;  // the output is an error text

}  // namespace quv
