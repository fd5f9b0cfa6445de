#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QVariant>
#include <algorithm>
#include <functional>
#include <memory>
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
  const std::vector<Row>& Rows() const { return *FRows; }
  // The record of a view row, or null when the index is not a row.
  const Row* RowAt(const QModelIndex& index) const {
    return Contains(index) ? &(*FRows)[FVisible[index.row()]] : nullptr;
  }
  // The first view row for which `same` holds, or -1.
  int FindRow(const std::function<bool(const Row&)>& same) const {
    for (std::size_t i = 0; i < FVisible.size(); ++i)
      if (same((*FRows)[FVisible[i]])) return static_cast<int>(i);
    return -1;
  }
  int SortColumn() const { return FSortColumn; }
  Qt::SortOrder SortOrder() const { return FSortOrder; }

  void SetRows(std::vector<Row> rows) {
    SetRows(std::make_shared<const std::vector<Row>>(std::move(rows)));
  }
  // Rows shared with their owner, which never changes them.
  void SetRows(std::shared_ptr<const std::vector<Row>> rows) {
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
    for (std::size_t i = 0; i < FRows->size(); ++i) {
      row = &(*FRows)[i];
      if (matcher.Matches(cell)) FVisible.push_back(i);
    }
    if (FSortColumn >= 0) SortVisible();
  }
  // A row's sort key, made once per row: numbers compare as numbers, any
  // other pair as texts without regard to case (folded once, here).
  struct TSortKey {
    bool IsNumber = false;
    qlonglong Number = 0;
    QString Folded;
  };
  static TSortKey KeyOf(const QVariant& key) {
    const bool number = key.typeId() == QMetaType::LongLong;
    return {number, number ? key.toLongLong() : 0, key.toString().toCaseFolded()};
  }
  // The rows sorted by their keys (stable, so that equal keys keep the rows'
  // own order).
  void SortVisible() {
    std::vector<TSortKey> keys(FRows->size());
    for (std::size_t i : FVisible) keys[i] = KeyOf(FLook.SortKey((*FRows)[i], FSortColumn));
    const auto less = [&keys](std::size_t a, std::size_t b) {
      const TSortKey& x = keys[a];
      const TSortKey& y = keys[b];
      if (x.IsNumber && y.IsNumber) return x.Number < y.Number;
      return QString::compare(x.Folded, y.Folded, Qt::CaseSensitive) < 0;
    };
    if (FSortOrder == Qt::AscendingOrder)
      std::stable_sort(FVisible.begin(), FVisible.end(), less);
    else
      std::stable_sort(FVisible.begin(), FVisible.end(),
                       [&less](std::size_t a, std::size_t b) { return less(b, a); });
    if (FLook.SortsLast)
      std::stable_partition(FVisible.begin(), FVisible.end(),
                            [this](std::size_t i) { return !FLook.SortsLast((*FRows)[i]); });
  }

  std::vector<TColumnDef> FColumns;
  TRowLook<Row> FLook;
  std::shared_ptr<const std::vector<Row>> FRows = std::make_shared<const std::vector<Row>>();
  std::vector<std::size_t> FVisible;  // indexes into FRows, in view order
  TRowFilter FFilter;
  int FSortColumn = -1;
  Qt::SortOrder FSortOrder = Qt::AscendingOrder;
};

}  // namespace quv
