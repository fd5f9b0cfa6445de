#include "app/ListLook.h"

#include <QBoxLayout>
#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTreeView>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"

namespace quv {

namespace {

const QColor kGridLineColour(216, 216, 216);
const QColor kSelectionColour(29, 85, 181);
const QColor kInactiveSelectionColour(91, 124, 184);

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

}  // namespace

QFont WindowFont() {
  QFont font;
  font.setFamilies(
      {QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
  font.setPointSize(8);
  return font;
}

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

int HostColumnWidth(const std::vector<std::string>& hosts) {
  // Room beside the longest label.
  constexpr int kHostColumnPadding = 16;
  if (hosts.size() < 2) return 0;
  const QFontMetrics metrics(WindowFont());
  int width = metrics.horizontalAdvance(QStringLiteral("Host"));
  for (const std::string& line : hosts)
    width = std::max(width, metrics.horizontalAdvance(QString::fromStdString(
                                Cp1252ToUtf8(HostLabel(line)))));
  return width + kHostColumnPadding;
}

TListPages BuildListPages(QWidget* parent) {
  // Margins that leave the trees 24 pixels narrower than the window.
  constexpr int kPageMargin = 10;
  constexpr int kLicenceWidth = 200;
  TListPages built;
  built.Pages = new QTabWidget(parent);
  auto* taskPage = new QWidget;
  auto* sessionPage = new QWidget;
  built.Tasks = new QTreeView(taskPage);
  built.Sessions = new QTreeView(sessionPage);
  built.Licences = new QTreeView(sessionPage);
  auto* taskLayout = new QVBoxLayout(taskPage);
  taskLayout->setContentsMargins(kPageMargin, kPageMargin, kPageMargin, kPageMargin);
  taskLayout->addWidget(built.Tasks);
  auto* sessionLayout = new QHBoxLayout(sessionPage);
  sessionLayout->setContentsMargins(kPageMargin, kPageMargin, kPageMargin, kPageMargin);
  sessionLayout->setSpacing(0);
  sessionLayout->addWidget(built.Sessions, 1);
  built.Licences->setFixedWidth(kLicenceWidth);
  sessionLayout->addWidget(built.Licences);
  built.Pages->addTab(taskPage, QStringLiteral("Tarefas"));
  built.Pages->addTab(sessionPage, QString::fromUtf8("Usuários"));
  return built;
}

void SetUpTree(QTreeView* tree, QAbstractItemModel* model, const std::vector<TColumnDef>& columns) {
  tree->setModel(model);
  tree->setRootIsDecorated(false);
  tree->setUniformRowHeights(true);
  tree->setSelectionBehavior(QAbstractItemView::SelectRows);
  tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tree->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  tree->setSortingEnabled(false);
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

void SetUpHeaderMenu(QTreeView* tree, int defaultColumn,
                     const std::function<void(QHeaderView*, int column)>& clicked,
                     const std::function<void()>& reset) {
  QHeaderView* header = tree->header();
  header->setSortIndicator(defaultColumn, Qt::AscendingOrder);
  header->setSectionsClickable(true);
  QObject::connect(header, &QHeaderView::sectionClicked, tree,
                   [header, clicked](int column) { clicked(header, column); });
  header->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(header, &QHeaderView::customContextMenuRequested, tree,
                   [header, reset](const QPoint& at) {
                     QMenu menu;
                     menu.addAction(QString::fromUtf8("Ordem padrão"), reset);
                     menu.addSeparator();
                     // The column chooser: every column with a width of its own can be hidden.
                     for (int column = 0; column < header->count(); ++column) {
                       if (header->isSectionHidden(column) ? false
                                                           : header->sectionSize(column) == 0)
                         continue;
                       QAction* action = menu.addAction(
                           header->model()->headerData(column, Qt::Horizontal).toString());
                       action->setCheckable(true);
                       action->setChecked(!header->isSectionHidden(column));
                       QObject::connect(action, &QAction::toggled, header, [header, column](bool shown) {
                         header->setSectionHidden(column, !shown);
                       });
                     }
                     menu.exec(header->mapToGlobal(at));
                   });
}

}  // namespace quv
