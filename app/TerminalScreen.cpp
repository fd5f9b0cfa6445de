#include "app/TerminalScreen.h"

#include <algorithm>
#include <iterator>

#include "app/HostConfig.h"
#include "app/QtText.h"
#include "app/RowFilter.h"
#include "app/TerminalText.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

constexpr std::string_view kSessionsTab = "Usuários"_cp;
constexpr std::string_view kDefaultOrder = "padrão"_cp;
constexpr std::string_view kInvalidFilter = "expressão inválida"_cp;
constexpr std::string_view kAlreadyEnded = "Já terminou: "_cp;
constexpr std::string_view kReadOnly =
    "Histórico: somente leitura (Esc volta às listas ao vivo)"_cp;
constexpr std::string_view kNoRecord = "Sem gravação: use --record FILE ou [MAIN] RECORDFILE"_cp;
constexpr std::string_view kNoTaskRow = "Servidor sem conexão: não há tarefa a marcar"_cp;
constexpr std::string_view kConfirmKeys = "s: sim · n ou Esc: não"_cp;
constexpr std::string_view kInstantPrompt = "Instante (aaaa-mm-dd hh:nn[:ss], hh:nn, -30m): "_cp;
constexpr std::string_view kTooSmall = "Terminal pequeno demais: "_cp;
constexpr std::string_view kMinimum = " (mínimo "_cp;
constexpr std::string_view kLicences = "Licenças: "_cp;
constexpr std::string_view kNoFields =
    "(sem detalhes: não há resposta de servidor para esta linha)"_cp;
constexpr std::string_view kHelp =
    "Teclas\n"
    "\n"
    "setas, PgUp/PgDn, Home/End  mover na lista\n"
    "/                 filtrar: texto, /expressão/, campo:valor, !termo (Esc limpa)\n"
    "s ou > , <        escolher a coluna de ordem (seguinte, anterior); i inverte\n"
    "Espaço            pausar ou continuar a atualização\n"
    "F5 ou r           atualizar agora\n"
    "Tab               trocar de lista: tarefas, usuários\n"
    "m ou Insert       marcar ou desmarcar a linha\n"
    "k ou Delete       cancelar as linhas marcadas (ou a linha atual), após confirmação\n"
    "d ou Enter        detalhes da linha: todos os campos da resposta\n"
    "h                 as listas num instante da gravação (somente leitura)\n"
    "? ou F1           esta ajuda (qualquer tecla fecha)\n"
    "q                 sair"_cp;

constexpr std::size_t kGutter = 2;  // the mark and a blank before the first cell
constexpr int kFlexible = -1;       // a column width that takes what the others leave
constexpr int kMinFlexible = 8;
constexpr std::size_t kMaxPaneRows = 8;

bool SameRow(const TTaskRow& a, const TTaskRow& b) { return SameTask(a, b); }
bool SameRow(const TSessionRow& a, const TSessionRow& b) { return SameSession(a, b); }
bool CanTarget(const TTaskRow& row) { return CanCancel(row); }
bool CanTarget(const TSessionRow&) { return true; }
TCancelTarget TargetOf(const TTaskRow& row) { return TaskCancelTarget(row); }
TCancelTarget TargetOf(const TSessionRow& row) { return SessionCancelTarget(row); }

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1)
    lines.emplace_back(text.substr(start, end - start));
  lines.emplace_back(text.substr(start));
  return lines;
}

// The widths of the shown columns on a line of `width` cells; hidden
// columns stay 0 and the flexible one takes what is left.
std::vector<std::size_t> CellWidths(const std::vector<int>& widths, int width) {
  std::size_t taken = kGutter;
  for (const int w : widths)
    if (w != 0) taken += (w > 0 ? static_cast<std::size_t>(w) : 0) + 1;
  const std::size_t total = static_cast<std::size_t>(std::max(width, 0));
  const std::size_t rest = total > taken ? total - taken : 0;
  std::vector<std::size_t> cells;
  for (const int w : widths)
    cells.push_back(w == kFlexible ? std::max<std::size_t>(rest, kMinFlexible)
                                   : static_cast<std::size_t>(w));
  return cells;
}

