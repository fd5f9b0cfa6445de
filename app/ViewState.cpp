#include "app/ViewState.h"

#include <QSettings>

namespace quv {

QVariant TViewState::Read(const QString& key) const {
  if (!Enabled()) return QVariant();
  return QSettings(FFileName, QSettings::IniFormat).value(key);
}

void TViewState::Write(const QVariantMap& values) const {
  if (!Enabled()) return;
  QSettings settings(FFileName, QSettings::IniFormat);
  for (auto it = values.begin(); it != values.end(); ++it) settings.setValue(it.key(), it.value());
}

}  // namespace quv
