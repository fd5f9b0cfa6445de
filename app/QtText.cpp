#include "app/QtText.h"

#include "platform/Cp1252.h"

namespace quv {

QString ToQString(std::string_view cp1252) { return QString::fromStdString(Cp1252ToUtf8(cp1252)); }

}  // namespace quv
