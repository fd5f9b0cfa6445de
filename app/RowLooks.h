#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/FleetView.h"
#include "app/RowTableModel.h"
#include "app/TaskRows.h"

// The columns and looks of the window's task, session and licence lists:
// cell texts, the keys they sort by, colours and tool tips.
namespace quv {

// What the task list's look asks of its window.
struct TTaskLookContext {
  int32_t WarnSeconds = 60;
  int32_t AlertSeconds = 300;
  // Whether the row is being cancelled (then it reads "cancelando", in italics).
  std::function<bool(const TTaskRow&)> BeingCancelled;
  // The servers' health, for the tool tips of the rows of servers without reply.
  std::function<const std::vector<THostRow>&()> HostRows;
};

// `hostWidth`: the Host column's width (0 hides it).
std::vector<TColumnDef> TaskColumns(int hostWidth);
std::vector<TColumnDef> SessionColumns(int hostWidth);
std::vector<TColumnDef> LicenceColumns();

// Numbers sort as numbers; long tasks are amber or red; the rows of servers
// without reply stay last whatever the sort and explain themselves in their
// tool tips.
TRowLook<TTaskRow> TaskLook(TTaskLookContext context);
// The logon time in the user's locale, sorting as a time.
TRowLook<TSessionRow> SessionLook();
TRowLook<TLicenceRow> LicenceLook();

// The servers without reply with their causes, one per line.
QString SilentHostsText(const std::vector<THostRow>& hosts);

}  // namespace quv
