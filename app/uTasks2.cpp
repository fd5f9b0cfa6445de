#include "app/uTasks2.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/HistoryWindow.h"
#include "app/ListLook.h"
#include "app/RowLooks.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/DebugOutput.h"

namespace quv {

namespace {

constexpr int kCommandColumn = 4;
// Column "Commando" takes the task tree's width minus the other columns' share.
constexpr int kCommandWidthReserve = 499;
constexpr int kHostPaneHeight = 110;
constexpr int kStripInterval = 1000;
constexpr qsizetype kOutcomesShown = 20;

const QColor kPauseColour(255, 236, 160);
const QColor kDoneColour(0, 110, 0);
const QColor kFailedColour(160, 0, 0);

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

// A model's sort as "column,order" (order 1: descending; column -1: the rows' own order).
template <typename Row>
QString SortText(const TRowTableModel<Row>* model) {
  return QStringLiteral("%1,%2")
      .arg(model->SortColumn())
      .arg(model->SortOrder() == Qt::DescendingOrder ? 1 : 0);
}

}  // namespace

TFTasks::TFTasks(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe, QWidget* parent)
    : QWidget(parent),
      FCalls(calls),
      FProbe(probe),
      FHostTable(config.Hosts.size()),
      FViewState(QString::fromStdString(config.ViewStateFile)),
      FAuditLog(config.AuditLogFile.empty() ? TCancelAuditLog::DefaultFileName()
                                            : config.AuditLogFile),
      FConfirmCancel(config.ConfirmCancel),
      FView(config.Hosts, config.FoldNoConnection) {
  FShowError = [this](const QString& message) {
    QMessageBox::critical(this, windowTitle(), message);
  };
  FConfirm = [this](const QString& question) {
    QMessageBox box(QMessageBox::Question, windowTitle(), question, QMessageBox::NoButton, this);
    QPushButton* yes = box.addButton(QStringLiteral("Sim"), QMessageBox::YesRole);
    box.setDefaultButton(box.addButton(QString::fromUtf8("Não"), QMessageBox::NoRole));
    box.exec();
    return box.clickedButton() == yes;
  };
  FormCreate(config);
  FHistoryConfig = config;
  FHistoryConfig.Hosts.clear();
  OpenRecorder(config.RecordFile);
}

void TFTasks::OpenRecorder(const std::string& fileName) {
  if (fileName.empty()) return;
  try {
    FRecorder = std::make_unique<TRecorder>(fileName);
    HistoryButton->setVisible(true);
  } catch (const ERecorderError& e) {
    ActionResult->setText(
        QString::fromUtf8("Sem gravação: %1").arg(QString::fromStdString(e.what())));
  }
}

TFTasks::~TFTasks() {
  SaveView();
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
  const int hostWidth = HostColumnWidth(FView.Hosts());
  TTaskLookContext taskLook;
  taskLook.WarnSeconds = config.WarnSeconds;
  taskLook.AlertSeconds = config.AlertSeconds;
  taskLook.BeingCancelled = [this](const TTaskRow& row) {
    return BeingCancelled(TaskCancelTarget(row));
  };
  taskLook.HostRows = [this]() -> const std::vector<THostRow>& { return FView.HostRows(); };
  FTaskModel =
      new TRowTableModel<TTaskRow>(TaskColumns(hostWidth), TaskLook(std::move(taskLook)), this);
  FSessionModel =
      new TRowTableModel<TSessionRow>(SessionColumns(hostWidth), SessionLook(), this);
  FLicenceModel = new TRowTableModel<TLicenceRow>(LicenceColumns(), LicenceLook(), this);
  BuildLayout(hostWidth);
  SetUpTree(vsTasks, FTaskModel, FTaskModel->Columns());
  SetUpTree(vsUsers, FSessionModel, FSessionModel->Columns());
  SetUpTree(vsLicences, FLicenceModel, FLicenceModel->Columns());
  SetUpSorting(vsTasks, FTaskModel, 0);
  SetUpSorting(vsUsers, FSessionModel, 1);
  SetUpSorting(vsHosts, vsHosts->Model(), 0);
  ShowHostRows();

  Timer1 = new QTimer(this);
  Timer1->setInterval(FSchedule.Interval());
  connect(Timer1, &QTimer::timeout, this, &TFTasks::Timer1Timer);
  connect(PageControl1, &QTabWidget::currentChanged, this, &TFTasks::PageControl1Change);
  connect(SpeedButton1, &QToolButton::clicked, this, &TFTasks::SpeedButton1Click);
  vsTasks->viewport()->installEventFilter(this);
  vsTasks->installEventFilter(this);
  for (QScrollBar* bar : {vsUsers->verticalScrollBar(), vsUsers->horizontalScrollBar()})
    connect(bar, &QScrollBar::valueChanged, this, [this] {
      if (!FUpdatingViews) vsUsersScroll();
    });
  for (QTreeView* tree : {vsTasks, vsUsers}) {
    connect(tree->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
      if (!FUpdatingViews) UpdateCancelTarget();
    });
    connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
      if (!FUpdatingViews) ShowDetails();
    });
  }
  BuildShortcuts();
  FStripTimer = new QTimer(this);
  FStripTimer->setInterval(kStripInterval);
  connect(FStripTimer, &QTimer::timeout, this, &TFTasks::UpdateStatusStrip);
  FStripTimer->start();
  Timer1->start();
  UpdateCancelTarget();
  UpdateStatusStrip();
  RestoreView();
}

