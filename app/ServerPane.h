#pragma once

#include <QTreeView>
#include <string>
#include <vector>

#include "app/FleetView.h"
#include "app/RowTableModel.h"

namespace quv {

// The server pane: one line per server with its state and cause, round
// trip, last good reply, running tasks, oldest task, sessions and licences
// in use. It sorts and filters like the lists. UI thread only.
class TServerPane final : public QTreeView {
 public:
  // `hostWidth`: the width the labels need.
  TServerPane(int hostWidth, QWidget* parent = nullptr);

  TRowTableModel<THostRow>* Model() const { return FModel; }
  void SetRows(const std::vector<THostRow>& rows) { FModel->SetRows(rows); }

 private:
  QString Text(const THostRow& row, int column) const;
  QVariant SortKey(const THostRow& row, int column) const;
  QVariant RowRole(const THostRow& row, int role) const;

  TRowTableModel<THostRow>* FModel;
};

}  // namespace quv
