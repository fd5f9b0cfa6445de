#include "app/DetailsPane.h"

#include <QHeaderView>

#include "platform/Cp1252.h"

namespace quv {

namespace {

QString Text(const std::string& cp1252) {
  return QString::fromStdString(Cp1252ToUtf8(cp1252));
}

}  // namespace

TDetailsPane::TDetailsPane(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(2);
  setHeaderLabels({QStringLiteral("Campo"), QStringLiteral("Valor")});
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  header()->setStretchLastSection(true);
  header()->resizeSection(0, 110);
  Clear();
}

void TDetailsPane::ShowFields(const QString& title, const TReplyFields& fields) {
  if (!fields) {
    Clear();
    return;
  }
  clear();
  setToolTip(title);
  for (const auto& [name, value] : fields.Fields())
    addTopLevelItem(new QTreeWidgetItem(QStringList{Text(name), Text(value)}));
}

void TDetailsPane::Clear() {
  clear();
  setToolTip(QString());
  auto* hint = new QTreeWidgetItem(
      QStringList{QString(), QString::fromUtf8("Escolha uma linha para ver todos os seus campos")});
  hint->setFlags(Qt::NoItemFlags);
  addTopLevelItem(hint);
}

}  // namespace quv