void TFTasks::BuildLayout(int hostWidth) {
  setFont(WindowFont());
  const TListPages lists = BuildListPages(this);
  PageControl1 = lists.Pages;
  vsTasks = lists.Tasks;
  vsUsers = lists.Sessions;
  vsLicences = lists.Licences;
  vsHosts = new TServerPane(hostWidth, this);
  Splitter = new QSplitter(Qt::Vertical, this);
  Splitter->setChildrenCollapsible(false);
  Details = new TDetailsPane(this);
  Details->setVisible(false);
  Splitter->addWidget(PageControl1);
  Splitter->addWidget(Details);
  Splitter->addWidget(vsHosts);
  Splitter->setStretchFactor(0, 1);
  PauseBanner = new QLabel(QString::fromUtf8(
                               "Atualização pausada: as listas não mudam até que se clique em "
                               "Continuar (ou Espaço)"),
                           this);
  PauseBanner->setAlignment(Qt::AlignCenter);
  PauseBanner->setAutoFillBackground(true);
  QPalette bannerPalette = PauseBanner->palette();
  bannerPalette.setColor(QPalette::Window, kPauseColour);
  bannerPalette.setColor(QPalette::WindowText, Qt::black);
  PauseBanner->setPalette(bannerPalette);
  PauseBanner->setVisible(false);
  auto* formLayout = new QVBoxLayout(this);
  formLayout->setContentsMargins(0, 0, 0, 0);
  formLayout->setSpacing(2);
  formLayout->addWidget(Splitter, 1);
  formLayout->addWidget(PauseBanner);
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
  Splitter->setSizes({Splitter->height() - 2 * kHostPaneHeight, kHostPaneHeight, kHostPaneHeight});
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
  FilterEdit->setPlaceholderText(
      QString::fromUtf8("Filtrar (/): texto, /expressão/, user:ana !sleep"));
  FilterEdit->setClearButtonEnabled(true);
  FilterEdit->setFixedWidth(200);
  connect(FilterEdit, &QLineEdit::textChanged, this, &TFTasks::ApplyFilter);
  FilterCount = new QLabel(strip);
  // Long texts are cut rather than widen the window.
  CancelTarget = new QLabel(strip);
  CancelTarget->setTextFormat(Qt::PlainText);
  CancelTarget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  ActionResult = new QLabel(strip);
  ActionResult->setTextFormat(Qt::PlainText);
  ActionResult->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  StatusStrip = new QLabel(strip);
  StatusStrip->setTextFormat(Qt::PlainText);
  StatusStrip->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  HostsButton = new QToolButton(strip);
  HostsButton->setText(QStringLiteral("Servidores"));
  HostsButton->setCheckable(true);
  HostsButton->setChecked(true);
  HostsButton->setToolTip(QStringLiteral("Mostrar ou esconder a lista de servidores"));
  connect(HostsButton, &QToolButton::toggled, this, [this](bool on) { vsHosts->setVisible(on); });
  DetailsButton = new QToolButton(strip);
  DetailsButton->setText(QStringLiteral("Detalhes"));
  DetailsButton->setCheckable(true);
  DetailsButton->setToolTip(
      QStringLiteral("Mostrar ou esconder todos os campos da linha em foco (Enter)"));
  connect(DetailsButton, &QToolButton::toggled, this, [this](bool on) {
    Details->setVisible(on);
    ShowDetails();
  });
  layout->addWidget(PauseButton);
  layout->addWidget(RefreshButton);
  layout->addWidget(FilterEdit);
  layout->addWidget(FilterCount);
  layout->addWidget(CancelTarget, 1);
  health->addWidget(StatusStrip, 3);
  health->addWidget(ActionResult, 2);
  HistoryButton = new QToolButton(strip);
  HistoryButton->setText(QString::fromUtf8("Histórico"));
  HistoryButton->setToolTip(
      QString::fromUtf8("Ver as listas como estavam num instante da gravação (Ctrl+H)"));
  HistoryButton->setVisible(false);
  connect(HistoryButton, &QToolButton::clicked, this, &TFTasks::ShowHistory);
  health->addWidget(HistoryButton);
  health->addWidget(DetailsButton);
  health->addWidget(HostsButton);
  return strip;
}

