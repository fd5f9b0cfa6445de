#pragma once

#include <QFont>
#include <QString>
#include <string_view>
#include <vector>

#include "app/RowTableModel.h"

class QAbstractItemModel;
class QTreeView;

// How the window's lists look, whichever list: the font, readable selection
// colours, grid lines, and texts converted for display.
namespace quv {

// Windows-1252 bytes as text.
QString ToQString(std::string_view cp1252);

// Tahoma 8 pt, or the nearest sans-serif face the machine has.
QFont WindowFont();

// The locale's short date and time, with the year in four digits; empty for
// a value that is no valid date-time.
QString LocaleDateTimeText(double value);

// Shows `model` in `tree` as a list of rows: whole-row extended selection,
// grid lines, movable and resizable columns of the given widths, sort
// indicators (the models sort; the header only asks them).
void SetUpTree(QTreeView* tree, QAbstractItemModel* model, const std::vector<TColumnDef>& columns);

}  // namespace quv
