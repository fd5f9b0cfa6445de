#pragma once

#include <QString>
#include <QVariant>

class QWidget;

namespace quv {

// The look of the window an operator arranged, kept per user between runs:
// window geometry, column widths, order and visibility with the sort
// indicator of each list (the header's own state), pane sizes and
// visibility, the open tab and the filter text. Stored as an INI file of its
// own (never the settings file beside the program); an empty file name
// keeps nothing. A file that cannot be read or written is ignored: the
// window then starts with its usual look.
class TViewState final {
 public:
  explicit TViewState(QString fileName) : FFileName(std::move(fileName)) {}

  bool Enabled() const { return !FFileName.isEmpty(); }
  // A value by key; invalid for a key never written.
  QVariant Read(const QString& key) const;
  // Writes every value at once.
  void Write(const QVariantMap& values) const;

 private:
  QString FFileName;
};

}  // namespace quv