// Cells of one row in their columns, after the gutter.
std::string RowText(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths,
                    bool marked, int width) {
  std::string line = marked ? "* " : "  ";
  for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i)
    if (widths[i] > 0) line += FittedText(EscapedText(cells[i]), widths[i]) + ' ';
  return FittedText(line, static_cast<std::size_t>(width));
}

int HostWidth(const std::vector<std::string>& hosts) {
  if (hosts.size() < 2) return 0;
  std::size_t longest = 4;
  for (const std::string& host : hosts) longest = std::max(longest, HostLabel(host).size());
  return static_cast<int>(std::min<std::size_t>(longest, kShortTextLimit));
}

std::vector<TColumnDef> FilterColumns(const std::vector<std::string>& titles,
                                      const std::vector<int>& widths) {
  std::vector<int> shown;
  for (const int w : widths) shown.push_back(w == kFlexible ? 1 : w);
  return ColumnsOf(titles, shown);
}

}  // namespace

// One list: its rows under the filter and sort, the cursor and the marks,
// both kept by the rows' identity.
template <typename Row>
struct TTerminalScreen::TListState {
  TListState(std::vector<std::string> titles, std::vector<int> widths, TRowLook<Row> look)
      : Model(FilterColumns(titles, widths), std::move(look), nullptr),
        Titles(std::move(titles)),
        Widths(std::move(widths)) {}

  std::size_t Count() const { return static_cast<std::size_t>(Model.rowCount()); }
  const Row& RowAt(std::size_t i) const {
    return *Model.RowAt(Model.index(static_cast<int>(i), 0));
  }
  int Find(const Row& wanted) const {
    return Model.FindRow([&wanted](const Row& row) { return SameRow(row, wanted); });
  }
  std::vector<Row> ShownMarks() const {
    std::vector<Row> shown;
    std::copy_if(Marks.begin(), Marks.end(), std::back_inserter(shown),
                 [this](const Row& mark) { return Find(mark) >= 0; });
    return shown;
  }
  bool IsMarked(const Row& row) const {
    return std::any_of(Marks.begin(), Marks.end(),
                       [&row](const Row& mark) { return SameRow(mark, row); });
  }
  // After the rows, the filter or the sort changed. A mark stays while its
  // row is there, filtered out or not (a filter being typed hides rows for
  // a moment); only the marks of shown rows count (ShownMarks).
  void Refind() {
    if (Cursor) {
      const int at = Find(*Cursor);
      if (at >= 0)
        At = static_cast<std::size_t>(at);
      else
        Cursor.reset();
    }
    std::erase_if(Marks, [this](const Row& mark) {
      return std::none_of(Model.Rows().begin(), Model.Rows().end(),
                          [&mark](const Row& row) { return SameRow(row, mark); });
    });
    if (At >= Count()) At = Count() > 0 ? Count() - 1 : 0;
  }

  TRowTableModel<Row> Model;
  const std::vector<std::string> Titles;
  const std::vector<int> Widths;  // in cells; 0: hidden
  std::optional<Row> Cursor;      // none: the operator has not chosen a row
  std::size_t At = 0;             // the cursor's view row, or where it was
  std::size_t Top = 0;
  std::vector<Row> Marks;
};

// Where the parts of the screen go.
struct TTerminalScreen::TLayout {
  int Width = 0;
  int ListTop = 2;  // the first row line; the header is just above
  int ListLines = 0;
  int LicenceLine = -1;
  int PaneTop = 0;  // the pane's header line
  std::size_t PaneRows = 0;
  int MessageLine = 0;
  int StatusLine = 0;
};

