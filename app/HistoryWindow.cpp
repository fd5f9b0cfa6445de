#include "app/HistoryWindow.h"

#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <cmath>

#include "app/FleetView.h"
#include "app/ListLook.h"
#include "app/RowLooks.h"
#include "app/ServerPane.h"
#include "platform/DateTime.h"

namespace quv {

namespace {

constexpr double kSecondsPerDay = 86400;
// The lists follow the slider once it has rested this long (milliseconds).
constexpr int kSliderRest = 150;

QDateTime ToQDateTime(double value) {
  const TDateTimeParts parts = DecodeDateTime(value);
  return QDateTime(QDate(parts.Year, parts.Month, parts.Day),
                   QTime(parts.Hour, parts.Minute, parts.Second));
}

double FromQDateTime(const QDateTime& when) {
  const QDate date = when.date();
  const QTime time = when.time();
  return EncodeDateTime({date.year(), date.month(), date.day(), time.hour(), time.minute(),
                         time.second(), 0});
}

template <typename Row>
TRowTableModel<Row>* SortableList(QTreeView* tree, TRowTableModel<Row>* model, int defaultColumn) {
  SetUpTree(tree, model, model->Columns());
  SetUpHeaderSorting(
      tree, model, defaultColumn, [](const std::function<void()>& change) { change(); },
      [tree, model, defaultColumn] {
        model->SetSort(-1, Qt::AscendingOrder);
        tree->header()->setSortIndicator(defaultColumn, Qt::AscendingOrder);
      });
  return model;
}

}  // namespace

THistoryWindow::THistoryWindow(const std::string& recordFile, const THostConfig& config,
                               QWidget* parent)
    : QWidget(parent, Qt::Window),
      FReader(recordFile),
      FFoldNoConnection(config.FoldNoConnection),
      FPeriod(FReader.Period()) {
  setWindowTitle(QString::fromUtf8("Histórico: %1").arg(QString::fromStdString(recordFile)));
  setFont(WindowFont());
  const int hostWidth = HostColumnWidth(FReader.Hosts());
  TTaskLookContext taskLook;
  taskLook.WarnSeconds = config.WarnSeconds;
  taskLook.AlertSeconds = config.AlertSeconds;
  taskLook.BeingCancelled = [](const TTaskRow&) { return false; };
  FTaskModel =
      new TRowTableModel<TTaskRow>(TaskColumns(hostWidth), TaskLook(std::move(taskLook)), this);
  FSessionModel = new TRowTableModel<TSessionRow>(SessionColumns(hostWidth), SessionLook(), this);
  FLicenceModel = new TRowTableModel<TLicenceRow>(LicenceColumns(), LicenceLook(), this);
  FServerPane = new TServerPane(hostWidth, this);
  BuildLayout(config);
  ShowInstant(FPeriod.second);
}

THistoryWindow::~THistoryWindow() = default;

const TRowTableModel<THostRow>& THistoryWindow::Servers() const { return *FServerPane->Model(); }

void THistoryWindow::BuildLayout(const THostConfig&) {
  const TListPages lists = BuildListPages(this);
  FPages = lists.Pages;
  FTaskTree = lists.Tasks;
  FSessionTree = lists.Sessions;
  FLicenceTree = lists.Licences;
  SortableList(FTaskTree, FTaskModel, 0);
  SortableList(FSessionTree, FSessionModel, 1);
  SetUpTree(FLicenceTree, FLicenceModel, FLicenceModel->Columns());
  SortableList(FServerPane, FServerPane->Model(), 0);
  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->setChildrenCollapsible(false);
  splitter->addWidget(FPages);
  splitter->addWidget(FServerPane);
  splitter->setStretchFactor(0, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(BuildInstantBar());
  layout->addWidget(splitter, 1);
  FStateLabel = new QLabel(this);
  FStateLabel->setTextFormat(Qt::PlainText);
  layout->addWidget(FStateLabel);
  resize(773, 520);
}

QWidget* THistoryWindow::BuildInstantBar() {
  auto* bar = new QWidget(this);
  auto* rows = new QVBoxLayout(bar);
  rows->setContentsMargins(0, 0, 0, 0);
  auto* top = new QHBoxLayout;
  rows->addLayout(top);
  FInstantEdit = new QDateTimeEdit(bar);
  FInstantEdit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  FInstantEdit->setToolTip(QString::fromUtf8("O instante mostrado"));
  connect(FInstantEdit, &QDateTimeEdit::dateTimeChanged, this, [this](const QDateTime& when) {
    if (!FSettingInstant) ShowInstant(FromQDateTime(when));
  });
  FFilterEdit = new QLineEdit(bar);
  FFilterEdit->setPlaceholderText(
      QString::fromUtf8("Filtrar: texto, /expressão/, user:ana !sleep"));
  FFilterEdit->setClearButtonEnabled(true);
  FFilterEdit->setFixedWidth(220);
  connect(FFilterEdit, &QLineEdit::textChanged, this, &THistoryWindow::ApplyFilter);
  FPeriodLabel = new QLabel(bar);
  top->addWidget(new QLabel(QStringLiteral("Instante:"), bar));
  top->addWidget(FInstantEdit);
  top->addWidget(FPeriodLabel, 1);
  top->addWidget(FFilterEdit);
  FSlider = new QSlider(Qt::Horizontal, bar);
  FSlider->setToolTip(QString::fromUtf8("Arraste pelo período gravado"));
  rows->addWidget(FSlider);
  FSliderPause = new QTimer(this);
  FSliderPause->setSingleShot(true);
  FSliderPause->setInterval(kSliderRest);
  connect(FSlider, &QSlider::valueChanged, this, &THistoryWindow::SliderMoved);
  connect(FSliderPause, &QTimer::timeout, this,
          [this] { ShowInstant(FPeriod.first + FSlider->value() / kSecondsPerDay); });
  return bar;
}

// The recorded period, read again since the recorder may still be writing.
void THistoryWindow::ReadPeriod() {
  FPeriod = FReader.Period();
  FPeriodLabel->setText(
      FPeriod.second > 0
          ? QString::fromUtf8("gravado de %1 a %2")
                .arg(QString::fromStdString(DateTimeToIsoText(FPeriod.first)),
                     QString::fromStdString(DateTimeToIsoText(FPeriod.second)))
          : QString::fromUtf8("nada gravado ainda"));
}

void THistoryWindow::SliderMoved(int) {
  if (!FSettingInstant) FSliderPause->start();
}

void THistoryWindow::ShowInstant(double when) {
  ReadPeriod();
  FInstant = when;
  FSettingInstant = true;
  FInstantEdit->setDateTime(ToQDateTime(when));
  FSlider->setRange(0, static_cast<int>(std::lround((FPeriod.second - FPeriod.first) * kSecondsPerDay)));
  FSlider->setValue(static_cast<int>(std::lround((when - FPeriod.first) * kSecondsPerDay)));
  FSettingInstant = false;
  TFleetView view(FReader.Hosts(), FFoldNoConnection);
  bool built = false;
  QString problem;
  try {
    built = view.Take(FReader.ReadAt(when, false, view)) &&
            view.Take(FReader.ReadAt(when, true, view));
    if (!built) problem = ToQString(view.ReadError());
  } catch (const ERecorderError& e) {
    problem = QString::fromStdString(e.what());
  }
  FTaskModel->SetRows(view.SharedTasks());
  FSessionModel->SetRows(view.Sessions().Sessions);
  FLicenceModel->SetRows(view.Sessions().Licences);
  FServerPane->SetRows(view.HostRows());
  const auto answering = std::count_if(view.HostRows().begin(), view.HostRows().end(),
                                       [](const THostRow& host) {
                                         return host.Status.State == THostState::Answering;
                                       });
  FStateLabel->setText(
      problem.isEmpty()
          ? QString::fromUtf8("Em %1: %2 de %3 servidores respondendo, %4 tarefas, %5 sessões")
                .arg(QString::fromStdString(DateTimeToIsoText(when)))
                .arg(answering)
                .arg(view.HostRows().size())
                .arg(std::count_if(view.Tasks().begin(), view.Tasks().end(),
                                   [](const TTaskRow& row) { return !row.NoConnection; }))
                .arg(view.Sessions().Total)
          : QString::fromUtf8("Não foi possível ler a gravação: %1").arg(problem));
}

void THistoryWindow::SetFilterText(const QString& text) { FFilterEdit->setText(text); }

void THistoryWindow::ApplyFilter() {
  const TRowFilter filter(FFilterEdit->text());
  FTaskModel->SetFilter(filter);
  FSessionModel->SetFilter(filter);
  FServerPane->Model()->SetFilter(filter);
}

}  // namespace quv
