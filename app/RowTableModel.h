#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <functional>
#include <utility>
#include <vector>

namespace quv {

struct TColumnDef {
  QString Title;
  int Width;
};

// A read-only table of row records for a QTreeView: one record per row, the
// cell texts from a callback. The rows are replaced as a whole by SetRows
// (the view loses its focused row, as a cleared tree does). UI thread only.
template <typename Row>
class TRowTableModel final : public QAbstractTableModel {
 public:
  using TCellText = std::function<QString(const Row&, int column)>;

  TRowTableModel(std::vector<TColumnDef> columns, TCellText cellText, QObject* parent)
      : QAbstractTableModel(parent), FColumns(std::move(columns)), FCellText(std::move(cellText)) {}

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(FRows.size());
  }
  int columnCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(FColumns.size());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !Contains(index)) return QVariant();
    return FCellText(FRows[index.row()], index.column());
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= static_cast<int>(FColumns.size()))
      return QVariant();
    return FColumns[section].Title;
  }

  const std::vector<TColumnDef>& Columns() const { return FColumns; }
  const std::vector<Row>& Rows() const { return FRows; }
  // The record of a view row, or null when the index is not a row.
  const Row* RowAt(const QModelIndex& index) const {
    return Contains(index) ? &FRows[index.row()] : nullptr;
  }
  void SetRows(std::vector<Row> rows) {
    beginResetModel();
    FRows = std::move(rows);
    endResetModel();
  }

 private:
  bool Contains(const QModelIndex& index) const {
    return index.isValid() && index.row() < static_cast<int>(FRows.size()) &&
           index.column() < static_cast<int>(FColumns.size());
  }

  std::vector<TColumnDef> FColumns;
  TCellText FCellText;
  std::vector<Row> FRows;
};

}  // namespace quv
