#include "app/HistoryReport.h"

#include <algorithm>
#include <cmath>

#include "app/HostConfig.h"
#include "app/ReportOutput.h"
#include "app/TaskRows.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"

namespace quv {

namespace {

// Titles with accents, named apart: clang 14 crashes on code-page literals
// inside braced lists.
constexpr std::string_view kUserTitle = "Usuário"_cp;
constexpr std::string_view kStartTitle = "Início"_cp;

// A duration in whole milliseconds that the elapsed-time text can show.
int32_t DurationMs(double seconds) {
  return static_cast<int32_t>(std::clamp(std::round(seconds * 1000), 0.0, 2147483647.0));
}

TTextTable TaskTable(const std::vector<TRecordedTask>& tasks, bool withSeconds) {
  TTextTable table{{"Host", "Id", std::string(kUserTitle), "Commando", "IP Addr",
                    std::string(kStartTitle), "Visto", "Tempo", "Fim"},
                   {}};
  if (withSeconds) table.Titles.push_back("Segundos");
  for (const TRecordedTask& task : tasks) {
    std::vector<std::string>& cells = table.Rows.emplace_back();
    cells = {task.HostLine,
             std::to_string(task.RequestId),
             task.UserName,
             task.RequestDesc,
             task.ClientDesc,
             DateTimeToIsoText(task.Started),
             DateTimeToIsoText(task.LastSeen),
             ElapsedText(DurationMs(task.Seconds())),
             task.Ended};
    if (withSeconds) cells.push_back(std::to_string(DurationMs(task.Seconds()) / 1000));
  }
  return table;
}

std::unique_ptr<TJSONobject> ServerObject(const std::string& hostLine) {
  auto object = std::make_unique<TJSONobject>();
  object->Add("host", JsonText(HostLabel(hostLine)));
  object->Add("address", JsonText(HostAddress(hostLine)));
  return object;
}

std::unique_ptr<TJSONbase> IsoTime(double value) {
  return JsonText(DateTimeToIsoText(value, 'T'));
}

std::unique_ptr<TJSONbase> TaskObject(const TRecordedTask& task) {
  auto object = ServerObject(task.HostLine);
  object->Add("requestid", std::make_unique<TJSONbase>(task.RequestId));
  object->Add("username", JsonText(task.UserName));
  object->Add("requestdesc", JsonText(task.RequestDesc));
  object->Add("clientdesc", JsonText(task.ClientDesc));
  object->Add("started", IsoTime(task.Started));
  object->Add("lastseen", IsoTime(task.LastSeen));
  object->Add("seconds", std::make_unique<TJSONbase>(DurationMs(task.Seconds()) / 1000.0));
  object->Add("ended", task.Ended.empty() ? JsonNull() : JsonText(task.Ended));
  return object;
}

TTextTable EventTable(const std::vector<TRecordedEvent>& events) {
  TTextTable table{{"Quando", "Host", "Evento", "Detalhe"}, {}};
  for (const TRecordedEvent& event : events)
    table.Rows.push_back({DateTimeToIsoText(event.When), event.HostLine, event.What, event.Detail});
  return table;
}

std::unique_ptr<TJSONbase> EventObject(const TRecordedEvent& event) {
  auto object = ServerObject(event.HostLine);
  object->Add("at", IsoTime(event.When));
  object->Add("event", JsonText(event.What));
  object->Add("detail", event.Detail.empty() ? JsonNull() : JsonText(event.Detail));
  return object;
}

template <typename Item>
void WriteJsonList(const std::vector<Item>& items,
                   std::unique_ptr<TJSONbase> (*objectOf)(const Item&), std::ostream& out) {
  TJSONlist list;
  for (const Item& item : items) list.Add(objectOf(item));
  out << list.Text() << '\n';
}

}  // namespace

void PrintFleetAt(const TRecordReader& reader, double when, const std::string& host,
                  bool sessions, TOnceFormat format, std::ostream& out) {
  TFleetView view(reader.Hosts(host), false);
  if (!view.Take(reader.ReadAt(when, sessions, view))) throw ERecorderError(view.ReadError());
  WriteFleetView(view, sessions, format, out);
}

void PrintRecordedTasks(const std::vector<TRecordedTask>& tasks, TOnceFormat format,
                        std::ostream& out) {
  if (format == TOnceFormat::Json)
    WriteJsonList(tasks, &TaskObject, out);
  else if (format == TOnceFormat::Csv)
    WriteCsv(TaskTable(tasks, true), out);
  else
    WriteAligned(TaskTable(tasks, false), out);
}

void PrintRecordedEvents(const std::vector<TRecordedEvent>& events, TOnceFormat format,
                         std::ostream& out) {
  if (format == TOnceFormat::Json)
    WriteJsonList(events, &EventObject, out);
  else if (format == TOnceFormat::Csv)
    WriteCsv(EventTable(events), out);
  else
    WriteAligned(EventTable(events), out);
}

}  // namespace quv
