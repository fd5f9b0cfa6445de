#include "app/ServerPane.h"

#include "app/HostConfig.h"
#include "app/ListLook.h"
#include "platform/DateTime.h"

namespace quv {

namespace {

const QColor kSilentColour(160, 0, 0);

std::vector<TColumnDef> HostColumns(int hostWidth) {
  return {{"Host", std::max(hostWidth, 60)},
          {QString::fromUtf8("Endereço"), 130},
          {"Estado", 90},
          {"Causa", 300},
          {"Resposta", 70},
          {QString::fromUtf8("Última resposta"), 130},
          {"Tarefas", 60},
          {"Mais antiga", 80},
          {QString::fromUtf8("Sessões"), 60},
          {QString::fromUtf8("Licenças"), 60}};
}

QString CountText(int32_t count) { return count < 0 ? QString() : QString::number(count); }

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
  switch (column) {
    case 0:
      return ToQString(HostLabel(row.Line));
    case 1:
      return ToQString(HostAddress(row.Line));
    case 2:
      return ToQString(HostStateText(row.Status.State));
    case 3:
      return ToQString(row.Status.Cause);
    case 4:
      return row.Status.RoundTripMs < 0 ? QString()
                                        : QStringLiteral("%1 ms").arg(row.Status.RoundTripMs);
    case 5:
      return row.Status.LastGood == 0 ? QString() : LocaleDateTimeText(row.Status.LastGood);
    case 6:
      return CountText(row.Counts.Tasks);
    case 7:
      return row.Counts.OldestMs <= 0 ? QString() : ToQString(ElapsedText(row.Counts.OldestMs));
    case 8:
      return CountText(row.Counts.Sessions);
    case 9:
      return CountText(row.Counts.Licences);
    default:
      return QString();
  }
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