TTerminalScreen::TTerminalScreen(const std::vector<std::string>& hosts, int32_t warnSeconds,
                                 int32_t alertSeconds, bool historyFile)
    : FWarnSeconds(warnSeconds), FAlertSeconds(alertSeconds), FHistoryFile(historyFile) {
  const int hostWidth = HostWidth(hosts);
  TRowLook<TTaskRow> taskLook{
      [this](const TTaskRow& row, int column) {
        return ToQString(TaskCell(row, static_cast<std::size_t>(column)));
      },
      [this](const TTaskRow& row, int column) -> QVariant {
        if (const auto key = TaskNumberKey(row, static_cast<std::size_t>(column)))
          return qlonglong{*key};
        return ToQString(TaskCell(row, static_cast<std::size_t>(column)));
      },
      nullptr, [](const TTaskRow& row) { return row.NoConnection; }};
  FTasks = std::make_unique<TListState<TTaskRow>>(
      TaskColumnTitles(), std::vector<int>{10, 10, 16, hostWidth, kFlexible, 7, 7, 14},
      std::move(taskLook));
  TRowLook<TSessionRow> sessionLook{
      [](const TSessionRow& row, int column) {
        return ToQString(SessionCellText(row, static_cast<std::size_t>(column)));
      },
      [](const TSessionRow& row, int column) -> QVariant {
        if (const auto key = SessionNumberKey(row, static_cast<std::size_t>(column)))
          return qlonglong{*key};
        return ToQString(SessionCellText(row, static_cast<std::size_t>(column)));
      },
      nullptr, nullptr};
  FSessions = std::make_unique<TListState<TSessionRow>>(
      SessionColumnTitles(), std::vector<int>{5, 16, kFlexible, hostWidth, 19, 7},
      std::move(sessionLook));
  for (const std::string& line : hosts) FHosts.push_back({line, THostStatus{}, THostCounts{}});
}

TTerminalScreen::~TTerminalScreen() = default;

std::string TTerminalScreen::TaskCell(const TTaskRow& row, std::size_t column) const {
  if (column == 0 && CanCancel(row) && BeingCancelled(TaskCancelTarget(row))) return "cancelando";
  return TaskCellText(row, column);
}

TLineStyle TTerminalScreen::TaskStyle(const TTaskRow& row) const {
  if (row.NoConnection) return TLineStyle::Silent;
  if (BeingCancelled(TaskCancelTarget(row))) return TLineStyle::Cancelling;
  switch (TaskAge(row, FWarnSeconds, FAlertSeconds)) {
    case TTaskAge::Warn:
      return TLineStyle::Warn;
    case TTaskAge::Alert:
      return TLineStyle::Alert;
    default:
      return TLineStyle::Plain;
  }
}

void TTerminalScreen::SetTasks(std::shared_ptr<const std::vector<TTaskRow>> rows) {
  FTasks->Model.SetRows(std::move(rows));
  FTasks->Refind();
}

void TTerminalScreen::SetSessions(const TSessionView& view) {
  FSessions->Model.SetRows(view.Sessions);
  FSessions->Refind();
  FLicences = view.Licences;
  FSessionTotal = view.Total;
}

void TTerminalScreen::SetStatus(std::string text, bool notice) {
  FStatus = std::move(text);
  FStatusNotice = notice;
}

void TTerminalScreen::ShowMessage(std::string text, TLineStyle style) {
  FMessage = std::move(text);
  FMessageStyle = style;
}

TScreenCommand TTerminalScreen::OnKey(int key) {
  // What the operator cannot see is not acted on: a confirmation, above all.
  if (FTooSmall) return key == 'q' ? TScreenCommand::Quit : TScreenCommand::None;
  switch (FMode) {
    case TMode::Filter:
    case TMode::Instant:
      return OnEditKey(key);
    case TMode::Confirm:
      return OnConfirmKey(key);
    case TMode::Help:
    case TMode::Details:
      if (ScrollOverlay(key)) return TScreenCommand::None;
      FMode = TMode::Lists;
      if (key == 'q') return TScreenCommand::Quit;
      // The key that opened the overlay closes it; any other is also taken.
      if (key == kKeyEscape || key == '?' || key == kKeyF1 || key == 'd' || key == kKeyEnter)
        return TScreenCommand::None;
      return OnListKey(key);
    case TMode::Lists:
      break;
  }
  return OnListKey(key);
}