void TFTasks::BuildShortcuts() {
  const auto add = [this](const QKeySequence& keys, auto slot) {
    connect(new QShortcut(keys, this), &QShortcut::activated, this, slot);
  };
  add(QKeySequence(Qt::Key_Space), [this] { TogglePause(); });
  add(QKeySequence(Qt::Key_F5), [this] { RefreshNow(); });
  add(QKeySequence(Qt::CTRL | Qt::Key_H), [this] { ShowHistory(); });
  // The key always asks first: it is easily pressed by mistake.
  add(QKeySequence(Qt::Key_Delete), [this] { CancelSelected(true); });
  for (const QKeySequence& keys : {QKeySequence(Qt::Key_Slash), QKeySequence(QKeySequence::Find)})
    add(keys, [this] {
      FilterEdit->setFocus();
      FilterEdit->selectAll();
    });
  add(QKeySequence::Copy, [this] { CopySelectedRows(); });
  for (const QKeySequence& keys : {QKeySequence(Qt::Key_F1), QKeySequence(Qt::Key_Question)})
    add(keys, [this] { ShowKeyHelp(); });
  for (QTreeView* tree : {vsTasks, vsUsers})
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
      auto* toggle = new QShortcut(QKeySequence(key), tree, nullptr, nullptr, Qt::WidgetShortcut);
      connect(toggle, &QShortcut::activated, DetailsButton, &QToolButton::toggle);
    }
  add(QKeySequence(Qt::Key_Escape), [this] {
    FilterEdit->clear();
    (PageControl1->currentIndex() == 0 ? vsTasks : vsUsers)->setFocus();
  });
}

// A header click sorts by its column, a second one reverses; the header's
// menu (and ResetSort) brings back the rows' own order, shown on `defaultColumn`.
template <typename Row>
void TFTasks::SetUpSorting(QTreeView* tree, TRowTableModel<Row>* model, int defaultColumn) {
  SetUpHeaderSorting(
      tree, model, defaultColumn,
      [this](const std::function<void()>& change) { KeepFocus(change); },
      [this] { ResetSort(); });
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
  // A Host column wider than its usual 50 pixels takes its room from "Commando".
  const int hostExtra = std::max(0, FTaskModel->Columns()[kHostColumn].Width - 50);
  vsTasks->header()->resizeSection(kCommandColumn,
                                   vsTasks->width() - kCommandWidthReserve - hostExtra);
}

// Runs the timer as the schedule says, from now on when `restart` is set.
void TFTasks::FollowSchedule(bool restart) {
  if (restart || !FSchedule.Running()) Timer1->stop();
  Timer1->setInterval(FSchedule.Interval());
  if (FSchedule.Running() && !Timer1->isActive()) Timer1->start();
}

void TFTasks::Timer1Timer() {
  FSchedule.CountdownEnded();
  StartRefresh();
}

void TFTasks::PageControl1Change() {
  FSchedule.TabChanged(PageControl1->currentIndex() == 0 ? TRefreshSchedule::TTab::Tasks
                                                         : TRefreshSchedule::TTab::Sessions);
  StartRefresh();
  UpdateCancelTarget();
  UpdateFilterCount();
  ShowDetails();
}

