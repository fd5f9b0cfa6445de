#include "app/uTasks2.h"

#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/DebugOutput.h"

namespace quv {

namespace {

constexpr int kTaskTabInterval = 1000;
constexpr int kSessionTabInterval = 5000;
constexpr int kClickPostponeInterval = 10000;
constexpr int kScrollPostponeInterval = 50000;
constexpr int kCommandColumn = 4;
// Column "Commando" takes the task tree's width minus the other columns' share.
constexpr int kCommandWidthReserve = 499;
// Page margins that leave the trees 24 pixels narrower than the window.
constexpr int kPageMargin = 10;
constexpr int kHostListHeight = 110;
constexpr int kStripInterval = 1000;

const QColor kGridLineColour(216, 216, 216);
const QColor kSelectionColour(29, 85, 181);
const QColor kInactiveSelectionColour(91, 124, 184);
const QColor kWarnColour(255, 214, 110);
const QColor kAlertColour(255, 150, 150);

// Draws each cell as the style does, then its vertical grid line.
class TGridLineDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    painter->save();
    painter->setPen(kGridLineColour);
    painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
    painter->restore();
  }
};

// Readable selection whatever the style: white text on blue, in the active
// and in the inactive window.
void SetSelectionColours(QWidget* tree) {
  QPalette palette = tree->palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::Highlight,
                     group == QPalette::Active ? kSelectionColour : kInactiveSelectionColour);
    palette.setColor(group, QPalette::HighlightedText, Qt::white);
  }
  tree->setPalette(palette);
}

QString ToQString(std::string_view cp1252) { return QString::fromStdString(Cp1252ToUtf8(cp1252)); }

