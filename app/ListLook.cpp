#include "app/ListLook.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTreeView>

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

QString ToQString(std::string_view cp1252) { return QString::fromStdString(Cp1252ToUtf8(cp1252)); }

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

}  // namespace quv