TScreenCommand TTerminalScreen::OnListKey(int key) {
  const bool tasks = FList == TList::Tasks;
  switch (key) {
    case 'q':
      return TScreenCommand::Quit;
    case ' ':
      return TScreenCommand::TogglePause;
    case 'r':
    case kKeyF5:
      return TScreenCommand::Refresh;
    case kKeyTab:
      FList = tasks ? TList::Sessions : TList::Tasks;
      return TScreenCommand::ListChanged;
    case '/':
      FMode = TMode::Filter;
      FEdit = FFilterText;
      return TScreenCommand::None;
    case '?':
    case kKeyF1:
      FMode = TMode::Help;
      FOverlayTop = 0;
      return TScreenCommand::None;
    case 'm':
    case kKeyInsert:
      if (tasks)
        ToggleMark(*FTasks);
      else
        ToggleMark(*FSessions);
      return TScreenCommand::None;
    case 'k':
    case kKeyDelete:
      AskCancel();
      return TScreenCommand::None;
    case 'd':
    case kKeyEnter:
      OpenDetails();
      return TScreenCommand::None;
    case 's':
    case '>':
    case '<':
    case 'i':
      if (tasks)
        Sort(*FTasks, key == '<' ? -1 : key == 'i' ? 0 : 1);
      else
        Sort(*FSessions, key == '<' ? -1 : key == 'i' ? 0 : 1);
      return TScreenCommand::None;
    case 'h':
      if (!FHistoryFile) {
        ShowMessage(std::string(kNoRecord), TLineStyle::Failed);
        return TScreenCommand::None;
      }
      FMode = TMode::Instant;
      FEdit.clear();
      return TScreenCommand::None;
    case kKeyEscape:
      if (InHistory()) return TScreenCommand::LeaveHistory;
      if (!FFilterText.empty()) ApplyFilter("");
      return TScreenCommand::None;
    default:
      return tasks ? Move(*FTasks, key) : Move(*FSessions, key);
  }
}

TScreenCommand TTerminalScreen::OnEditKey(int key) {
  const bool filter = FMode == TMode::Filter;
  if (key == kKeyEnter || key == kKeyEscape) {
    FMode = TMode::Lists;
    if (filter && key == kKeyEscape) ApplyFilter("");
    if (!filter && key == kKeyEnter) return TScreenCommand::History;
    if (!filter) FEdit.clear();
    return TScreenCommand::None;
  }
  if (key == kKeyBackspace && !FEdit.empty())
    FEdit.pop_back();
  else if (key >= 0x20 && key <= 0xFF && key != 0x7F)
    FEdit += static_cast<char>(key);
  else
    return TScreenCommand::None;
  if (filter) ApplyFilter(FEdit);
  return TScreenCommand::None;
}

bool TTerminalScreen::ScrollOverlay(int key) {
  const std::size_t page = static_cast<std::size_t>(std::max(FListLines - 1, 1));
  if (key == kKeyDown || key == kKeyPageDown)
    FOverlayTop += key == kKeyDown ? 1 : page;
  else if (key == kKeyUp || key == kKeyPageUp)
    FOverlayTop -= std::min(FOverlayTop, key == kKeyUp ? std::size_t{1} : page);
  else
    return false;
  return true;
}

TScreenCommand TTerminalScreen::OnConfirmKey(int key) {
  if (ScrollOverlay(key)) return TScreenCommand::None;
  if (key == 's' || key == 'S' || key == 'y' || key == 'Y') {
    FMode = TMode::Lists;
    return TScreenCommand::Cancel;
  }
  if (key == 'n' || key == 'N' || key == kKeyEscape || key == 'q') {
    FMode = TMode::Lists;
    FConfirming.clear();
  }
  return TScreenCommand::None;
}

