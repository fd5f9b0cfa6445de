#include "app/uTasks2.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
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

QString ToQString(std::string_view cp1252) {
  return QString::fromStdString(Cp1252ToUtf8(cp1252));
}

// Tahoma 8 pt, or the nearest sans-serif face the machine has.
QFont WindowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("DejaVu Sans")});
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

std::vector<TColumnDef> TaskColumns(int hostWidth) {
  return {{"Canc", 40},          {"Id", 80},     {"IP Addr", 95},       {"Host", hostWidth},
          {"Commando", 250},     {"Tempo", 50},  {"Sistema", 50},       {QString::fromUtf8("Usuário"), 100}};
}

std::vector<TColumnDef> SessionColumns(int hostWidth) {
  return {{"Ativo", 50},     {QString::fromUtf8("Usuário"), 100}, {"IP Addr", 100},
          {"Host", hostWidth}, {"DH Logon", 150},                  {QString::fromUtf8("Licença"), 60}};
}

std::vector<TColumnDef> LicenceColumns() {
  return {{QString::fromUtf8("Licença"), 60}, {"Qtde Uso", 60}};
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

}  // namespace

TFTasks::TFTasks(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe, QWidget* parent)
    : QWidget(parent), FCalls(calls), FProbe(probe) {
  FShowError = [this](const QString& message) {
    QMessageBox::critical(this, windowTitle(), message);
  };
  FormCreate(config);
}

TFTasks::~TFTasks() {
  Timer1->stop();
  for (auto& worker : FWorkers) worker->Terminate();
  FWorkers.clear();  // joins every refresh still in flight
}

void TFTasks::SetErrorPresenter(std::function<void(const QString&)> presenter) {
  FShowError = std::move(presenter);
}

