#pragma once

#include <QFont>
#include <QHeaderView>
#include <QString>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/QtText.h"
#include "app/RowTableModel.h"

class QAbstractItemModel;
class QTabWidget;
class QTreeView;

// How the window's lists look, whichever list: the font, readable selection
// colours, grid lines, and texts converted for display.
namespace quv {

// Tahoma 8 pt, or the nearest sans-serif face the machine has.
QFont WindowFont();

// The locale's short date and time, with the year in four digits; empty for
// a value that is no valid date-time.
QString LocaleDateTimeText(double value);

// The Host columns' width: enough for the longest host label of `hosts`;
// 0 (hidden) for a single host.
int HostColumnWidth(const std::vector<std::string>& hosts);

// The two tabs of the lists: "Tarefas" with the task tree, "Usuários" with
// the session tree and the licence tree beside it.
struct TListPages {
  QTabWidget* Pages;
  QTreeView* Tasks;
  QTreeView* Sessions;
  QTreeView* Licences;
};
TListPages BuildListPages(QWidget* parent);

// Shows `model` in `tree` as a list of rows: whole-row extended selection,
// grid lines, movable and resizable columns of the given widths, sort
// indicators (the models sort; the header only asks them).
void SetUpTree(QTreeView* tree, QAbstractItemModel* model, const std::vector<TColumnDef>& columns);

// The header of `tree` sorts its list: a click on a column calls `clicked`;
// the header's menu offers the default order (`reset`) and shows or hides
// columns. The indicator starts on `defaultColumn`.
void SetUpHeaderMenu(QTreeView* tree, int defaultColumn,
                     const std::function<void(QHeaderView*, int column)>& clicked,
                     const std::function<void()>& reset);

// SetUpHeaderMenu for `model`: a click sorts by the column (again: the other
// way), the change run through `keepFocus`.
template <typename Row>
void SetUpHeaderSorting(QTreeView* tree, TRowTableModel<Row>* model, int defaultColumn,
                        const std::function<void(const std::function<void()>&)>& keepFocus,
                        const std::function<void()>& reset) {
  SetUpHeaderMenu(
      tree, defaultColumn,
      [model, keepFocus](QHeaderView* header, int column) {
        const Qt::SortOrder order =
            model->SortColumn() == column && model->SortOrder() == Qt::AscendingOrder
                ? Qt::DescendingOrder
                : Qt::AscendingOrder;
        header->setSortIndicator(column, order);
        keepFocus([&] { model->SetSort(column, order); });
      },
      reset);
}

}  // namespace quv
