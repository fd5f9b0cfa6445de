#include "app/OnceReport.h"

#include <algorithm>
#include <charconv>
#include <type_traits>

#include "app/HostConfig.h"
#include "app/ReportOutput.h"
#include "app/TaskRows.h"
#include "platform/Cp1252.h"
#include "platform/Exception.h"
#include "platform/DateTime.h"
#include "platform/Sync.h"
#include "support/JSON.h"

namespace quv {

namespace {

// The host states of one refresh, by host index.
using THostStatuses = std::vector<THostStatus>;

// Elapsed seconds with the milliseconds, as scripts want a number.
std::string SecondsText(int32_t ms) {
  char text[32];
  const auto end =
      std::to_chars(text, text + sizeof text, ms / 1000.0, std::chars_format::fixed, 3).ptr;
  return std::string(text, end);
}

template <typename Row>
TTextTable TextTableOf(const std::vector<std::string>& titles, const std::vector<Row>& rows,
                       std::string (*cellText)(const Row&, std::size_t)) {
  TTextTable table{titles, {}};
  for (const Row& row : rows) {
    std::vector<std::string>& cells = table.Rows.emplace_back();
    for (std::size_t column = 0; column < titles.size(); ++column)
      cells.push_back(cellText(row, column));
  }
  return table;
}

// CSV carries what the columns leave out: the elapsed time as seconds (tasks),
// the host's state and why it gave no reply.
template <typename Row>
TTextTable CsvTableOf(const std::vector<std::string>& titles, const std::vector<Row>& rows,
                      std::string (*cellText)(const Row&, std::size_t),
                      const THostStatuses& statuses) {
  TTextTable table = TextTableOf(titles, rows, cellText);
  constexpr bool tasks = std::is_same_v<Row, TTaskRow>;
  if (tasks) table.Titles.push_back("Segundos");
  table.Titles.push_back("Estado");
  table.Titles.push_back("Causa");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const THostStatus& status = statuses.at(rows[i].Host);
    if constexpr (tasks)
      table.Rows[i].push_back(rows[i].NoConnection ? std::string() : SecondsText(rows[i].ElapsedTime));
    table.Rows[i].push_back(std::string(HostStateText(status.State)));
    table.Rows[i].push_back(status.Cause);
  }
  return table;
}

// Named apart: clang 14 crashes on code-page literals inside braced lists.
constexpr std::string_view kLicenceTitle = "Licença"_cp;

// The licence counts and the session total that the window shows beside the
// sessions, printed under their table.
void WriteLicences(const TSessionView& view, std::ostream& out) {
  TTextTable table{{std::string(kLicenceTitle), "Qtde Uso"}, {}};
  for (const TLicenceRow& row : view.Licences)
    table.Rows.push_back({row.Licence, std::to_string(row.Count)});
  out << '\n';
  WriteAligned(table, out);
  out << Cp1252ToUtf8(SessionLabelText(view.Total)) << '\n';
}

// Where the row comes from and how that host did.
std::unique_ptr<TJSONobject> HostObject(const std::string& hostLine, bool connected,
                                        const THostStatus& status) {
  auto object = std::make_unique<TJSONobject>();
  object->Add("host", JsonText(HostLabel(hostLine)));
  object->Add("address", JsonText(HostAddress(hostLine)));
  object->Add("connected", std::make_unique<TJSONbase>(connected));
  object->Add("state", JsonText(std::string(HostStateText(status.State))));
  object->Add("cause", status.Cause.empty() ? JsonNull() : JsonText(status.Cause));
  return object;
}

std::unique_ptr<TJSONbase> TaskObject(const TTaskRow& row, const THostStatuses& statuses) {
  auto object = HostObject(row.HostLine, !row.NoConnection, statuses.at(row.Host));
  object->Add("requestid", std::make_unique<TJSONbase>(row.RequestId));
  object->Add("cancelled", std::make_unique<TJSONbase>(row.Cancelled));
  object->Add("clientdesc", JsonText(row.ClientDesc));
  object->Add("requestdesc", JsonText(row.RequestDesc));
  const bool timed = !row.NoConnection;
  object->Add("ellapsedtime", timed ? std::make_unique<TJSONbase>(row.ElapsedTime) : JsonNull());
  object->Add("elapsedseconds",
              timed ? std::make_unique<TJSONbase>(row.ElapsedTime / 1000.0) : JsonNull());
  object->Add("elapsed", timed ? JsonText(ElapsedText(row.ElapsedTime)) : JsonNull());
  object->Add("systemcmd", std::make_unique<TJSONbase>(row.SystemCmd));
  object->Add("username", JsonText(row.UserName));
  return object;
}

std::unique_ptr<TJSONbase> SessionObject(const TSessionRow& row, const THostStatuses& statuses) {
  auto object = HostObject(row.HostLine, !row.NoConnection, statuses.at(row.Host));
  object->Add("sessionkey", JsonText(row.SessionKey));
  object->Add("username", JsonText(row.UserName));
  object->Add("source", JsonText(row.Source));
  object->Add("logon",
              row.NoConnection ? JsonNull() : JsonText(DateTimeToIsoText(row.LogonTime, 'T')));
  object->Add("active", std::make_unique<TJSONbase>(row.Active));
  object->Add("licenceinfo", JsonText(row.Licence));
  return object;
}

template <typename Row>
using TObjectOf = std::unique_ptr<TJSONbase> (*)(const Row&, const THostStatuses&);

// One list on one line, so that repeated prints make JSON Lines.
template <typename Row>
void WriteJson(const std::vector<Row>& rows, TObjectOf<Row> objectOf,
               const THostStatuses& statuses, std::ostream& out) {
  TJSONlist list;
  for (const Row& row : rows) list.Add(objectOf(row, statuses));
  out << list.Text() << '\n';
}

template <typename Row>
void WriteRows(const std::vector<std::string>& titles, const std::vector<Row>& rows,
               std::string (*cellText)(const Row&, std::size_t), TObjectOf<Row> objectOf,
               const THostStatuses& statuses, TOnceFormat format, std::ostream& out) {
  if (format == TOnceFormat::Json)
    WriteJson(rows, objectOf, statuses, out);
  else if (format == TOnceFormat::Csv)
    WriteCsv(CsvTableOf(titles, rows, cellText, statuses), out);
  else
    WriteAligned(TextTableOf(titles, rows, cellText), out);
}

// Hosts without reply have no session rows: scripts get one row for each,
// after the sessions, which carries the host's state and cause.
void AddSilentHosts(const std::vector<std::string>& hosts, const THostStatuses& statuses,
                    std::vector<TSessionRow>& sessions) {
  for (std::size_t i = 0; i < hosts.size(); ++i)
    if (statuses[i].State != THostState::Answering) {
      TSessionRow& row = sessions.emplace_back();
      row.HostLine = hosts[i];
      row.Host = i;
      row.NoConnection = true;
    }
}

}  // namespace

