#include "app/OnceReport.h"

#include <algorithm>

#include "app/HostConfig.h"
#include "app/TaskRows.h"
#include "platform/Cp1252.h"
#include "platform/Sync.h"
#include "support/JSON.h"

namespace quv {

namespace {

// A table as Windows-1252 texts: the titles, then the rows' cells.
struct TTextTable {
  std::vector<std::string> Titles;
  std::vector<std::vector<std::string>> Rows;
};

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

// One byte is one character in Windows-1252, so byte counts align columns.
void WriteAligned(const TTextTable& table, std::ostream& out) {
  std::vector<std::size_t> widths;
  for (const std::string& title : table.Titles) widths.push_back(title.size());
  for (const auto& cells : table.Rows)
    for (std::size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], cells[i].size());
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      text += cells[i];
      if (i + 1 < cells.size()) text += std::string(widths[i] - cells[i].size() + 2, ' ');
    }
    out << Cp1252ToUtf8(text) << '\n';
  };
  line(table.Titles);
  for (const auto& cells : table.Rows) line(cells);
}

void WriteCsv(const TTextTable& table, std::ostream& out) {
  const auto line = [&](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i)
      out << (i ? "," : "") << CsvField(Cp1252ToUtf8(cells[i]));
    out << "\r\n";
  };
  line(table.Titles);
  for (const auto& cells : table.Rows) line(cells);
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

std::unique_ptr<TJSONbase> JsonText(const std::string& cp1252) {
  return std::make_unique<TJSONbase>(Cp1252ToUtf16(cp1252));
}

std::unique_ptr<TJSONbase> TaskObject(const TTaskRow& row) {
  auto object = std::make_unique<TJSONobject>();
  object->Add("host", JsonText(HostLabel(row.HostLine)));
  object->Add("address", JsonText(HostAddress(row.HostLine)));
  object->Add("connected", std::make_unique<TJSONbase>(!row.NoConnection));
  object->Add("requestid", std::make_unique<TJSONbase>(row.RequestId));
  object->Add("cancelled", std::make_unique<TJSONbase>(row.Cancelled));
  object->Add("clientdesc", JsonText(row.ClientDesc));
  object->Add("requestdesc", JsonText(row.RequestDesc));
  object->Add("ellapsedtime", std::make_unique<TJSONbase>(row.ElapsedTime));
  object->Add("elapsed", JsonText(ElapsedText(row.ElapsedTime)));
  object->Add("systemcmd", std::make_unique<TJSONbase>(row.SystemCmd));
  object->Add("username", JsonText(row.UserName));
  return object;
}

std::unique_ptr<TJSONbase> SessionObject(const TSessionRow& row) {
  auto object = std::make_unique<TJSONobject>();
  object->Add("host", JsonText(HostLabel(row.HostLine)));
  object->Add("address", JsonText(HostAddress(row.HostLine)));
  object->Add("sessionkey", JsonText(row.SessionKey));
  object->Add("username", JsonText(row.UserName));
  object->Add("source", JsonText(row.Source));
  object->Add("logon", JsonText(SessionCellText(row, kLogonColumn)));
  object->Add("active", std::make_unique<TJSONbase>(row.Active));
  object->Add("licenceinfo", JsonText(row.Licence));
  return object;
}

template <typename Row>
void WriteJson(const std::vector<Row>& rows, std::unique_ptr<TJSONbase> (*objectOf)(const Row&),
               std::ostream& out) {
  TJSONlist list;
  for (const Row& row : rows) list.Add(objectOf(row));
  out << list.Text() << '\n';
}

template <typename Row>
void WriteRows(const std::vector<std::string>& titles, const std::vector<Row>& rows,
               std::string (*cellText)(const Row&, std::size_t),
               std::unique_ptr<TJSONbase> (*objectOf)(const Row&), TOnceFormat format,
               std::ostream& out) {
  if (format == TOnceFormat::Json)
    WriteJson(rows, objectOf, out);
  else if (format == TOnceFormat::Csv)
    WriteCsv(TextTableOf(titles, rows, cellText), out);
  else
    WriteAligned(TextTableOf(titles, rows, cellText), out);
}

}  // namespace

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

TOnceReport::TOnceReport(std::vector<std::string> hosts, IRemoteCalls& calls, IHostProbe& probe)
    : FHosts(std::move(hosts)), FCalls(calls), FProbe(probe), FTable(FHosts.size()) {}

TOnceReport::~TOnceReport() = default;  // FLingering joins the calls still running

std::unique_ptr<TRefreshT> TOnceReport::Refresh(bool sessions) {
  std::erase_if(FLingering, [](const auto& worker) { return worker->Finished(); });
  auto worker = std::make_unique<TRefreshT>(FCalls, FProbe, FWorkers, FTable);
  worker->SetMethodName(std::string(sessions ? SessionListMethod() : TaskListMethod()));
  for (const std::string& host : FHosts) worker->AddIP(host);
  // The worker goes on after it has set the event: the event lives as long as it.
  auto delivered = std::make_shared<TEvent>();
  worker->SetOnDone([delivered](TRefreshT&) { delivered->SetEvent(); });
  worker->Start();
  delivered->WaitFor(TEvent::kInfinite);
  return worker;
}

bool TOnceReport::Print(bool sessions, TOnceFormat format, std::ostream& out,
                        std::ostream& errors) {
  std::unique_ptr<TRefreshT> worker = Refresh(sessions);
  bool allAnswered = worker->ErrorText().empty();
  if (!allAnswered) errors << "quvtasks: " << Cp1252ToUtf8(worker->ErrorText()) << '\n';
  for (std::size_t i = 0; i < FHosts.size(); ++i) {
    const THostStatus& status = worker->HostStatus(i);
    if (status.State == THostState::Answering) continue;
    allAnswered = false;
    errors << "quvtasks: " << Cp1252ToUtf8(HostLabel(FHosts[i])) << " ("
           << Cp1252ToUtf8(HostAddress(FHosts[i]))
           << "): " << Cp1252ToUtf8(HostStateText(status.State)) << ": "
           << Cp1252ToUtf8(status.Cause) << '\n';
  }
  const auto take = [&worker](std::size_t i) { return worker->TakeResult(i); };
  if (sessions) {
    TSessionView view;
    BuildSessionView(FHosts, take, view);
    WriteRows(SessionColumnTitles(), view.Sessions, &SessionCellText, &SessionObject, format, out);
    if (format == TOnceFormat::Table) WriteLicences(view, out);
  } else {
    std::vector<TTaskRow> rows;
    BuildTaskRows(FHosts, take, rows);
    WriteRows(TaskColumnTitles(), rows, &TaskCellText, &TaskObject, format, out);
  }
  if (!worker->Finished()) FLingering.push_back(std::move(worker));
  return allAnswered;
}

}  // namespace quv
