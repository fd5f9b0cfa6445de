#include "app/RowLooks.h"

#include <QColor>
#include <QFont>
#include <QStringList>
#include <memory>

#include "app/CancelTargets.h"
#include "app/HostConfig.h"
#include "app/ListLook.h"
#include "platform/DateTime.h"

namespace quv {

namespace {

const QColor kWarnColour(255, 214, 110);
const QColor kAlertColour(255, 150, 150);

QString TaskText(const TTaskLookContext& context, const TTaskRow& row, int column) {
  if (column == 0 && CanCancel(row) && context.BeingCancelled(row))
    return QStringLiteral("cancelando");
  return ToQString(TaskCellText(row, static_cast<std::size_t>(column)));
}

QVariant TaskRole(const TTaskLookContext& context, const TTaskRow& row, int role) {
  if (role == Qt::ToolTipRole && row.FoldedHosts > 0) return SilentHostsText(context.HostRows());
  if (role == Qt::ToolTipRole && row.NoConnection) {
    const THostStatus& status = context.HostRows().at(row.Host).Status;
    return ToQString(HostDescription(row.HostLine)) + ": " + ToQString(status.Cause);
  }
  if (role == Qt::FontRole && CanCancel(row) && context.BeingCancelled(row)) {
    QFont font = WindowFont();
    font.setItalic(true);
    return font;
  }
  const TTaskAge age = TaskAge(row, context.WarnSeconds, context.AlertSeconds);
  if (age == TTaskAge::Normal) return QVariant();
  if (role == Qt::BackgroundRole) return age == TTaskAge::Alert ? kAlertColour : kWarnColour;
  if (role == Qt::ForegroundRole) return QColor(Qt::black);
  return QVariant();
}

QString SessionText(const TSessionRow& row, int column) {
  if (column == static_cast<int>(kLogonColumn)) return LocaleDateTimeText(row.LogonTime);
  return ToQString(SessionCellText(row, static_cast<std::size_t>(column)));
}

}  // namespace

std::vector<TColumnDef> TaskColumns(int hostWidth) {
  return ColumnsOf(TaskColumnTitles(), {40, 80, 95, hostWidth, 250, 50, 50, 100});
}

std::vector<TColumnDef> SessionColumns(int hostWidth) {
  return ColumnsOf(SessionColumnTitles(), {50, 100, 100, hostWidth, 150, 60});
}

std::vector<TColumnDef> LicenceColumns() {
  return {{QString::fromUtf8("Licença"), 60}, {"Qtde Uso", 60}};
}

TRowLook<TTaskRow> TaskLook(TTaskLookContext context) {
  const auto shared = std::make_shared<const TTaskLookContext>(std::move(context));
  return {[shared](const TTaskRow& row, int column) { return TaskText(*shared, row, column); },
          [shared](const TTaskRow& row, int column) -> QVariant {
            if (const auto key = TaskNumberKey(row, static_cast<std::size_t>(column)))
              return qlonglong{*key};
            return TaskText(*shared, row, column);
          },
          [shared](const TTaskRow& row, int role) { return TaskRole(*shared, row, role); },
          [](const TTaskRow& row) { return row.NoConnection; }};
}

TRowLook<TSessionRow> SessionLook() {
  return {SessionText,
          [](const TSessionRow& row, int column) -> QVariant {
            if (const auto key = SessionNumberKey(row, static_cast<std::size_t>(column)))
              return qlonglong{*key};
            return SessionText(row, column);
          },
          nullptr, nullptr};
}

TRowLook<TLicenceRow> LicenceLook() {
  return {[](const TLicenceRow& row, int column) {
            return column == 0 ? ToQString(row.Licence)
                               : column == 1 ? QString::number(row.Count) : QString();
          },
          nullptr, nullptr, nullptr};
}

QString SilentHostsText(const std::vector<THostRow>& hosts) {
  QStringList lines;
  for (const THostRow& host : hosts)
    if (host.Status.State != THostState::Answering)
      lines << ToQString(HostDescription(host.Line)) + ": " +
                   ToQString(host.Status.Cause.empty() ? HostStateText(host.Status.State)
                                                       : host.Status.Cause);
  return lines.join('\n');
}

}  // namespace quv