int32_t TOnceReport::OldestTaskMs() const {
  int32_t oldest = -1;
  for (const TTaskRow& row : FView.Tasks())
    if (!row.NoConnection) oldest = std::max(oldest, row.ElapsedTime);
  return oldest;
}

TOnceReport::TOnceReport(std::vector<std::string> hosts, IRemoteCalls& calls, IHostProbe& probe)
    : FRefresh(std::move(hosts), calls, probe), FView(FRefresh.Hosts(), false) {}

bool TOnceReport::Print(bool sessions, TOnceFormat format, std::ostream& out,
                        std::ostream& errors) {
  TRefreshT& worker = FRefresh.Run(sessions);
  bool allAnswered = worker.ErrorText().empty();
  if (!allAnswered) errors << "quvtasks: " << Cp1252ToUtf8(worker.ErrorText()) << '\n';
  if (!FView.TakeRefresh(worker)) throw Exception(FView.ReadError());
  for (const THostRow& host : FView.HostRows()) {
    if (host.Status.State == THostState::Answering) continue;
    allAnswered = false;
    errors << "quvtasks: " << Cp1252ToUtf8(HostStateLine(host)) << '\n';
  }
  WriteFleetView(FView, sessions, format, out);
  return allAnswered;
}

void WriteFleetView(const TFleetView& fleet, bool sessions, TOnceFormat format,
                    std::ostream& out) {
  THostStatuses statuses;
  for (const THostRow& host : fleet.HostRows()) statuses.push_back(host.Status);
  if (sessions) {
    TSessionView view = fleet.Sessions();
    if (format != TOnceFormat::Table) AddSilentHosts(fleet.Hosts(), statuses, view.Sessions);
    WriteRows(SessionColumnTitles(), view.Sessions, &SessionCellText, &SessionObject, statuses,
              format, out);
    if (format == TOnceFormat::Table) WriteLicences(view, out);
  } else {
    WriteRows(TaskColumnTitles(), fleet.Tasks(), &TaskCellText, &TaskObject, statuses, format,
              out);
  }
}

}  // namespace quv