void TTerminalScreen::ApplyFilter(const std::string& text) {
  FFilterText = text;
  const TRowFilter filter(ToQString(text));
  FFilterValid = filter.IsValid();
  FTasks->Model.SetFilter(filter);
  FTasks->Refind();
  FSessions->Model.SetFilter(filter);
  FSessions->Refind();
}

template <typename Row>
TScreenCommand TTerminalScreen::Move(TListState<Row>& list, int key) {
  const std::size_t count = list.Count();
  if (count == 0) return TScreenCommand::None;
  const std::size_t page = static_cast<std::size_t>(std::max(FListLines - 1, 1));
  std::size_t at = list.At;
  // From no chosen row, the first move chooses the row where the cursor was.
  const bool chosen = list.Cursor.has_value();
  switch (key) {
    case kKeyUp:
      at = chosen && at > 0 ? at - 1 : at;
      break;
    case kKeyDown:
      at = chosen ? at + 1 : at;
      break;
    case kKeyPageUp:
      at = at > page ? at - page : 0;
      break;
    case kKeyPageDown:
      at += page;
      break;
    case kKeyHome:
      at = 0;
      break;
    case kKeyEnd:
      at = count - 1;
      break;
    default:
      return TScreenCommand::None;
  }
  list.At = std::min(at, count - 1);
  list.Cursor = list.RowAt(list.At);
  return TScreenCommand::Navigated;
}

template <typename Row>
void TTerminalScreen::ToggleMark(TListState<Row>& list) {
  if (InHistory()) {
    ShowMessage(std::string(kReadOnly), TLineStyle::Notice);
    return;
  }
  if (!list.Cursor) return;
  const Row& row = list.RowAt(list.At);
  if (!CanTarget(row)) {
    ShowMessage(std::string(kNoTaskRow), TLineStyle::Notice);
    return;
  }
  if (list.IsMarked(row))
    std::erase_if(list.Marks, [&row](const Row& mark) { return SameRow(mark, row); });
  else
    list.Marks.push_back(row);
  if (list.At + 1 < list.Count()) list.Cursor = list.RowAt(++list.At);
}

// `step` 1: the next column, -1: the one before (both through the rows' own
// order, column -1), 0: the other direction.
template <typename Row>
void TTerminalScreen::Sort(TListState<Row>& list, int step) {
  int column = list.Model.SortColumn();
  Qt::SortOrder order = list.Model.SortOrder();
  if (step == 0) {
    order = order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
  } else {
    const int columns = static_cast<int>(list.Widths.size());
    do column = (column + 1 + step + columns + 1) % (columns + 1) - 1;
    while (column >= 0 && list.Widths[static_cast<std::size_t>(column)] == 0);
    order = Qt::AscendingOrder;
  }
  list.Model.SetSort(column, order);
  list.Refind();
}

template <typename Row>
std::vector<TCancelTarget> TTerminalScreen::ChosenTargets(const TListState<Row>& list) const {
  std::vector<Row> rows = list.ShownMarks();
  if (rows.empty() && list.Cursor) rows.push_back(list.RowAt(list.At));
  std::vector<TCancelTarget> targets;
  for (const Row& row : rows)
    if (CanTarget(row) && !BeingCancelled(TargetOf(row))) targets.push_back(TargetOf(row));
  return targets;
}

void TTerminalScreen::AskCancel() {
  if (InHistory()) {
    ShowMessage(std::string(kReadOnly), TLineStyle::Notice);
    return;
  }
  FConfirming = FList == TList::Tasks ? ChosenTargets(*FTasks) : ChosenTargets(*FSessions);
  if (FConfirming.empty()) {
    ShowMessage("Nada a cancelar: selecione as linhas antes", TLineStyle::Notice);
    return;
  }
  FMode = TMode::Confirm;
  FOverlayTop = 0;
}

template <typename Row>
bool TTerminalScreen::StillShown(const TListState<Row>& list, const TCancelTarget& target) const {
  return list.Model.FindRow([&target](const Row& row) {
    return CanTarget(row) && SameTarget(TargetOf(row), target);
  }) >= 0;
}

