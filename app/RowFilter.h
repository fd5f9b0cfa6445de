#pragma once

#include <QRegularExpression>
#include <QString>

namespace quv {

// The filter box's text as a test on cell texts: text written /re/ is a
// regular expression, anything else is looked for as it stands; both without
// regard to case. An empty text keeps every row; so does an expression that
// does not compile (IsValid says so).
class TRowFilter final {
 public:
  TRowFilter() = default;
  explicit TRowFilter(const QString& text);

  bool IsEmpty() const { return FText.isEmpty() && !FIsPattern; }
  bool IsValid() const { return !FIsPattern || FPattern.isValid(); }
  bool Matches(const QString& cell) const;

 private:
  QString FText;
  bool FIsPattern = false;
  QRegularExpression FPattern;
};

}  // namespace quv
