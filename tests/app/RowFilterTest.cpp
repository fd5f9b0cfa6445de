#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <vector>

#include "app/RowFilter.h"
#include "app/RowTableModel.h"

namespace quv {
namespace {

std::vector<TColumnDef> TaskColumns() {
  std::vector<TColumnDef> columns;
  for (const char* title :
       {"Canc", "Id", "IP Addr", "Host", "Commando", "Tempo", "Sistema", "Usuário"})
    columns.push_back({QString::fromUtf8(title), 60});
  return columns;
}

std::vector<TColumnDef> ServerColumns() {
  std::vector<TColumnDef> columns;
  for (const char* title : {"Host", "Endereço", "Estado", "Causa", "Resposta", "Última resposta",
                            "Tarefas", "Mais antiga", "Sessões", "Licenças"})
    columns.push_back({QString::fromUtf8(title), 60});
  return columns;
}

QStringList Task(const char* host, const char* command, const char* user) {
  return {"",      "7",  "10.1.0.7:5000",          host,
          command, "1s", QString::fromUtf8("Não"), QString::fromUtf8(user)};
}

// The rows of `rows` that pass `text` on a list with `columns`, by their index.
std::vector<int> Passing(const QString& text, const std::vector<QStringList>& rows,
                         const std::vector<TColumnDef>& columns = TaskColumns()) {
  const TRowMatcher matcher = TRowFilter(text).For(columns);
  std::vector<int> passing;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (matcher.Matches([&](int column) { return rows[i].value(column); }))
      passing.push_back(static_cast<int>(i));
  return passing;
}

const std::vector<QStringList> kTasks{
    Task("A", "app.run batch", "ana"),      // 0
    Task("B", "sleep 10", "Ana.Maria"),     // 1
    Task("B", "app.report", "joão"),        // 2
    Task("ana-host", "app.run", "carlos"),  // 3
};

using Rows = std::vector<int>;

TEST(RowFilter, PlainTextAndWholeExpressionWorkAsBefore) {
  EXPECT_EQ(Passing("", kTasks), Rows({0, 1, 2, 3}));
  EXPECT_TRUE(TRowFilter("").IsEmpty());
  EXPECT_TRUE(TRowFilter("  ").IsEmpty());
  EXPECT_EQ(Passing("ANA", kTasks), Rows({0, 1, 3}));  // any column, without regard to case
  EXPECT_EQ(Passing("/^app\\.r/", kTasks), Rows({0, 2, 3}));
  // A whole text between slashes is one expression, blanks included.
  EXPECT_EQ(Passing("/run batch|sleep /", kTasks), Rows({0, 1}));
}

TEST(RowFilter, FieldLooksOnlyInItsColumn) {
  EXPECT_EQ(Passing("user:ana", kTasks), Rows({0, 1}));  // not the host "ana-host"
  EXPECT_EQ(Passing("host:ana", kTasks), Rows({3}));
  EXPECT_EQ(Passing("user:/^ana$/", kTasks), Rows({0}));
  EXPECT_EQ(Passing("user:", kTasks), Rows({0, 1, 2, 3}));
}

TEST(RowFilter, FieldNamesIgnoreCaseAccentsAndBlanksAndHaveAliases) {
  for (const char* name : {"usuário", "USUARIO", "user"})
    EXPECT_EQ(Passing(QString::fromUtf8(name) + ":joão", kTasks), Rows({2})) << name;
  for (const char* name : {"cmd", "command", "comando", "Commando"})
    EXPECT_EQ(Passing(QString(name) + ":sleep", kTasks), Rows({1})) << name;
  EXPECT_EQ(Passing("ipaddr:10.1.0", kTasks), Rows({0, 1, 2, 3}));
  EXPECT_EQ(Passing("ip:10.9", kTasks), Rows({}));

  const std::vector<QStringList> servers{
      {"A", "10.2.0.1", "respondendo"},
      {"B", "10.2.0.2", QString::fromUtf8("sem conexão"), "recusada"}};
  EXPECT_EQ(Passing("ip:10.2.0.2", servers, ServerColumns()), Rows({1}));  // Endereço there
  EXPECT_EQ(Passing("state:sem cause:recus", servers, ServerColumns()), Rows({1}));
  EXPECT_EQ(Passing("estado:resp", servers, ServerColumns()), Rows({0}));

  const std::vector<TColumnDef> sessions{{QString::fromUtf8("Usuário"), 60},
                                         {QString::fromUtf8("Licença"), 60}};
  for (const char* name : {"licence", "license", "licenca", "licença"})
    EXPECT_EQ(Passing(QString::fromUtf8(name) + ":pro", {{"ana", "PRO"}, {"rui", "ENT"}}, sessions),
              Rows({0}))
        << name;
}

TEST(RowFilter, TermsCombineWithAndAndNegate) {
  EXPECT_EQ(Passing("user:ana host:B", kTasks), Rows({1}));
  EXPECT_EQ(Passing("app !run", kTasks), Rows({2}));
  EXPECT_EQ(Passing("-sleep", kTasks), Rows({0, 2, 3}));
  EXPECT_EQ(Passing("!user:ana", kTasks), Rows({2, 3}));
  EXPECT_EQ(Passing("!/^app/", kTasks), Rows({1}));
  EXPECT_EQ(Passing("user:ana host:B !sleep", kTasks), Rows({}));
}

TEST(RowFilter, QuotesHoldBlanksAndColons) {
  EXPECT_EQ(Passing("cmd:\"run batch\"", kTasks), Rows({0}));
  EXPECT_EQ(Passing("batch app.run", kTasks), Rows({0}));  // each term anywhere
  EXPECT_EQ(Passing("\"batch app.run\"", kTasks), Rows({}));
  EXPECT_EQ(Passing("\"app.run batch\"", kTasks), Rows({0}));
  EXPECT_EQ(Passing("\"user:ana\"", kTasks), Rows({}));  // text to look for, not a field
  EXPECT_EQ(Passing("\"-sleep\"", kTasks), Rows({}));    // nor a negation
  EXPECT_EQ(Passing("cmd:\"/run b|sleep /\"", kTasks), Rows({0, 1}));
}

TEST(RowFilter, FieldTheListLacksLeavesItAlone) {
  const std::vector<QStringList> servers{{"A"}, {"B"}};
  EXPECT_EQ(Passing("user:ana host:B", servers, ServerColumns()), Rows({1}));
  EXPECT_EQ(Passing("!user:ana", servers, ServerColumns()), Rows({0, 1}));
  EXPECT_EQ(Passing("nofield:x", kTasks), Rows({0, 1, 2, 3}));
}

TEST(RowFilter, ColonAfterNonLettersIsText) {
  EXPECT_EQ(Passing("10.1.0.7:5000", kTasks), Rows({0, 1, 2, 3}));
  EXPECT_EQ(Passing("10.1.0.7:6000", kTasks), Rows({}));
  EXPECT_EQ(Passing(":5000", kTasks), Rows({0, 1, 2, 3}));
}

TEST(RowFilter, HiddenColumnsAnswerOnlyByName) {
  std::vector<TColumnDef> columns = TaskColumns();
  columns[3].Width = 0;  // the host column of a single-host window
  EXPECT_EQ(Passing("ana-host", kTasks, columns), Rows({}));
  EXPECT_EQ(Passing("host:ana-host", kTasks, columns), Rows({3}));
}

TEST(RowFilter, ModelShowsTheRowsThatPassSorted) {
  std::vector<TColumnDef> columns = TaskColumns();
  columns[7].Width = 0;
  TRowLook<QStringList> look{
      [](const QStringList& row, int column) { return row.value(column); },
      [](const QStringList& row, int column) -> QVariant { return row.value(column); }, nullptr,
      nullptr};
  TRowTableModel<QStringList> model(columns, look, nullptr);
  model.SetRows(kTasks);
  model.SetSort(4, Qt::DescendingOrder);
  model.SetFilter(TRowFilter("user:ana"));
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.RowAt(model.index(0, 0))->value(4), "sleep 10");
  EXPECT_EQ(model.RowAt(model.index(1, 0))->value(4), "app.run batch");
  model.SetFilter(TRowFilter("carlos"));  // the user column is hidden
  EXPECT_EQ(model.rowCount(), 0);
}

TEST(RowFilter, InvalidExpressionAnywhereKeepsEveryRow) {
  for (const char* text : {"/(/", "user:/(/", "host:B !/[a/", "/a/ /(/"}) {
    EXPECT_FALSE(TRowFilter(text).IsValid()) << text;
    EXPECT_EQ(Passing(text, kTasks), Rows({0, 1, 2, 3})) << text;
  }
  EXPECT_TRUE(TRowFilter("user:/a/ !/b/ x").IsValid());
}

TEST(RowFilter, OddTextsNeverFailAndLoneSignsAreText) {
  const std::vector<QStringList> rows{{"a!b", "c-d"}, {"x", "y"}};
  const std::vector<TColumnDef> columns{{"Host", 60}, {"Estado", 60}};
  EXPECT_EQ(Passing("!", rows, columns), Rows({0}));
  EXPECT_EQ(Passing("-", rows, columns), Rows({0}));
  EXPECT_EQ(Passing("!!b", rows, columns), Rows({1}));
  for (const char* text : {"\"", "\"\"", "!\"\"", "host:\"", ":", "::", "a:b:c", "/", "//", "\"a b",
                           "!:", "host:!", "-host:", "\t\n", "ã:x", "x\"y\"z"})
    EXPECT_NO_FATAL_FAILURE(Passing(QString::fromUtf8(text), rows, columns)) << text;
}

}  // namespace
}  // namespace quv