// The focused row of the visible tab, with every field of its reply.
void TFTasks::ShowDetails() {
  if (!Details->isVisible()) return;
  if (PageControl1->currentIndex() == 0) {
    const TTaskRow* row = FTaskModel->RowAt(vsTasks->currentIndex());
    if (row && CanCancel(*row))
      Details->ShowFields(ToQString(TaskCancelTarget(*row).Description), row->Fields);
    else
      Details->Clear();
    return;
  }
  const TSessionRow* row = FSessionModel->RowAt(vsUsers->currentIndex());
  if (row)
    Details->ShowFields(ToQString(SessionCancelTarget(*row).Description), row->Fields);
  else
    Details->Clear();
}

QString TFTasks::SelectedRowsText() const {
  const QTreeView* tree = PageControl1->currentIndex() == 0 ? vsTasks : vsUsers;
  const QHeaderView* header = tree->header();
  std::vector<int> columns;  // the visible ones, in the order shown
  for (int visual = 0; visual < header->count(); ++visual) {
    const int column = header->logicalIndex(visual);
    if (!header->isSectionHidden(column) && header->sectionSize(column) > 0)
      columns.push_back(column);
  }
  const auto line = [&columns](const std::function<QString(int)>& cell) {
    QStringList cells;
    for (const int column : columns) cells << cell(column).replace('\t', ' ').replace('\n', ' ');
    return cells.join('\t') + '\n';
  };
  QModelIndexList rows = tree->selectionModel()->selectedRows();
  if (rows.isEmpty()) return QString();
  std::sort(rows.begin(), rows.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  QString text = line([tree](int column) {
    return tree->model()->headerData(column, Qt::Horizontal).toString();
  });
  for (const QModelIndex& row : rows)
    text += line([&row](int column) { return row.siblingAtColumn(column).data().toString(); });
  return text;
}

void TFTasks::CopySelectedRows() const {
  const QString text = SelectedRowsText();
  if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

void TFTasks::ShowKeyHelp() {
  auto* box = new QMessageBox(QMessageBox::Information, windowTitle(), QString::fromUtf8(
      "Teclas\n\n"
      "/ ou Ctrl+F\tfiltrar: texto, /expressão/\n"
      "Esc\tlimpar o filtro\n"
      "Espaço\tpausar ou continuar a atualização\n"
      "F5\tatualizar agora\n"
      "Clique, Shift/Ctrl+clique, setas\tselecionar linhas\n"
      "Delete\tcancelar as linhas selecionadas (pede confirmação)\n"
      "Enter\tmostrar ou esconder os detalhes da linha em foco\n"
      "Ctrl+C\tcopiar as linhas selecionadas\n"
      "Ctrl+H\thistórico: as listas num instante da gravação\n"
      "Clique no título\tordenar; menu do título: ordem padrão e colunas\n"
      "F1 ou ?\testa ajuda"), QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void TFTasks::ShowHistory() {
  if (FHistoryConfig.RecordFile.empty()) return;
  try {
    auto* history = new THistoryWindow(FHistoryConfig.RecordFile, FHistoryConfig, this);
    history->setAttribute(Qt::WA_DeleteOnClose);
    history->show();
  } catch (const ERecorderError& e) {
    FShowError(QString::fromUtf8("Não foi possível abrir a gravação: %1")
                   .arg(QString::fromStdString(e.what())));
  }
}

// The look the operator left the window with the last time.
void TFTasks::RestoreView() {
  if (!FViewState.Enabled()) return;
  const auto restore = [this](const QString& key, const auto& apply) {
    const QVariant value = FViewState.Read(key);
    if (value.isValid()) apply(value);
  };
  restore("janela", [this](const QVariant& v) { restoreGeometry(v.toByteArray()); });
  restore("divisao", [this](const QVariant& v) { Splitter->restoreState(v.toByteArray()); });
  restore("tarefas", [this](const QVariant& v) { vsTasks->header()->restoreState(v.toByteArray()); });
  restore("sessoes", [this](const QVariant& v) { vsUsers->header()->restoreState(v.toByteArray()); });
  restore("servidores", [this](const QVariant& v) { vsHosts->header()->restoreState(v.toByteArray()); });
  restore("mostrarServidores", [this](const QVariant& v) { HostsButton->setChecked(v.toBool()); });
  restore("mostrarDetalhes", [this](const QVariant& v) { DetailsButton->setChecked(v.toBool()); });
  restore("filtro", [this](const QVariant& v) { FilterEdit->setText(v.toString()); });
  // The sorts as "column,order" (column -1: the rows' own order).
  const auto sortOf = [](const QVariant& value, auto* model) {
    const QStringList parts = value.toString().split(',');
    if (parts.size() != 2) return;
    const int column = parts[0].toInt();
    if (column >= -1 && column < model->columnCount())
      model->SetSort(column, parts[1] == "1" ? Qt::DescendingOrder : Qt::AscendingOrder);
  };
  restore("ordemTarefas", [&](const QVariant& v) { sortOf(v, FTaskModel); });
  restore("ordemSessoes", [&](const QVariant& v) { sortOf(v, FSessionModel); });
  restore("ordemServidores", [&](const QVariant& v) { sortOf(v, vsHosts->Model()); });
}


void TFTasks::SaveView() const {
  FViewState.Write({{"janela", saveGeometry()},
                    {"divisao", Splitter->saveState()},
                    {"tarefas", vsTasks->header()->saveState()},
                    {"sessoes", vsUsers->header()->saveState()},
                    {"servidores", vsHosts->header()->saveState()},
                    {"mostrarServidores", HostsButton->isChecked()},
                    {"mostrarDetalhes", DetailsButton->isChecked()},
                    {"filtro", FilterEdit->text()},
                    {"ordemTarefas", SortText(FTaskModel)},
                    {"ordemSessoes", SortText(FSessionModel)},
                    {"ordemServidores", SortText(vsHosts->Model())}});
}

void TFTasks::vsTasksClick() { FollowSchedule(FSchedule.Clicked()); }

void TFTasks::vsUsersScroll() { FollowSchedule(FSchedule.Scrolled()); }

void TFTasks::TogglePause() {
  FSchedule.SetPaused(!FSchedule.Paused(), RefreshesInFlight() > 0);
  FollowSchedule(false);
  ShowPaused();
  UpdateStatusStrip();
}

void TFTasks::ShowPaused() {
  PauseButton->setChecked(FSchedule.Paused());
  PauseButton->setText(FSchedule.Paused() ? QStringLiteral("Continuar") : QStringLiteral("Pausar"));
  PauseBanner->setVisible(FSchedule.Paused());
}

void TFTasks::RefreshNow() { StartRefresh(); }

void TFTasks::SpeedButton1Click() { CancelSelected(FConfirmCancel); }

void TFTasks::CancelSelected(bool confirm) {
  std::vector<TCancelTarget> targets = SelectedTargets();
  if (targets.empty()) {
    ActionResult->setText(QString::fromUtf8("Nada a cancelar: selecione as linhas antes"));
    return;
  }
  if (confirm && !FConfirm(ToQString(ConfirmationText(targets)))) return;
  // The rows may have ended while the question was open: those are not sent.
  const auto gone = std::partition(targets.begin(), targets.end(),
                                   [this](const TCancelTarget& t) { return StillShown(t); });
  if (gone != targets.end())
    ActionResult->setText(QString::fromUtf8("Já terminou: %1").arg(ToQString(gone->Description)));
  targets.erase(gone, targets.end());
  if (targets.empty()) return;
  FPending.insert(FPending.end(), targets.begin(), targets.end());
  FCancels.Submit(std::move(targets), [this](const TCancelOutcome& outcome) {
    QMetaObject::invokeMethod(
        this, [this, outcome] { ShowCancelOutcome(outcome); }, Qt::QueuedConnection);
  });
  FTaskModel->RowsChanged();
  FSessionModel->RowsChanged();
  UpdateCancelTarget();
}

void TFTasks::ShowCancelOutcome(const TCancelOutcome& outcome) {
  std::erase_if(FPending,
                [&](const TCancelTarget& target) { return SameTarget(target, outcome.Target); });
  if (FRecorder) FRecorder->SubmitCancel(Clock().Now(), outcome);
  QString text = ToQString(OutcomeText(outcome));
  if (!outcome.Logged)
    text += QString::fromUtf8(" (não foi possível gravar em %1)")
                .arg(QString::fromStdString(FAuditLog.FileName()));
  ActionResult->setText(text);
  // The tool tip keeps the outcome of every row of the last cancels.
  FOutcomes.prepend(text);
  while (FOutcomes.size() > kOutcomesShown) FOutcomes.removeLast();
  ActionResult->setToolTip(FOutcomes.join('\n'));
  QPalette palette = ActionResult->palette();
  palette.setColor(QPalette::WindowText, outcome.Done() ? kDoneColour : kFailedColour);
  ActionResult->setPalette(palette);
  FTaskModel->RowsChanged();
  FSessionModel->RowsChanged();
  FollowSchedule(FSchedule.CancelEnded());
}

// The selected rows of the visible tab that stand for a task or session.
std::vector<TCancelTarget> TFTasks::SelectedTargets() const {
  std::vector<TCancelTarget> targets;
  const bool tasks = PageControl1->currentIndex() == 0;
  QTreeView* tree = tasks ? vsTasks : vsUsers;
  for (const QModelIndex& index : tree->selectionModel()->selectedRows()) {
    if (tasks) {
      const TTaskRow* row = FTaskModel->RowAt(index);
      if (row && CanCancel(*row)) targets.push_back(TaskCancelTarget(*row));
    } else if (const TSessionRow* row = FSessionModel->RowAt(index)) {
      targets.push_back(SessionCancelTarget(*row));
    }
  }
  std::erase_if(targets, [this](const TCancelTarget& t) { return BeingCancelled(t); });
  return targets;
}

bool TFTasks::StillShown(const TCancelTarget& target) const {
  if (target.ParamName == "requestid")
    return FTaskModel->FindRow([&](const TTaskRow& row) {
             return CanCancel(row) && SameTarget(TaskCancelTarget(row), target);
           }) >= 0;
  return FSessionModel->FindRow([&](const TSessionRow& row) {
           return SameTarget(SessionCancelTarget(row), target);
         }) >= 0;
}

bool TFTasks::BeingCancelled(const TCancelTarget& target) const {
  return std::any_of(FPending.begin(), FPending.end(),
                     [&](const TCancelTarget& pending) { return SameTarget(pending, target); });
}

void TFTasks::UpdateCancelTarget() {
  const std::vector<TCancelTarget> targets = SelectedTargets();
  SpeedButton1->setEnabled(!targets.empty());
  QString text;
  if (targets.size() == 1)
    text = QStringLiteral("Cancelar %1").arg(ToQString(targets.front().Description));
  else if (!targets.empty())
    text = QStringLiteral("Cancelar %1 linhas selecionadas").arg(targets.size());
  SpeedButton1->setToolTip(text.isEmpty() ? QString::fromUtf8("Selecione as linhas a cancelar")
                                          : text);
  CancelTarget->setText(text);
}

void TFTasks::StartRefresh() {
  FSchedule.RefreshStarted();
  FollowSchedule(false);
  ReapFinishedRefreshes();
  auto worker = std::make_unique<TRefreshT>(FCalls, FProbe, FHostWorkers, FHostTable);
  worker->SetMethodName(
      std::string(PageControl1->currentIndex() == 0 ? TaskListMethod() : SessionListMethod()));
  for (const std::string& host : FView.Hosts()) worker->AddIP(host);
  // The handler runs on the worker thread, which reads the replies into
  // rows there; the window is reached through a queued call, which Qt drops
  // if the window is gone by then.
  worker->SetOnDone([this](TRefreshT& done) {
    auto read = std::make_shared<TFleetRead>(FView.Read(done));
    QMetaObject::invokeMethod(
        this, [this, &done, read] { RefreshDone(done, std::move(*read)); }, Qt::QueuedConnection);
  });
  FRefreshes.push_back({std::move(worker), false});
  FRefreshes.back().Worker->Start();
}

void TFTasks::RefreshDone(TRefreshT& worker, TFleetRead read) {
  for (TRefreshSlot& refresh : FRefreshes)
    if (refresh.Worker.get() == &worker) refresh.Shown = true;
  StaticText1->setText(ToQString(worker.ErrorText()));
  bool shown = true;
  if (worker.ErrorText().empty()) {
    const bool sessions = read.Sessions;
    shown = sessions ? ShowSessions(std::move(read)) : ShowTasks(std::move(read));
    ShowHostRows();
    Record(sessions);
  }
  // After an error while rows were built the timer stays off until a page
  // change, a click or a scroll arms it again.
  FSchedule.RefreshShown(shown);
  FollowSchedule(false);
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

void TFTasks::ShowHostRows() { vsHosts->SetRows(FView.HostRows()); }

// Hands what the refresh showed to the recorder, if any; a recorder that
// failed is named once in the strip and the window goes on without it.
void TFTasks::Record(bool sessions) {
  if (!FRecorder) return;
  FRecorder->Submit(RefreshToRecord(FView, sessions, Clock().Now()));
  const std::string failure = FRecorder->Failure();
  if (failure.empty()) return;
  ActionResult->setText(
      QString::fromUtf8("Gravação parada: %1").arg(QString::fromStdString(failure)));
  FRecorder.reset();
}

// A reply that could not be read ends its rows early; only the debug output
// reports it (the timer stays off until the operator acts).
void TFTasks::ReportReadError(const char* view) const {
  OutputDebugString(std::string("quvtasks: ") + view + " rows: " + FView.ReadError());
}

bool TFTasks::ShowTasks(TFleetRead read) {
  const bool built = FView.Take(std::move(read));
  if (!built) ReportReadError("task");
  SetTaskRows(FView.SharedTasks());
  if (built) Label1->setText(ToQString(TaskLabelText()));
  return built;
}

bool TFTasks::ShowSessions(TFleetRead read) {
  const bool built = FView.Take(std::move(read));
  if (!built) ReportReadError("session");
  SetSessionRows(FView.Sessions().Sessions);
  FUpdatingViews = true;
  FLicenceModel->SetRows(FView.Sessions().Licences);
  FUpdatingViews = false;
  if (built) Label1->setText(ToQString(SessionLabelText(FView.Sessions().Total)));
  return built;
}

void TFTasks::SetTaskRows(std::shared_ptr<const std::vector<TTaskRow>> rows) {
  KeepFocus([&] { FTaskModel->SetRows(std::move(rows)); });
}

void TFTasks::SetSessionRows(std::vector<TSessionRow> rows) {
  KeepFocus([&] { FSessionModel->SetRows(std::move(rows)); });
}

// Runs a change of the task or session rows and puts the selection and the
// focus back on the rows they were on, found by their identity, wherever
// those rows have moved. A row gone or filtered out leaves the selection;
// nothing is ever selected that was not before.
void TFTasks::KeepFocus(const std::function<void()>& change) {
  KeepSelection<TTaskRow>(vsTasks, FTaskModel, &SameTask, [&] {
    KeepSelection<TSessionRow>(vsUsers, FSessionModel, &SameSession, change);
  });
  UpdateCancelTarget();
  UpdateFilterCount();
}

template <typename Row>
void TFTasks::KeepSelection(QTreeView* tree, TRowTableModel<Row>* model,
                            bool (*same)(const Row&, const Row&),
                            const std::function<void()>& change) {
  std::vector<Row> selected;
  for (const QModelIndex& index : tree->selectionModel()->selectedRows())
    if (const Row* row = model->RowAt(index)) selected.push_back(*row);
  const Row* current = model->RowAt(tree->currentIndex());
  const std::optional<Row> focused = current ? std::optional(*current) : std::nullopt;
  const int scroll = tree->verticalScrollBar()->value();
  const bool wasUpdating = std::exchange(FUpdatingViews, true);
  change();
  const auto rowOf = [&](const Row& wanted) {
    return model->FindRow([&](const Row& row) { return same(row, wanted); });
  };
  QItemSelection selection;
  for (const Row& row : selected)
    if (const int at = rowOf(row); at >= 0)
      selection.select(model->index(at, 0), model->index(at, model->columnCount() - 1));
  tree->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  if (const int at = focused ? rowOf(*focused) : -1; at >= 0)
    tree->selectionModel()->setCurrentIndex(model->index(at, 0), QItemSelectionModel::NoUpdate);
  tree->verticalScrollBar()->setValue(scroll);
  FUpdatingViews = wasUpdating;
  if (!FUpdatingViews) ShowDetails();
}

void TFTasks::ApplyFilter() {
  const TRowFilter filter(FilterEdit->text());
  KeepFocus([&] {
    FTaskModel->SetFilter(filter);
    FSessionModel->SetFilter(filter);
    vsHosts->Model()->SetFilter(filter);
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
  QString text = ToQString(AnsweringText(FView.HostRows()));
  if (FSchedule.Paused())
    text += QStringLiteral(" · pausado");
  else if (Timer1->isActive())
    text += QString::fromUtf8(" · próxima atualização em %1 s")
                .arg((Timer1->remainingTime() + 999) / 1000);
  StatusStrip->setText(text);
  StatusStrip->setToolTip(SilentHostsText(FView.HostRows()));
}

}  // namespace quv
