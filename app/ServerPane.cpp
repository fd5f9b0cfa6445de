#include "app/ServerPane.h"

#include "app/HostConfig.h"
#include "app/ListLook.h"
#include "platform/DateTime.h"

namespace quv {

namespace {

const QColor kSilentColour(160, 0, 0);

std::vector<TColumnDef> HostColumns(int hostWidth) {
  return ColumnsOf(HostColumnTitles(), {std::max(hostWidth, 60), 130, 90, 300, 70, 130, 60, 80, 60, 60});
}

}  // namespace

TServerPane::TServerPane(int hostWidth, QWidget* parent) : QTreeView(parent) {
  FModel = new TRowTableModel<THostRow>(
      HostColumns(hostWidth),
      {[this](const THostRow& row, int column) { return Text(row, column); },
       [this](const THostRow& row, int column) { return SortKey(row, column); },
       [this](const THostRow& row, int role) { return RowRole(row, role); }, nullptr},
      this);
  SetUpTree(this, FModel, FModel->Columns());
}

QString TServerPane::Text(const THostRow& row, int column) const {
  if (column == static_cast<int>(kLastGoodColumn))
    return row.Status.LastGood == 0 ? QString() : LocaleDateTimeText(row.Status.LastGood);
  return ToQString(HostCellText(row, static_cast<std::size_t>(column)));
}

// Numbers sort as numbers; a host still unknown sorts below every number.
QVariant TServerPane::SortKey(const THostRow& row, int column) const {
  switch (column) {
    case 4:
      return qlonglong{row.Status.RoundTripMs};
    case 5:
      return static_cast<qlonglong>(row.Status.LastGood * kMSecsPerDay);
    case 6:
      return qlonglong{row.Counts.Tasks};
    case 7:
      return qlonglong{row.Counts.OldestMs};
    case 8:
      return qlonglong{row.Counts.Sessions};
    case 9:
      return qlonglong{row.Counts.Licences};
    default:
      return Text(row, column);
  }
}

QVariant TServerPane::RowRole(const THostRow& row, int role) const {
  if (role == Qt::ToolTipRole && !row.Status.Cause.empty()) return ToQString(row.Status.Cause);
  if (role == Qt::ForegroundRole && row.Status.State != THostState::Answering)
    return kSilentColour;
  return QVariant();
}

}  // namespace quv