std::vector<TCancelTarget> TTerminalScreen::TakeConfirmedTargets() {
  std::vector<TCancelTarget> targets = std::move(FConfirming);
  FConfirming.clear();
  // The rows may have ended while the question was open: those are not sent.
  const auto gone =
      std::stable_partition(targets.begin(), targets.end(), [this](const TCancelTarget& t) {
        return t.ParamName == "requestid" ? StillShown(*FTasks, t) : StillShown(*FSessions, t);
      });
  if (gone != targets.end())
    ShowMessage(std::string(kAlreadyEnded) + gone->Description, TLineStyle::Notice);
  targets.erase(gone, targets.end());
  FPending.insert(FPending.end(), targets.begin(), targets.end());
  if (FList == TList::Tasks)
    FTasks->Marks.clear();
  else
    FSessions->Marks.clear();
  return targets;
}

void TTerminalScreen::CancelEnded(const TCancelTarget& target) {
  std::erase_if(FPending,
                [&](const TCancelTarget& pending) { return SameTarget(pending, target); });
}

bool TTerminalScreen::BeingCancelled(const TCancelTarget& target) const {
  return std::any_of(FPending.begin(), FPending.end(),
                     [&](const TCancelTarget& pending) { return SameTarget(pending, target); });
}

void TTerminalScreen::OpenDetails() {
  const auto open = [this](const auto& list, auto describe) {
    if (!list.Cursor) return;
    const auto& row = list.RowAt(list.At);
    FOverlayTitle = "Detalhes: " + describe(row);
    FOverlay.clear();
    if (!row.Fields)
      FOverlay.emplace_back(kNoFields);
    else
      for (const auto& [name, value] : row.Fields.Fields()) FOverlay.push_back(name + ": " + value);
    FMode = TMode::Details;
    FOverlayTop = 0;
  };
  if (FList == TList::Tasks)
    open(*FTasks, [](const TTaskRow& row) {
      return CanCancel(row) ? TaskCancelTarget(row).Description : TaskCellText(row, 4);
    });
  else
    open(*FSessions, [](const TSessionRow& row) { return SessionCancelTarget(row).Description; });
}

void TTerminalScreen::EnterHistory(std::string banner) {
  FHistoryBanner = std::move(banner);
  FTasks->Marks.clear();
  FSessions->Marks.clear();
}

void TTerminalScreen::LeaveHistory() { FHistoryBanner.clear(); }