// Tahoma 8 pt, or the nearest sans-serif face the machine has.
QFont WindowFont() {
  QFont font;
  font.setFamilies(
      {QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
  font.setPointSize(8);
  return font;
}

// The cancel button's glyph: a 32 x 16 bitmap, normal state on the left and
// disabled state on the right.
QIcon CancelGlyph() {
  QPixmap bitmap(32, 16);
  bitmap.fill(Qt::transparent);
  QPainter painter(&bitmap);
  const auto cross = [&painter](int left, QColor color) {
    painter.setPen(QPen(color, 3, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(left + 4, 4, left + 11, 11);
    painter.drawLine(left + 11, 4, left + 4, 11);
  };
  cross(0, QColor(192, 0, 0));
  cross(16, QColor(128, 128, 128));
  painter.end();
  QIcon icon;
  icon.addPixmap(bitmap.copy(0, 0, 16, 16), QIcon::Normal);
  icon.addPixmap(bitmap.copy(16, 0, 16, 16), QIcon::Disabled);
  return icon;
}

// Titles with their widths; the Host column's width depends on the host count.
std::vector<TColumnDef> ColumnsOf(const std::vector<std::string>& titles,
                                  const std::vector<int>& widths) {
  std::vector<TColumnDef> columns;
  for (std::size_t i = 0; i < titles.size(); ++i)
    columns.push_back({ToQString(titles[i]), widths[i]});
  return columns;
}

std::vector<TColumnDef> TaskColumns(int hostWidth) {
  return ColumnsOf(TaskColumnTitles(), {40, 80, 95, hostWidth, 250, 50, 50, 100});
}

std::vector<TColumnDef> SessionColumns(int hostWidth) {
  return ColumnsOf(SessionColumnTitles(), {50, 100, 100, hostWidth, 150, 60});
}

std::vector<TColumnDef> LicenceColumns() {
  return {{QString::fromUtf8("Licença"), 60}, {"Qtde Uso", 60}};
}

std::vector<TColumnDef> HostColumns() {
  return {{"Host", 60},     {QString::fromUtf8("Endereço"), 130},
          {"Estado", 90},   {"Causa", 300},
          {"Resposta", 70}, {QString::fromUtf8("Última resposta"), 130}};
}

TTakeResult TakerOf(TRefreshT& worker) {
  return [&worker](std::size_t i) { return worker.TakeResult(i); };
}

// Runs a build of view rows; false when it ended early by an error, which
// only the debug output reports (the timer stays off until the user acts).
bool TryBuildRows(const char* view, const std::function<void()>& build) {
  try {
    build();
    return true;
  } catch (const std::exception& e) {
    OutputDebugString(std::string("quvtasks: ") + view + " rows: " + e.what());
    return false;
  }
}

// The locale's short date and time, with the year in four digits.
QString LocaleDateTimeText(double value) {
  if (!IsValidDateTime(value)) return QString();
  const TDateTimeParts parts = DecodeDateTime(value);
  const QDateTime when(QDate(parts.Year, parts.Month, parts.Day),
                       QTime(parts.Hour, parts.Minute, parts.Second));
  const QLocale locale;
  QString format = locale.dateTimeFormat(QLocale::ShortFormat);
  if (!format.contains(QStringLiteral("yyyy")))
    format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
  return locale.toString(when, format);
}

QString HostDescription(const std::string& hostLine) {
  const QString label = ToQString(HostLabel(hostLine));
  const QString address = ToQString(HostAddress(hostLine));
  return label.isEmpty() ? address : label + " (" + address + ")";
}

}  // namespace

TFTasks::TFTasks(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe, QWidget* parent)
    : QWidget(parent),
      FCalls(calls),
      FProbe(probe),
      FHosts(config.Hosts),
      FHostTable(config.Hosts.size()),
      FWarnSeconds(config.WarnSeconds),
      FAlertSeconds(config.AlertSeconds),
      FConfirmCancel(config.ConfirmCancel) {
  FShowError = [this](const QString& message) {
    QMessageBox::critical(this, windowTitle(), message);
  };
  FConfirm = [this](const QString& question) {
    return QMessageBox::question(this, windowTitle(), question) == QMessageBox::Yes;
  };
  FormCreate(config);
}

TFTasks::~TFTasks() {
  Timer1->stop();
  for (auto& refresh : FRefreshes) refresh.Worker->Terminate();
  FRefreshes.clear();  // joins every refresh and the calls it still runs
}

void TFTasks::SetErrorPresenter(std::function<void(const QString&)> presenter) {
  FShowError = std::move(presenter);
}

void TFTasks::SetConfirmPresenter(std::function<bool(const QString&)> presenter) {
  FConfirm = std::move(presenter);
}

std::size_t TFTasks::RefreshesInFlight() const {
  return static_cast<std::size_t>(std::count_if(
      FRefreshes.begin(), FRefreshes.end(), [](const TRefreshSlot& slot) { return !slot.Shown; }));
}

void TFTasks::FormCreate(const THostConfig& config) {
  setWindowTitle(QString::fromUtf8("Visualizador de Tarefas ") +
                 QString::fromStdString(config.Title));
  const int hostWidth = FHosts.size() > 1 ? 50 : 0;
  using std::placeholders::_1;
  using std::placeholders::_2;
  FTaskModel = new TRowTableModel<TTaskRow>(TaskColumns(hostWidth),
                                            {std::bind(&TFTasks::vsTasksGetText, this, _1, _2),
                                             std::bind(&TFTasks::vsTasksSortKey, this, _1, _2),
                                             std::bind(&TFTasks::vsTasksRowRole, this, _1, _2)},
                                            this);
  FSessionModel =
      new TRowTableModel<TSessionRow>(SessionColumns(hostWidth),
                                      {std::bind(&TFTasks::vsUsersGetText, this, _1, _2),
                                       std::bind(&TFTasks::vsUsersSortKey, this, _1, _2), nullptr},
                                      this);
  FLicenceModel = new TRowTableModel<TLicenceRow>(
      LicenceColumns(), {std::bind(&TFTasks::vsLicencesGetText, this, _1, _2), nullptr, nullptr},
      this);
  FHostModel =
      new TRowTableModel<THostRow>(HostColumns(),
                                   {std::bind(&TFTasks::vsHostsGetText, this, _1, _2), nullptr,
                                    std::bind(&TFTasks::vsHostsRowRole, this, _1, _2)},
                                   this);
  BuildLayout();
  SetUpTree(vsTasks, FTaskModel, FTaskModel->Columns());
  SetUpTree(vsUsers, FSessionModel, FSessionModel->Columns());
  SetUpTree(vsLicences, FLicenceModel, FLicenceModel->Columns());
  SetUpTree(vsHosts, FHostModel, FHostModel->Columns());
  vsHosts->header()->setSortIndicatorShown(false);
  SetUpSorting(vsTasks, FTaskModel, 0);
  SetUpSorting(vsUsers, FSessionModel, 1);
  std::vector<THostRow> hostRows;
  for (const std::string& line : FHosts) hostRows.push_back({line, THostStatus{}});
  FHostModel->SetRows(std::move(hostRows));

  Timer1 = new QTimer(this);
  Timer1->setInterval(kTaskTabInterval);
  connect(Timer1, &QTimer::timeout, this, &TFTasks::Timer1Timer);
  connect(PageControl1, &QTabWidget::currentChanged, this, &TFTasks::PageControl1Change);
  connect(SpeedButton1, &QToolButton::clicked, this, &TFTasks::SpeedButton1Click);
  vsTasks->viewport()->installEventFilter(this);
  vsTasks->installEventFilter(this);
  for (QScrollBar* bar : {vsUsers->verticalScrollBar(), vsUsers->horizontalScrollBar()})
    connect(bar, &QScrollBar::valueChanged, this, [this] {
      if (!FUpdatingViews) vsUsersScroll();
    });
  for (QTreeView* tree : {vsTasks, vsUsers})
    connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TFTasks::UpdateCancelTarget);
  BuildShortcuts();
  FStripTimer = new QTimer(this);
  FStripTimer->setInterval(kStripInterval);
  connect(FStripTimer, &QTimer::timeout, this, &TFTasks::UpdateStatusStrip);
  FStripTimer->start();
  Timer1->start();
  UpdateCancelTarget();
  UpdateStatusStrip();
}

void TFTasks::BuildLayout() {
  setFont(WindowFont());
  PageControl1 = new QTabWidget(this);
  auto* tabSheet1 = new QWidget;
  auto* tabSheet2 = new QWidget;
  vsTasks = new QTreeView(tabSheet1);
  vsUsers = new QTreeView(tabSheet2);
  vsLicences = new QTreeView(tabSheet2);
  auto* taskLayout = new QVBoxLayout(tabSheet1);
  taskLayout->setContentsMargins(kPageMargin, kPageMargin, kPageMargin, kPageMargin);
  taskLayout->addWidget(vsTasks);
  auto* sessionLayout = new QHBoxLayout(tabSheet2);
  sessionLayout->setContentsMargins(kPageMargin, kPageMargin, kPageMargin, kPageMargin);
  sessionLayout->setSpacing(0);
  sessionLayout->addWidget(vsUsers, 1);
  vsLicences->setFixedWidth(200);
  sessionLayout->addWidget(vsLicences);
  PageControl1->addTab(tabSheet1, QStringLiteral("Tarefas"));
  PageControl1->addTab(tabSheet2, QString::fromUtf8("Usuários"));
  vsHosts = new QTreeView(this);
  vsHosts->setFixedHeight(kHostListHeight);
  auto* formLayout = new QVBoxLayout(this);
  formLayout->setContentsMargins(0, 0, 0, 0);
  formLayout->setSpacing(2);
  formLayout->addWidget(PageControl1, 1);
  formLayout->addWidget(vsHosts);
  formLayout->addWidget(BuildStrip());

  // The button panel and the status text sit over the tab row.
  Panel1 = new QWidget(this);
  Panel1->setFixedSize(185, 20);
  SpeedButton1 = new QToolButton(Panel1);
  SpeedButton1->setGeometry(152, 0, 23, 20);
  SpeedButton1->setIcon(CancelGlyph());
  SpeedButton1->setAutoRaise(true);
  Label1 = new QLabel(QStringLiteral("."), Panel1);
  Label1->move(0, 5);
  Label1->resize(150, 13);
  StaticText1 = new QLabel(QStringLiteral("Processndo..."), this);
  StaticText1->setGeometry(440, 1, 71, 17);
  Panel1->raise();
  StaticText1->raise();
  resize(773, 465);
  FormResize();
}

QWidget* TFTasks::BuildStrip() {
  auto* strip = new QWidget(this);
  auto* rows = new QVBoxLayout(strip);
  rows->setContentsMargins(4, 0, 4, 2);
  rows->setSpacing(2);
  auto* health = new QHBoxLayout;
  auto* layout = new QHBoxLayout;
  rows->addLayout(health);
  rows->addLayout(layout);
  PauseButton = new QToolButton(strip);
  PauseButton->setText(QStringLiteral("Pausar"));
  PauseButton->setCheckable(true);
  PauseButton->setToolTip(QStringLiteral("Pausar ou retomar a atualização (Espaço)"));
  connect(PauseButton, &QToolButton::clicked, this, &TFTasks::TogglePause);
  RefreshButton = new QToolButton(strip);
  RefreshButton->setText(QStringLiteral("Atualizar"));
  RefreshButton->setToolTip(QStringLiteral("Atualizar agora (F5)"));
  connect(RefreshButton, &QToolButton::clicked, this, &TFTasks::RefreshNow);
  FilterEdit = new QLineEdit(strip);
  FilterEdit->setPlaceholderText(QStringLiteral("Filtrar (/ ou Ctrl+F; /expressão/)"));
  FilterEdit->setClearButtonEnabled(true);
  FilterEdit->setFixedWidth(200);
  connect(FilterEdit, &QLineEdit::textChanged, this, &TFTasks::ApplyFilter);
  FilterCount = new QLabel(strip);
  // Long texts are cut rather than widen the window.
  CancelTarget = new QLabel(strip);
  CancelTarget->setTextFormat(Qt::PlainText);
  CancelTarget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  StatusStrip = new QLabel(strip);
  StatusStrip->setTextFormat(Qt::PlainText);
  StatusStrip->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  HostsButton = new QToolButton(strip);
  HostsButton->setText(QStringLiteral("Servidores"));
  HostsButton->setCheckable(true);
  HostsButton->setChecked(true);
  HostsButton->setToolTip(QStringLiteral("Mostrar ou esconder a lista de servidores"));
  connect(HostsButton, &QToolButton::toggled, this, [this](bool on) { vsHosts->setVisible(on); });
  layout->addWidget(PauseButton);
  layout->addWidget(RefreshButton);
  layout->addWidget(FilterEdit);
  layout->addWidget(FilterCount);
  layout->addWidget(CancelTarget, 1);
  health->addWidget(StatusStrip, 1);
  health->addWidget(HostsButton);
  return strip;
}

void TFTasks::BuildShortcuts() {
  const auto add = [this](const QKeySequence& keys, auto slot) {
    connect(new QShortcut(keys, this), &QShortcut::activated, this, slot);
  };
  add(QKeySequence(Qt::Key_Space), [this] { TogglePause(); });
  add(QKeySequence(Qt::Key_F5), [this] { RefreshNow(); });
  add(QKeySequence(Qt::Key_Delete), [this] {
    if (SpeedButton1->isEnabled()) SpeedButton1Click();
  });
  for (const QKeySequence& keys : {QKeySequence(Qt::Key_Slash), QKeySequence(QKeySequence::Find)})
    add(keys, [this] {
      FilterEdit->setFocus();
      FilterEdit->selectAll();
    });
  add(QKeySequence(Qt::Key_Escape), [this] {
    FilterEdit->clear();
    (PageControl1->currentIndex() == 0 ? vsTasks : vsUsers)->setFocus();
  });
}

void TFTasks::SetUpTree(QTreeView* tree, QAbstractItemModel* model,
                        const std::vector<TColumnDef>& columns) {
  tree->setModel(model);
  tree->setRootIsDecorated(false);
  tree->setUniformRowHeights(true);
  tree->setSelectionBehavior(QAbstractItemView::SelectRows);
  tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tree->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  tree->setSortingEnabled(false);  // the models sort; the header only asks them
  tree->setItemDelegate(new TGridLineDelegate(tree));
  SetSelectionColours(tree);
  QHeaderView* header = tree->header();
  header->setSectionsMovable(true);
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(false);
  header->setSortIndicatorShown(true);
  header->setMinimumSectionSize(0);
  header->setFont(WindowFont());
  for (std::size_t i = 0; i < columns.size(); ++i)
    header->resizeSection(static_cast<int>(i), columns[i].Width);
}

// A header click sorts by its column, a second one reverses; the header's
// menu (and ResetSort) brings back the rows' own order, shown on `defaultColumn`.
template <typename Row>
void TFTasks::SetUpSorting(QTreeView* tree, TRowTableModel<Row>* model, int defaultColumn) {
  QHeaderView* header = tree->header();
  header->setSortIndicator(defaultColumn, Qt::AscendingOrder);
  header->setSectionsClickable(true);
  connect(header, &QHeaderView::sectionClicked, this, [this, header, model](int column) {
    const Qt::SortOrder order =
        model->SortColumn() == column && model->SortOrder() == Qt::AscendingOrder
            ? Qt::DescendingOrder
            : Qt::AscendingOrder;
    header->setSortIndicator(column, order);
    KeepFocus([&] { model->SetSort(column, order); });
  });
  header->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(header, &QHeaderView::customContextMenuRequested, this, [this, header](const QPoint& at) {
    QMenu menu;
    menu.addAction(QString::fromUtf8("Ordem padrão"), this, &TFTasks::ResetSort);
    menu.exec(header->mapToGlobal(at));
  });
}

void TFTasks::ResetSort() {
  KeepFocus([this] {
    FTaskModel->SetSort(-1, Qt::AscendingOrder);
    FSessionModel->SetSort(-1, Qt::AscendingOrder);
  });
  vsTasks->header()->setSortIndicator(0, Qt::AscendingOrder);
  vsUsers->header()->setSortIndicator(1, Qt::AscendingOrder);
}

void TFTasks::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

bool TFTasks::eventFilter(QObject* watched, QEvent* event) {
  if (watched == vsTasks && event->type() == QEvent::Resize) FormResize();
  if (watched == vsTasks->viewport() && event->type() == QEvent::MouseButtonRelease) vsTasksClick();
  return QWidget::eventFilter(watched, event);
}

void TFTasks::FormResize() {
  Panel1->move(width() - Panel1->width(), 0);
  vsTasks->header()->resizeSection(kCommandColumn, vsTasks->width() - kCommandWidthReserve);
}

// Turns the timer on unless the operator paused the refreshes.
void TFTasks::ArmTimer() {
  if (!FPaused) Timer1->start();
}

void TFTasks::Timer1Timer() {
  Timer1->stop();
  StartRefresh();
  Timer1->setInterval(PageControl1->currentIndex() == 0 ? kTaskTabInterval : kSessionTabInterval);
}

void TFTasks::PageControl1Change() {
  Timer1->setInterval(PageControl1->currentIndex() == 0 ? kTaskTabInterval : kSessionTabInterval);
  StartRefresh();
  UpdateCancelTarget();
  UpdateFilterCount();
}

void TFTasks::vsTasksClick() {
  Timer1->stop();
  Timer1->setInterval(kClickPostponeInterval);
  ArmTimer();
}

void TFTasks::vsUsersScroll() {
  Timer1->stop();
  Timer1->setInterval(kScrollPostponeInterval);
  ArmTimer();
}

void TFTasks::TogglePause() {
  FPaused = !FPaused;
  PauseButton->setChecked(FPaused);
  if (FPaused)
    Timer1->stop();
  else if (RefreshesInFlight() == 0)
    Timer1->start();  // else the refresh in flight turns it on when it is shown
  UpdateStatusStrip();
}

void TFTasks::RefreshNow() { StartRefresh(); }

void TFTasks::SpeedButton1Click() {
  const std::optional<TCancelTarget> target = FocusedTarget();
  if (target) {
    if (FConfirmCancel && !FConfirm(QStringLiteral("Cancelar %1?").arg(target->Description)))
      return;
    try {
      FCalls.ExecMethodValues(target->Method, target->ParamName, target->ParamValue,
                              HostAddress(target->HostLine));
    } catch (const std::exception& e) {
      FShowError(QString::fromUtf8("Não foi possível cancelar %1: %2")
                     .arg(target->Description, ToQString(e.what())));
      return;
    }
  }
  Timer1->setInterval(1);
}

// The focused row of the visible tab, when it can be cancelled.
std::optional<TFTasks::TCancelTarget> TFTasks::FocusedTarget() const {
  if (PageControl1->currentIndex() == 0) {
    const TTaskRow* row = FTaskModel->RowAt(vsTasks->currentIndex());
    if (!row || row->NoConnection) return std::nullopt;
    return TCancelTarget{"quvsystem.tasks.cancel", "requestid", std::to_string(row->RequestId),
                         row->HostLine,
                         QStringLiteral("a tarefa %1 (%2, %3) em %4")
                             .arg(QString::number(row->RequestId), ToQString(row->RequestDesc),
                                  ToQString(row->UserName), HostDescription(row->HostLine))};
  }
  const TSessionRow* row = FSessionModel->RowAt(vsUsers->currentIndex());
  if (!row) return std::nullopt;
  return TCancelTarget{"quvsystem.sessions.cancel", "sessionkey", row->SessionKey, row->HostLine,
                       QString::fromUtf8("a sessão %1 de %2 em %3")
                           .arg(ToQString(row->SessionKey), ToQString(row->UserName),
                                HostDescription(row->HostLine))};
}

void TFTasks::UpdateCancelTarget() {
  const std::optional<TCancelTarget> target = FocusedTarget();
  SpeedButton1->setEnabled(target.has_value());
  const QString text = target ? QStringLiteral("Cancelar %1").arg(target->Description)
                              : QString::fromUtf8("Nada a cancelar na linha em foco");
  SpeedButton1->setToolTip(text);
  CancelTarget->setText(target ? text : QString());
}

void TFTasks::StartRefresh() {
  Timer1->stop();
  ReapFinishedRefreshes();
  auto worker = std::make_unique<TRefreshT>(FCalls, FProbe, FHostWorkers, FHostTable);
  worker->SetMethodName(
      std::string(PageControl1->currentIndex() == 0 ? TaskListMethod() : SessionListMethod()));
  for (const std::string& host : FHosts) worker->AddIP(host);
  // The handler runs on the worker thread; the window is reached through a
  // queued call, which Qt drops if the window is gone by then.
  worker->SetOnDone([this](TRefreshT& done) {
    QMetaObject::invokeMethod(
        this, [this, &done] { RefreshDone(done); }, Qt::QueuedConnection);
  });
  FRefreshes.push_back({std::move(worker), false});
  FRefreshes.back().Worker->Start();
}

void TFTasks::RefreshDone(TRefreshT& worker) {
  for (TRefreshSlot& refresh : FRefreshes)
    if (refresh.Worker.get() == &worker) refresh.Shown = true;
  StaticText1->setText(ToQString(worker.ErrorText()));
  bool shown = true;
  if (worker.ErrorText().empty()) {
    TakeHostStatus(worker);
    shown = PageControl1->currentIndex() == 0 ? ShowTasks(worker) : ShowSessions(worker);
  }
  // After an error while rows were built the timer stays off until a page
  // change, a click or a scroll arms it again.
  if (shown) ArmTimer();
  ReapFinishedRefreshes();
  UpdateStatusStrip();
}

// Refreshes that were shown and whose calls have all ended; those with a
// call still running stay until it ends.
void TFTasks::ReapFinishedRefreshes() {
  std::erase_if(FRefreshes, [](const TRefreshSlot& refresh) {
    return refresh.Shown && refresh.Worker->Finished();
  });
}

void TFTasks::TakeHostStatus(const TRefreshT& worker) {
  std::vector<THostRow> rows;
  for (std::size_t i = 0; i < FHosts.size(); ++i) rows.push_back({FHosts[i], worker.HostStatus(i)});
  FHostModel->SetRows(std::move(rows));
}

bool TFTasks::ShowTasks(TRefreshT& worker) {
  std::vector<TTaskRow> rows;
  const bool built = TryBuildRows("task", [&] { BuildTaskRows(FHosts, TakerOf(worker), rows); });
  SetTaskRows(std::move(rows));
  if (built) Label1->setText(ToQString(TaskLabelText()));
  return built;
}

bool TFTasks::ShowSessions(TRefreshT& worker) {
  TSessionView view;
  const bool built =
      TryBuildRows("session", [&] { BuildSessionView(FHosts, TakerOf(worker), view); });
  SetSessionRows(std::move(view.Sessions));
  FUpdatingViews = true;
  FLicenceModel->SetRows(std::move(view.Licences));
  FUpdatingViews = false;
  if (built) Label1->setText(ToQString(SessionLabelText(view.Total)));
  return built;
}

void TFTasks::SetTaskRows(std::vector<TTaskRow> rows) {
  KeepFocus([&] { FTaskModel->SetRows(std::move(rows)); });
}

void TFTasks::SetSessionRows(std::vector<TSessionRow> rows) {
  KeepFocus([&] { FSessionModel->SetRows(std::move(rows)); });
}

// Runs a change of the task or session rows and puts the focus back on the
// row it was on, found by its identity, wherever that row has moved; with
// the row gone, nothing is focused (and nothing can be cancelled).
void TFTasks::KeepFocus(const std::function<void()>& change) {
  const TTaskRow* task = FTaskModel->RowAt(vsTasks->currentIndex());
  const TSessionRow* session = FSessionModel->RowAt(vsUsers->currentIndex());
  const std::optional<TTaskRow> focusedTask = task ? std::optional(*task) : std::nullopt;
  const std::optional<TSessionRow> focusedSession =
      session ? std::optional(*session) : std::nullopt;
  const int taskScroll = vsTasks->verticalScrollBar()->value();
  const int sessionScroll = vsUsers->verticalScrollBar()->value();
  FUpdatingViews = true;
  change();
  const auto refocus = [](QTreeView* tree, int row, int scroll) {
    tree->verticalScrollBar()->setValue(scroll);
    if (row < 0) return;
    tree->selectionModel()->setCurrentIndex(
        tree->model()->index(row, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  };
  if (focusedTask)
    refocus(vsTasks,
            FTaskModel->FindRow([&](const TTaskRow& row) { return SameTask(row, *focusedTask); }),
            taskScroll);
  if (focusedSession)
    refocus(vsUsers, FSessionModel->FindRow([&](const TSessionRow& row) {
      return SameSession(row, *focusedSession);
    }),
            sessionScroll);
  FUpdatingViews = false;
  UpdateCancelTarget();
  UpdateFilterCount();
}

void TFTasks::ApplyFilter() {
  const TRowFilter filter(FilterEdit->text());
  KeepFocus([&] {
    FTaskModel->SetFilter(filter);
    FSessionModel->SetFilter(filter);
  });
}

void TFTasks::UpdateFilterCount() {
  if (!TRowFilter(FilterEdit->text()).IsValid()) {
    FilterCount->setText(QString::fromUtf8("expressão inválida"));
    return;
  }
  const bool tasks = PageControl1->currentIndex() == 0;
  const int shown = tasks ? FTaskModel->rowCount() : FSessionModel->rowCount();
  const std::size_t all = tasks ? FTaskModel->Rows().size() : FSessionModel->Rows().size();
  FilterCount->setText(
      FilterEdit->text().isEmpty() ? QString() : QStringLiteral("%1 de %2").arg(shown).arg(all));
}

void TFTasks::UpdateStatusStrip() {
  int answering = 0;
  QStringList silent;
  for (const THostRow& host : FHostModel->Rows()) {
    if (host.Status.State == THostState::Answering)
      ++answering;
    else
      silent << HostDescription(host.Line) + ": " +
                    ToQString(host.Status.Cause.empty() ? HostStateText(host.Status.State)
                                                        : host.Status.Cause);
  }
  QString text =
      QStringLiteral("%1 de %2 servidores respondendo").arg(answering).arg(FHosts.size());
  if (!silent.isEmpty()) text += QStringLiteral("; %1 sem resposta").arg(silent.size());
  if (FPaused)
    text += QStringLiteral(" · pausado");
  else if (Timer1->isActive())
    text += QString::fromUtf8(" · próxima atualização em %1 s")
                .arg((Timer1->remainingTime() + 999) / 1000);
  StatusStrip->setText(text);
  StatusStrip->setToolTip(silent.join('\n'));
}

QString TFTasks::vsTasksGetText(const TTaskRow& row, int column) const {
  return ToQString(TaskCellText(row, static_cast<std::size_t>(column)));
}

QVariant TFTasks::vsTasksSortKey(const TTaskRow& row, int column) const {
  switch (column) {
    case 1:
      return qlonglong{row.RequestId};
    case 5:
      return qlonglong{row.ElapsedTime};
    default:
      return vsTasksGetText(row, column);
  }
}

// A host without reply explains itself in its tool tip; long tasks are coloured.
QVariant TFTasks::vsTasksRowRole(const TTaskRow& row, int role) const {
  if (role == Qt::ToolTipRole && row.NoConnection) {
    const THostStatus& status = FHostModel->Rows().at(row.Host).Status;
    return HostDescription(row.HostLine) + ": " + ToQString(status.Cause);
  }
  const TTaskAge age = TaskAge(row, FWarnSeconds, FAlertSeconds);
  if (age == TTaskAge::Normal) return QVariant();
  if (role == Qt::BackgroundRole) return age == TTaskAge::Alert ? kAlertColour : kWarnColour;
  if (role == Qt::ForegroundRole) return QColor(Qt::black);
  return QVariant();
}

QString TFTasks::vsUsersGetText(const TSessionRow& row, int column) const {
  if (column == static_cast<int>(kLogonColumn)) return LocaleDateTimeText(row.LogonTime);
  return ToQString(SessionCellText(row, static_cast<std::size_t>(column)));
}

QVariant TFTasks::vsUsersSortKey(const TSessionRow& row, int column) const {
  if (column == static_cast<int>(kLogonColumn))
    return static_cast<qlonglong>(row.LogonTime * kMSecsPerDay);
  return vsUsersGetText(row, column);
}

QString TFTasks::vsLicencesGetText(const TLicenceRow& row, int column) const {
  switch (column) {
    case 0:
      return ToQString(row.Licence);
    case 1:
      return QString::number(row.Count);
    default:
      return QString();
  }
}

QString TFTasks::vsHostsGetText(const THostRow& row, int column) const {
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
    default:
      return QString();
  }
}

QVariant TFTasks::vsHostsRowRole(const THostRow& row, int role) const {
  if (role == Qt::ToolTipRole && !row.Status.Cause.empty()) return ToQString(row.Status.Cause);
  if (role == Qt::ForegroundRole && row.Status.State != THostState::Answering)
    return QColor(160, 0, 0);
  return QVariant();
}

}  // namespace quv
