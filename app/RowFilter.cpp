#include "app/RowFilter.h"

namespace quv {

TRowFilter::TRowFilter(const QString& text) {
  if (text.size() >= 2 && text.startsWith('/') && text.endsWith('/')) {
    FIsPattern = true;
    FPattern =
        QRegularExpression(text.mid(1, text.size() - 2), QRegularExpression::CaseInsensitiveOption);
  } else {
    FText = text;
  }
}

bool TRowFilter::Matches(const QString& cell) const {
  if (FIsPattern) return !FPattern.isValid() || FPattern.match(cell).hasMatch();
  return cell.contains(FText, Qt::CaseInsensitive);
}

}  // namespace quv
