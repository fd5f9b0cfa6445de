#pragma once

#include <QTreeWidget>

#include "app/TaskRows.h"

namespace quv {

// Every field of the focused task or session, also those the lists have no
// column for: one line per field, name and value, in the reply's order.
// Empty, with a hint, when no row is focused. UI thread only.
class TDetailsPane final : public QTreeWidget {
 public:
  explicit TDetailsPane(QWidget* parent = nullptr);

  // Shows `fields` of the row described by `title` (null: nothing focused).
  void ShowFields(const QString& title, const TReplyFields& fields);
  void Clear();
};

}  // namespace quv
