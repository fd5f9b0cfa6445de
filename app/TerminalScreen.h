#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CancelTargets.h"
#include "app/FleetView.h"
#include "app/RowTableModel.h"
#include "app/TaskRows.h"

namespace quv {

// Keys beyond the printable characters, which come as their Windows-1252
// bytes (0x20 to 0xFF).
enum : int {
  kKeyUp = 0x110000,
  kKeyDown,
  kKeyPageUp,
  kKeyPageDown,
  kKeyHome,
  kKeyEnd,
  kKeyTab,
  kKeyEnter,
  kKeyEscape,
  kKeyBackspace,
  kKeyDelete,
  kKeyInsert,
  kKeyF1,
  kKeyF5,
};

// What a key asks of the screen's owner.
enum class TScreenCommand {
  None,
  Quit,
  Refresh,
  TogglePause,
  ListChanged,   // the other list is shown: refresh it
  Navigated,     // the operator moved in the list: the refresh may wait
  Cancel,        // the operator confirmed: TakeConfirmedTargets
  History,       // an instant was entered: TakeInstantText
  LeaveHistory,  // back to the live lists
};

// How a line is drawn.
enum class TLineStyle {
  Plain,
  Title,
  Header,
  Warn,
  Alert,
  Silent,
  Cancelling,
  Done,
  Failed,
  Notice
};

// One line of the screen: escaped Windows-1252 text, one cell per byte,
// exactly as wide as the screen.
struct TScreenLine {
  std::string Text;
  TLineStyle Style = TLineStyle::Plain;
  bool Cursor = false;
  bool Marked = false;
};

// The terminal mode's screen without a terminal: the task list or the
// session list with the licence counts, the server pane, a message line and
// a status line, and what the operator does to them: moving, marking rows,
// filtering (the window's filter language), sorting, details, help, the
// confirmation of a cancel and the instant of the history. Rows keep their
// cursor and marks by identity across refreshes; a row that is gone loses
// them, and a cancel acts only on the marked rows the filter shows (or the
// cursor's row), so nothing is ever acted on that the operator did not
// choose or cannot see. Server texts are escaped on their way to a line. One
// thread.
class TTerminalScreen final {
 public:
  enum class TList { Tasks, Sessions };
  enum class TMode { Lists, Filter, Confirm, Details, Help, Instant };
  static constexpr int kMinWidth = 60;
  static constexpr int kMinHeight = 12;

  // `hosts`: the host lines (a single host hides the Host columns);
  // `historyFile`: whether a record file can be shown at an instant.
  TTerminalScreen(const std::vector<std::string>& hosts, int32_t warnSeconds, int32_t alertSeconds,
                  bool historyFile);
  ~TTerminalScreen();
  TTerminalScreen(const TTerminalScreen&) = delete;
  TTerminalScreen& operator=(const TTerminalScreen&) = delete;

  void SetTasks(std::shared_ptr<const std::vector<TTaskRow>> rows);
  void SetSessions(const TSessionView& view);
  void SetHosts(std::vector<THostRow> hosts) { FHosts = std::move(hosts); }
  // The left part of the status line, set by the owner (health, pause,
  // next refresh); `notice` draws it so that it stands out.
  void SetStatus(std::string text, bool notice);
  void ShowMessage(std::string text, TLineStyle style);

  TScreenCommand OnKey(int key);
  // The screen as `width` x `height` cells; too small a terminal gets one
  // line that says so, and until a larger one is drawn keys but `q` are
  // ignored.
  std::vector<TScreenLine> Render(int width, int height);

  TList List() const { return FList; }
  TMode Mode() const { return FMode; }
  const std::string& FilterText() const { return FFilterText; }

  // The targets the operator confirmed that are still shown, now marked as
  // being cancelled; those gone meanwhile are named in the message line.
  std::vector<TCancelTarget> TakeConfirmedTargets();
  // A cancel's outcome came: the row is no longer being cancelled.
  void CancelEnded(const TCancelTarget& target);
  bool BeingCancelled(const TCancelTarget& target) const;

  std::string TakeInstantText() { return std::move(FEdit); }
  // The lists now show a recorded instant, read-only, under `banner`; the
  // owner sets their rows.
  void EnterHistory(std::string banner);
  void LeaveHistory();
  bool InHistory() const { return !FHistoryBanner.empty(); }

 private:
  template <typename Row>
  struct TListState;
  struct TLayout;

  TScreenCommand OnListKey(int key);
  TScreenCommand OnEditKey(int key);
  TScreenCommand OnConfirmKey(int key);
  bool ScrollOverlay(int key);
  void ApplyFilter(const std::string& text);
  void AskCancel();
  void OpenDetails();
  template <typename Row>
  TScreenCommand Move(TListState<Row>& list, int key);
  template <typename Row>
  void ToggleMark(TListState<Row>& list);
  template <typename Row>
  void Sort(TListState<Row>& list, int step);
  template <typename Row>
  std::vector<TCancelTarget> ChosenTargets(const TListState<Row>& list) const;
  template <typename Row>
  bool StillShown(const TListState<Row>& list, const TCancelTarget& target) const;
  template <typename Row>
  void RenderList(TListState<Row>& list, const TLayout& layout, std::vector<TScreenLine>& lines);
  void RenderHosts(const TLayout& layout, std::vector<TScreenLine>& lines) const;
  void RenderOverlay(const TLayout& layout, std::vector<TScreenLine>& lines);
  std::string TitleLine() const;
  std::string EditLine() const;
  std::string TaskCell(const TTaskRow& row, std::size_t column) const;
  TLineStyle TaskStyle(const TTaskRow& row) const;

  const int32_t FWarnSeconds;
  const int32_t FAlertSeconds;
  const bool FHistoryFile;
  std::unique_ptr<TListState<TTaskRow>> FTasks;
  std::unique_ptr<TListState<TSessionRow>> FSessions;
  std::vector<TLicenceRow> FLicences;
  int32_t FSessionTotal = 0;
  std::vector<THostRow> FHosts;
  TList FList = TList::Tasks;
  TMode FMode = TMode::Lists;
  std::string FFilterText;
  bool FFilterValid = true;
  std::string FEdit;  // the filter or instant being typed
  std::vector<TCancelTarget> FConfirming;
  std::vector<TCancelTarget> FPending;  // being cancelled
  std::vector<std::string> FOverlay;    // the details shown
  std::string FOverlayTitle;
  std::size_t FOverlayTop = 0;  // the first overlay line shown
  std::string FStatus;
  bool FStatusNotice = false;
  std::string FMessage;
  TLineStyle FMessageStyle = TLineStyle::Plain;
  std::string FHistoryBanner;
  int FListLines = 1;      // rows the last render showed, for paging
  bool FTooSmall = false;  // the last render had no room
};

}  // namespace quv
