#include "server/common/quvSystemFields.h"

#include "platform/Cp1252.h"

namespace quv {

namespace {

struct TValueType {
  std::string_view Method;
  std::string_view Field;
  char Type;
};

constexpr TValueType kValueTypes[] = {
    {"quvsystem.tasks.list", "requestid", 'N'},
    {"quvsystem.tasks.list", "ellapsedtime", 'N'},
    {"quvsystem.tasks.list", "systemcmd", 'B'},
    {"quvsystem.tasks.list", "cancelled", 'B'},
    {"quvsystem.sessions.list", "creation_time", 'H'},
    {"quvsystem.sessions.list", "active", 'B'},
    {"quvsystem.sessions.watch", "ms", 'N'},
    {"quvsystem.sessions.watch", "active", 'B'},
};

}  // namespace

char QuvSystemValueType(std::string_view method, std::string_view field) {
  for (const TValueType& entry : kValueTypes) {
    if (AnsiCompareText(method, entry.Method) == 0 && AnsiCompareText(field, entry.Field) == 0)
      return entry.Type;
  }
  return 'A';
}

}  // namespace quv