std::vector<TScreenLine> TTerminalScreen::Render(int width, int height) {
  std::vector<TScreenLine> lines(static_cast<std::size_t>(std::max(height, 0)));
  const std::size_t cells = static_cast<std::size_t>(std::max(width, 0));
  for (TScreenLine& line : lines) line.Text = std::string(cells, ' ');
  if (lines.empty()) return lines;
  FTooSmall = width < kMinWidth || height < kMinHeight;
  if (FTooSmall) {
    lines[0].Text =
        FittedText(std::string(kTooSmall) + std::to_string(width) + "x" + std::to_string(height) +
                       std::string(kMinimum) + std::to_string(kMinWidth) + "x" +
                       std::to_string(kMinHeight) + ")",
                   cells);
    lines[0].Style = TLineStyle::Notice;
    return lines;
  }
  TLayout layout;
  layout.Width = width;
  layout.StatusLine = height - 1;
  layout.MessageLine = height - 2;
  layout.PaneRows = std::min(
      {FHosts.size(), kMaxPaneRows, static_cast<std::size_t>(std::max((height - 10) / 3, 1))});
  layout.PaneTop = layout.MessageLine - 1 - static_cast<int>(layout.PaneRows);
  const bool sessions = FList == TList::Sessions;
  if (sessions) layout.LicenceLine = layout.PaneTop - 1;
  layout.ListLines = (sessions ? layout.LicenceLine : layout.PaneTop) - layout.ListTop;
  FListLines = layout.ListLines;

  lines[0] = {FittedText(TitleLine(), cells), TLineStyle::Title};
  if (FMode == TMode::Help || FMode == TMode::Details || FMode == TMode::Confirm)
    RenderOverlay(layout, lines);
  else if (sessions)
    RenderList(*FSessions, layout, lines);
  else
    RenderList(*FTasks, layout, lines);
  if (sessions) {
    std::string text = std::string(kLicences);
    for (const TLicenceRow& licence : FLicences)
      text += EscapedText(licence.Licence) + " " + std::to_string(licence.Count) + "  ";
    lines[static_cast<std::size_t>(layout.LicenceLine)] = {
        FittedText(text + "(" + SessionLabelText(FSessionTotal) + ")", cells), TLineStyle::Header};
  }
  RenderHosts(layout, lines);
  TScreenLine& message = lines[static_cast<std::size_t>(layout.MessageLine)];
  if (FMode == TMode::Filter || FMode == TMode::Instant)
    message = {FittedText(EditLine(), cells), TLineStyle::Notice};
  else
    message = {FittedText(EscapedText(FMessage), cells), FMessageStyle};
  const std::string help = "  ? ajuda  q sair ";
  lines[static_cast<std::size_t>(layout.StatusLine)] = {
      FittedText(
          FittedText(EscapedText(FStatus), cells > help.size() ? cells - help.size() : 0) + help,
          cells),
      FStatusNotice ? TLineStyle::Notice : TLineStyle::Header};
  return lines;
}

std::string TTerminalScreen::TitleLine() const {
  const bool tasks = FList == TList::Tasks;
  std::string title = tasks ? "[Tarefas]  " + std::string(kSessionsTab) + " "
                            : " Tarefas  [" + std::string(kSessionsTab) + "]";
  if (!FFilterText.empty()) {
    title += "   filtro: " + EscapedText(FFilterText) + " ";
    if (!FFilterValid) {
      title += "(" + std::string(kInvalidFilter) + ")";
    } else {
      const std::size_t shown = tasks ? FTasks->Count() : FSessions->Count();
      const std::size_t all = tasks ? FTasks->Model.Rows().size() : FSessions->Model.Rows().size();
      title += "(" + std::to_string(shown) + " de " + std::to_string(all) + ")";
    }
  }
  if (!FHistoryBanner.empty()) title += "   " + EscapedText(FHistoryBanner);
  return title;
}

std::string TTerminalScreen::EditLine() const {
  const std::string prompt = FMode == TMode::Filter ? "Filtro: " : std::string(kInstantPrompt);
  return prompt + EscapedText(FEdit) + "_";
}

template <typename Row>
void TTerminalScreen::RenderList(TListState<Row>& list, const TLayout& layout,
                                 std::vector<TScreenLine>& lines) {
  const std::vector<std::size_t> widths = CellWidths(list.Widths, layout.Width);
  std::vector<std::string> titles = list.Titles;
  const int sorted = list.Model.SortColumn();
  if (sorted >= 0)
    titles[static_cast<std::size_t>(sorted)] +=
        list.Model.SortOrder() == Qt::AscendingOrder ? " ^" : " v";
  lines[1] = {RowText(titles, widths, false, layout.Width), TLineStyle::Header};
  const std::size_t count = list.Count();
  const std::size_t shown = static_cast<std::size_t>(std::max(layout.ListLines, 1));
  if (list.Cursor && list.At < list.Top) list.Top = list.At;
  if (list.Cursor && list.At >= list.Top + shown) list.Top = list.At - shown + 1;
  list.Top = std::min(list.Top, count > shown ? count - shown : 0);
  for (std::size_t i = 0; i < shown && list.Top + i < count; ++i) {
    const Row& row = list.RowAt(list.Top + i);
    std::vector<std::string> cells;
    for (std::size_t column = 0; column < list.Titles.size(); ++column) {
      if constexpr (std::is_same_v<Row, TTaskRow>)
        cells.push_back(TaskCell(row, column));
      else
        cells.push_back(SessionCellText(row, column));
    }
    TScreenLine& line = lines[static_cast<std::size_t>(layout.ListTop) + i];
    line.Marked = list.IsMarked(row);
    line.Text = RowText(cells, widths, line.Marked, layout.Width);
    line.Cursor = list.Cursor && list.At == list.Top + i;
    if constexpr (std::is_same_v<Row, TTaskRow>)
      line.Style = TaskStyle(row);
    else
      line.Style = BeingCancelled(TargetOf(row)) ? TLineStyle::Cancelling : TLineStyle::Plain;
  }
}

