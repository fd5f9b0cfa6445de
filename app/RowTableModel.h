#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QVariant>
#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "app/ColumnDef.h"
#include "app/RowFilter.h"

namespace quv {

// How the rows of one table look: the cell texts, the key a column sorts by
// (numbers as qlonglong, texts as QString), the other roles of a row (tool
// tip, colours; an invalid QVariant for none), and which rows stay after the
// others whatever the sort (none when null).
template <typename Row>
struct TRowLook {
  std::function<QString(const Row&, int column)> Text;
  std::function<QVariant(const Row&, int column)> SortKey;
  std::function<QVariant(const Row&, int role)> RowRole;
  std::function<bool(const Row&)> SortsLast;
};

// A read-only table of row records for a QTreeView. SetRows replaces the rows
// as a whole; the view shows those that pass the filter (plain terms on the
// text of any column with a width, named fields on any column), in the order
// given or sorted by one column. Every change resets the model, so the view
// loses its focused row: the owner puts it back by the row's identity. UI
// thread only.
template <typename Row>
class TRowTableModel final : public QAbstractTableModel {
 public:
  TRowTableModel(std::vector<TColumnDef> columns, TRowLook<Row> look, QObject* parent)
      : QAbstractTableModel(parent), FColumns(std::move(columns)), FLook(std::move(look)) {}

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(FVisible.size());
  }
  int columnCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(FColumns.size());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    const Row* row = RowAt(index);
    if (!row) return QVariant();
    if (role == Qt::DisplayRole) return FLook.Text(*row, index.column());
    return FLook.RowRole ? FLook.RowRole(*row, role) : QVariant();
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
    return Contains(index) ? &FRows[FVisible[index.row()]] : nullptr;
  }
  // The first view row for which `same` holds, or -1.
  int FindRow(const std::function<bool(const Row&)>& same) const {
    for (std::size_t i = 0; i < FVisible.size(); ++i)
      if (same(FRows[FVisible[i]])) return static_cast<int>(i);
    return -1;
  }
  int SortColumn() const { return FSortColumn; }
  Qt::SortOrder SortOrder() const { return FSortOrder; }

  void SetRows(std::vector<Row> rows) {
    beginResetModel();
    FRows = std::move(rows);
    Rebuild();
    endResetModel();
  }
  void SetFilter(TRowFilter filter) {
    beginResetModel();
    FFilter = std::move(filter);
    Rebuild();
    endResetModel();
  }
  // The rows' texts or looks changed, not the rows themselves.
  void RowsChanged() {
    if (!FVisible.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
  }
  // Column -1: the rows' own order.
  void SetSort(int column, Qt::SortOrder order) {
    beginResetModel();
    FSortColumn = column;
    FSortOrder = order;
    Rebuild();
    endResetModel();
  }

 private:
  bool Contains(const QModelIndex& index) const {
    return index.isValid() && index.row() < static_cast<int>(FVisible.size()) &&
           index.column() < static_cast<int>(FColumns.size());
  }
  void Rebuild() {
    FVisible.clear();
    const TRowMatcher matcher = FFilter.For(FColumns);
    const Row* row = nullptr;
    const std::function<QString(int)> cell = [&](int column) { return FLook.Text(*row, column); };
    for (std::size_t i = 0; i < FRows.size(); ++i) {
      row = &FRows[i];
      if (matcher.Matches(cell)) FVisible.push_back(i);
    }
    if (FSortColumn >= 0) SortVisible();
  }
  // Keys are made once per row, then the rows sorted by them (stable, so that
  // equal keys keep the rows' own order).
  void SortVisible() {
    std::vector<QVariant> keys(FRows.size());
    for (std::size_t i : FVisible) keys[i] = FLook.SortKey(FRows[i], FSortColumn);
    const auto less = [&keys](std::size_t a, std::size_t b) {
      const QVariant& x = keys[a];
      const QVariant& y = keys[b];
      if (x.typeId() == QMetaType::LongLong && y.typeId() == QMetaType::LongLong)
        return x.toLongLong() < y.toLongLong();
      return QString::compare(x.toString(), y.toString(), Qt::CaseInsensitive) < 0;
    };
    if (FSortOrder == Qt::AscendingOrder)
      std::stable_sort(FVisible.begin(), FVisible.end(), less);
    else
      std::stable_sort(FVisible.begin(), FVisible.end(),
                       [&less](std::size_t a, std::size_t b) { return less(b, a); });
    if (FLook.SortsLast)
      std::stable_partition(FVisible.begin(), FVisible.end(),
                            [this](std::size_t i) { return !FLook.SortsLast(FRows[i]); });
  }

  std::vector<TColumnDef> FColumns;
  TRowLook<Row> FLook;
  std::vector<Row> FRows;
  std::vector<std::size_t> FVisible;  // indexes into FRows, in view order
  TRowFilter FFilter;
  int FSortColumn = -1;
  Qt::SortOrder FSortOrder = Qt::AscendingOrder;
};

}  // namespace quv
