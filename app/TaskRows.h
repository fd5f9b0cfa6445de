#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/RemoteCalls.h"

// The rows of the viewer's three tables and the rules that build them from
// the servers' replies. Texts are Windows-1252 bytes.

namespace quv {

// Text limits of the row records, in bytes.
inline constexpr std::size_t kShortTextLimit = 50;
inline constexpr std::size_t kRequestDescLimit = 100;
inline constexpr std::size_t kLicenceLimit = 5;

// The number that stands for text that is not a number.
inline constexpr int32_t kNotANumber = -2147483647;

// The reply row a task or session was made of, for the details pane: the
// reply is shared by the rows made of it and read only when asked.
struct TReplyFields {
  std::shared_ptr<const IReplyRows> Reply;  // null for the rows of hosts without reply
  std::size_t Row = 0;
  explicit operator bool() const { return Reply != nullptr; }
  std::vector<std::pair<std::string, std::string>> Fields() const { return Reply->RowFields(Row); }
};

struct TTaskRow {
  int32_t RequestId = 0;
  std::string ClientDesc;   // at most 50
  std::string RequestDesc;  // at most 100
  int32_t ElapsedTime = 0;  // milliseconds
  bool SystemCmd = false;
  std::string HostLine;  // at most 50
  std::string UserName;  // at most 50
  bool Cancelled = false;
  std::size_t Host = 0;       // index of the host line in the host list
  bool NoConnection = false;  // the row that stands for a host without reply
  // The row that stands for this many hosts without reply (0: a host of its own).
  std::size_t FoldedHosts = 0;
  TReplyFields Fields;
};

struct TSessionRow {
  std::string SessionKey;  // at most 50
  std::string HostLine;    // at most 50
  std::string UserName;    // at most 50
  double LogonTime = 0;    // date-time
  bool Active = false;
  std::string Source;    // at most 50
  std::string Licence;   // at most 5
  std::size_t Host = 0;  // index of the host line in the host list
  bool NoConnection = false;  // printed for a host without reply, never shown in the window
  TReplyFields Fields;
};

struct TLicenceRow {
  std::string Licence;  // at most 5
  int32_t Count = 0;
};

// "Não" for false, "Sim" for true.
std::string_view YesNoText(bool value);

// Elapsed milliseconds as at most two parts: "500ms", "1s", "2m5s", "1h1m".
std::string ElapsedText(int32_t ms);

// The method whose rows the task view never shows: the viewer's own polling.
std::string_view TaskListMethod();
std::string_view SessionListMethod();
std::string_view NoConnectionText();

TTaskRow TaskRowFromReply(const IReplyRows& reply, const std::string& hostLine);
TTaskRow NoConnectionRow(const std::string& hostLine);
// "N servidores sem conexão" ("1 servidor sem conexão").
std::string FoldedNoConnectionText(std::size_t hosts);
TSessionRow SessionRowFromReply(const IReplyRows& reply, const std::string& hostLine);

// Whether two rows stand for the same task or session (the same host and
// request id, or the same host and session key), wherever they are shown.
bool SameTask(const TTaskRow& a, const TTaskRow& b);
bool SameSession(const TSessionRow& a, const TSessionRow& b);

// How long a task has run against the warning and alert thresholds (in
// seconds); a host without reply is no task and never stands out.
enum class TTaskAge { Normal, Warn, Alert };
TTaskAge TaskAge(const TTaskRow& row, int32_t warnSeconds, int32_t alertSeconds);

// Column titles and cell texts of the task and session tables. The session
// table's logon time reads yyyy-mm-dd hh:nn:ss here (the window shows it in
// the user's locale instead).
std::vector<std::string> TaskColumnTitles();
std::vector<std::string> SessionColumnTitles();
std::string TaskCellText(const TTaskRow& row, std::size_t column);
std::string SessionCellText(const TSessionRow& row, std::size_t column);
inline constexpr std::size_t kHostColumn = 3;
// The columns that sort as numbers (request id, elapsed time, logon time in
// milliseconds) rather than as their texts; none for the others.
std::optional<int64_t> TaskNumberKey(const TTaskRow& row, std::size_t column);
std::optional<int64_t> SessionNumberKey(const TSessionRow& row, std::size_t column);
inline constexpr std::size_t kLogonColumn = 4;

// Row orders: live tasks by larger elapsed time first, then the rows of hosts
// without reply in host order; user names ascending (locale-aware).
int CompareTasks(const TTaskRow& a, const TTaskRow& b);
int CompareSessions(const TSessionRow& a, const TSessionRow& b);

// Hands over the reply of host line i (null: the host gave none).
using TTakeResult = std::function<std::unique_ptr<IReplyRows>(std::size_t)>;

// Appends the task rows of every host to `rows`, in host order (a host
// without reply gives one "Sem conexão com o servidor" row), then sorts them.
// An error while reading a reply leaves the rows appended so far, unsorted.
void BuildTaskRows(const std::vector<std::string>& hosts, const TTakeResult& take,
                   std::vector<TTaskRow>& rows);

// Replaces the rows of hosts without reply by one row that counts them,
// placed last; nothing changes when there is none.
void FoldNoConnectionRows(std::vector<TTaskRow>& rows);

struct TSessionView {
  std::vector<TSessionRow> Sessions;
  std::vector<TLicenceRow> Licences;  // by licence text, ascending, without regard to case
  int32_t Total = 0;                  // distinct session keys
};

// Appends the sessions of every host with a reply; then counts each distinct
// session key (without regard to case) once under its licence, and sorts the
// sessions by user. An error while reading leaves the sessions appended so
// far and no licences.
void BuildSessionView(const std::vector<std::string>& hosts, const TTakeResult& take,
                      TSessionView& view);

// What the server pane shows of each host beside its health, from the last
// rows of each list; -1 where no reply has told yet.
struct THostCounts {
  int32_t Tasks = -1;
  int32_t OldestMs = -1;  // elapsed time of its longest-running task; 0 without tasks
  int32_t Sessions = -1;
  int32_t Licences = -1;  // distinct licence texts of its sessions
};

// Updates the counts of the hosts that answered (answered[i]) from the rows
// of one refresh; the others keep what they had. Both lists have one entry
// per host.
void CountTasks(const std::vector<TTaskRow>& rows, const std::vector<bool>& answered,
                std::vector<THostCounts>& counts);
void CountSessions(const std::vector<TSessionRow>& rows, const std::vector<bool>& answered,
                   std::vector<THostCounts>& counts);

// Label texts: "." on the task tab, the session count + " sessões" on the other.
std::string TaskLabelText();
std::string SessionLabelText(int32_t total);

}  // namespace quv