// The server pane; when not every server fits, those without reply come first.
void TTerminalScreen::RenderHosts(const TLayout& layout, std::vector<TScreenLine>& lines) const {
  std::vector<std::string> labels;
  for (const THostRow& host : FHosts) labels.push_back(host.Line);
  const std::vector<int> columns = {
      std::max(HostWidth(labels), 4), 16, 11, kFlexible, 8, 19, 7, 11, 7, 8};
  const std::vector<std::size_t> widths = CellWidths(columns, layout.Width);
  const auto top = static_cast<std::size_t>(layout.PaneTop);
  lines[top] = {RowText(HostColumnTitles(), widths, false, layout.Width), TLineStyle::Header};
  std::vector<const THostRow*> order;
  for (const THostRow& host : FHosts) order.push_back(&host);
  if (order.size() > layout.PaneRows)
    std::stable_partition(order.begin(), order.end(), [](const THostRow* host) {
      return host->Status.State != THostState::Answering;
    });
  for (std::size_t i = 0; i < layout.PaneRows && i < order.size(); ++i) {
    std::vector<std::string> cells;
    for (std::size_t column = 0; column < columns.size(); ++column)
      cells.push_back(HostCellText(*order[i], column));
    const bool silent = order[i]->Status.State != THostState::Answering;
    lines[top + 1 + i] = {RowText(cells, widths, false, layout.Width),
                          silent ? TLineStyle::Silent : TLineStyle::Plain};
  }
  if (order.size() > layout.PaneRows)
    lines[top].Text =
        FittedText(lines[top].Text.substr(0, static_cast<std::size_t>(layout.Width) - 8) + " (+" +
                       std::to_string(order.size() - layout.PaneRows) + ")",
                   static_cast<std::size_t>(layout.Width));
}

// Help, details or the confirmation in place of the list; the header line
// says what it is (the confirmation: which keys answer), and a text longer
// than the list scrolls.
void TTerminalScreen::RenderOverlay(const TLayout& layout, std::vector<TScreenLine>& lines) {
  std::vector<std::string> text;
  std::string title;
  if (FMode == TMode::Help) {
    text = Lines(kHelp);
  } else if (FMode == TMode::Details) {
    title = FOverlayTitle;
    text = FOverlay;
  } else {
    title = std::string(kConfirmKeys);
    text = Lines(ConfirmationText(FConfirming));
  }
  const auto cells = static_cast<std::size_t>(layout.Width);
  const auto shown = static_cast<std::size_t>(layout.ListLines);
  FOverlayTop = std::min(FOverlayTop, text.size() > shown ? text.size() - shown : 0);
  const std::size_t below = text.size() - std::min(text.size(), FOverlayTop + shown);
  if (below > 0)
    title = FittedText(title, cells > 24 ? cells - 24 : 0) + " (mais " + std::to_string(below) +
            " abaixo: setas)";
  lines[1] = {FittedText(EscapedText(title), cells), TLineStyle::Header};
  for (std::size_t i = 0; i < shown && FOverlayTop + i < text.size(); ++i)
    lines[static_cast<std::size_t>(layout.ListTop) + i] = {
        FittedText(" " + EscapedText(text[FOverlayTop + i]), cells),
        FMode == TMode::Confirm ? TLineStyle::Notice : TLineStyle::Plain};
}

}  // namespace quv