void TFTasks::FormCreate(const THostConfig& config) {
  FHosts = config.Hosts;
  setWindowTitle(QString::fromUtf8("Visualizador de Tarefas ") + QString::fromStdString(config.Title));
  const int hostWidth = FHosts.size() > 1 ? 50 : 0;
  using std::placeholders::_1;
  using std::placeholders::_2;
  FTaskModel = new TRowTableModel<TTaskRow>(TaskColumns(hostWidth),
                                            std::bind(&TFTasks::vsTasksGetText, this, _1, _2), this);
  FSessionModel = new TRowTableModel<TSessionRow>(
      SessionColumns(hostWidth), std::bind(&TFTasks::vsUsersGetText, this, _1, _2), this);
  FLicenceModel = new TRowTableModel<TLicenceRow>(
      LicenceColumns(), std::bind(&TFTasks::vsLicencesGetText, this, _1, _2), this);
  BuildLayout();
  SetUpTree(vsTasks, FTaskModel, FTaskModel->Columns());
  SetUpTree(vsUsers, FSessionModel, FSessionModel->Columns());
  SetUpTree(vsLicences, FLicenceModel, FLicenceModel->Columns());
  vsTasks->header()->setSortIndicator(0, Qt::AscendingOrder);
  vsUsers->header()->setSortIndicator(1, Qt::AscendingOrder);

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
  Timer1->start();
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
  auto* formLayout = new QVBoxLayout(this);
  formLayout->setContentsMargins(0, 0, 0, 0);
  formLayout->addWidget(PageControl1);

  // The button panel and the status text sit over the tab row.
  Panel1 = new QWidget(this);
  Panel1->setFixedSize(185, 20);
  SpeedButton1 = new QToolButton(Panel1);
  SpeedButton1->setGeometry(152, 0, 23, 20);
  SpeedButton1->setIcon(CancelGlyph());
  SpeedButton1->setAutoRaise(true);
  SpeedButton1->setToolTip(QString::fromUtf8("Cancelar a tarefa ou a sessão em foco"));
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

void TFTasks::SetUpTree(QTreeView* tree, QAbstractItemModel* model,
                        const std::vector<TColumnDef>& columns) {
  tree->setModel(model);
  tree->setRootIsDecorated(false);
  tree->setUniformRowHeights(true);
  tree->setSelectionBehavior(QAbstractItemView::SelectRows);
  tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tree->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  tree->setSortingEnabled(false);  // the views sort only when a refresh asks
  tree->setStyleSheet(QStringLiteral("QTreeView::item { border-right: 1px solid #d8d8d8; }"));
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

void TFTasks::Timer1Timer() {
  Timer1->stop();
  StartRefresh();
  Timer1->setInterval(PageControl1->currentIndex() == 0 ? kTaskTabInterval : kSessionTabInterval);
}

void TFTasks::PageControl1Change() {
  Timer1->setInterval(PageControl1->currentIndex() == 0 ? kTaskTabInterval : kSessionTabInterval);
  StartRefresh();
}

void TFTasks::vsTasksClick() {
  Timer1->stop();
  Timer1->setInterval(kClickPostponeInterval);
  Timer1->start();
}

void TFTasks::vsUsersScroll() {
  Timer1->stop();
  Timer1->setInterval(kScrollPostponeInterval);
  Timer1->start();
}

void TFTasks::SpeedButton1Click() {
  try {
    CancelFocusedRow();
  } catch (const std::exception& e) {
    FShowError(ToQString(e.what()));
    return;
  }
  Timer1->setInterval(1);
}

void TFTasks::CancelFocusedRow() {
  if (PageControl1->currentIndex() == 0) {
    if (const TTaskRow* row = FTaskModel->RowAt(vsTasks->currentIndex()))
      FCalls.ExecMethodValues("quvsystem.tasks.cancel", "requestid", std::to_string(row->RequestId),
                              HostAddress(row->HostLine));
  } else if (const TSessionRow* row = FSessionModel->RowAt(vsUsers->currentIndex())) {
    FCalls.ExecMethodValues("quvsystem.sessions.cancel", "sessionkey", row->SessionKey,
                            HostAddress(row->HostLine));
  }
}

void TFTasks::StartRefresh() {
  Timer1->stop();
  auto worker = std::make_unique<TRefreshT>(FCalls, FProbe, FHostWorkers);
  worker->SetMethodName(std::string(PageControl1->currentIndex() == 0 ? TaskListMethod()
                                                                      : SessionListMethod()));
  for (const std::string& host : FHosts) worker->AddIP(host);
  // The handler runs on the worker thread; the window is reached through a
  // queued call, which Qt drops if the window is gone by then.
  worker->SetOnDone([this](TRefreshT& done) {
    QMetaObject::invokeMethod(this, [this, &done] { RefreshDone(done); }, Qt::QueuedConnection);
  });
  FWorkers.push_back(std::move(worker));
  FWorkers.back()->Start();
}

void TFTasks::RefreshDone(TRefreshT& worker) {
  StaticText1->setText(ToQString(worker.ErrorText()));
  bool shown = true;
  if (worker.ErrorText().empty())
    shown = PageControl1->currentIndex() == 0 ? ShowTasks(worker) : ShowSessions(worker);
  // After an error while rows were built the timer stays off until a page
  // change, a click or a scroll arms it again.
  if (shown) Timer1->start();
  ReleaseWorker(worker);
}

bool TFTasks::ShowTasks(TRefreshT& worker) {
  std::vector<TTaskRow> rows;
  const bool built = TryBuildRows("task", [&] { BuildTaskRows(FHosts, TakerOf(worker), rows); });
  FUpdatingViews = true;
  FTaskModel->SetRows(std::move(rows));
  FUpdatingViews = false;
  if (built) Label1->setText(ToQString(TaskLabelText()));
  return built;
}

bool TFTasks::ShowSessions(TRefreshT& worker) {
  TSessionView view;
  const bool built =
      TryBuildRows("session", [&] { BuildSessionView(FHosts, TakerOf(worker), view); });
  FUpdatingViews = true;
  FSessionModel->SetRows(std::move(view.Sessions));
  FLicenceModel->SetRows(std::move(view.Licences));
  FUpdatingViews = false;
  if (built) Label1->setText(ToQString(SessionLabelText(view.Total)));
  return built;
}

void TFTasks::ReleaseWorker(TRefreshT& worker) {
  for (auto it = FWorkers.begin(); it != FWorkers.end(); ++it)
    if (it->get() == &worker) {
      FWorkers.erase(it);  // its run is over: joining returns at once
      return;
    }
}

QString TFTasks::vsTasksGetText(const TTaskRow& row, int column) const {
  switch (column) {
    case 0: return ToQString(YesNoText(row.Cancelled));
    case 1: return QString::number(row.RequestId);
    case 2: return ToQString(row.ClientDesc);
    case 3: return ToQString(HostLabel(row.HostLine));
    case 4: return ToQString(row.RequestDesc);
    case 5: return QString::fromStdString(ElapsedText(row.ElapsedTime));
    case 6: return ToQString(YesNoText(row.SystemCmd));
    case 7: return ToQString(row.UserName);
    default: return QString();
  }
}

QString TFTasks::vsUsersGetText(const TSessionRow& row, int column) const {
  switch (column) {
    case 0: return ToQString(YesNoText(row.Active));
    case 1: return ToQString(row.UserName);
    case 2: return ToQString(row.Source);
    case 3: return ToQString(HostLabel(row.HostLine));
    case 4: return QString::fromLocal8Bit(DateTimeToStr(row.LogonTime));
    case 5: return ToQString(row.Licence);
    default: return QString();
  }
}

QString TFTasks::vsLicencesGetText(const TLicenceRow& row, int column) const {
  switch (column) {
    case 0: return ToQString(row.Licence);
    case 1: return QString::number(row.Count);
    default: return QString();
  }
}

}  // namespace quv
