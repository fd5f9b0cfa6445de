#include <gtest/gtest.h>

#include "app/TaskRows.h"
#include "platform/Cp1252.h"
#include "tests/app/FakeServers.h"

namespace quv {
namespace {

using testing::Reply;
using testing::Session;
using testing::Task;
using testing::TRow;

// Hands out the replies of a list, one per host index.
TTakeResult Take(std::vector<std::unique_ptr<IReplyRows>>& replies) {
  return [&replies](std::size_t i) { return std::move(replies.at(i)); };
}

template <typename... R>
std::vector<std::unique_ptr<IReplyRows>> Replies(R... replies) {
  std::vector<std::unique_ptr<IReplyRows>> list;
  (list.push_back(std::move(replies)), ...);
  return list;
}

TEST(ElapsedText, ShowsAtMostTwoParts) {
  EXPECT_EQ(ElapsedText(0), "0ms");
  EXPECT_EQ(ElapsedText(1000), "1s");
  EXPECT_EQ(ElapsedText(59999), "59s");
  EXPECT_EQ(ElapsedText(60000), "1m0s");
  EXPECT_EQ(ElapsedText(125000), "2m5s");
  EXPECT_EQ(ElapsedText(3600000), "1h0m");
  EXPECT_EQ(ElapsedText(2147483647), "596h31m");
  EXPECT_EQ(ElapsedText(-2147483647), "-647ms");
}

TEST(TaskRows, ConvertFieldsAndCutTexts) {
  TRow row = Task("42", std::string(120, 'c'), "1500");
  row["clientdesc"] = std::string(60, 'a');
  row["systemcmd"] = "true";
  row["cancelled"] = "True";  // only the exact lower-case word counts
  const TTaskRow task = TaskRowFromReply(testing::TTableReply({row}), std::string(70, 'h'));
  EXPECT_EQ(task.RequestId, 42);
  EXPECT_EQ(task.ElapsedTime, 1500);
  EXPECT_EQ(task.ClientDesc, std::string(50, 'a'));
  EXPECT_EQ(task.RequestDesc, std::string(100, 'c'));
  EXPECT_EQ(task.HostLine, std::string(50, 'h'));
  EXPECT_TRUE(task.SystemCmd);
  EXPECT_FALSE(task.Cancelled);

  const TTaskRow bad = TaskRowFromReply(testing::TTableReply({Task("x1", "m", "")}), "1=h");
  EXPECT_EQ(bad.RequestId, kNotANumber);
  EXPECT_EQ(bad.ElapsedTime, kNotANumber);
  EXPECT_EQ(YesNoText(false), "Não"_cp);
  EXPECT_EQ(YesNoText(true), "Sim");
}

TEST(TaskRows, SkipThePollingRequestAndMarkSilentHosts) {
  auto replies = Replies(Reply({Task("1", "quvsystem.tasks.list", "9"), Task("2", "a.b", "5000"),
                                Task("3", "QUVSYSTEM.TASKS.LIST", "7"), Task("4", "c.d", "x")}),
                         nullptr);
  std::vector<TTaskRow> rows;
  BuildTaskRows({"A=10.0.0.5", "B=10.0.0.6"}, Take(replies), rows);
  ASSERT_EQ(rows.size(), 4u);
  // Live tasks first, larger elapsed time first (the unreadable time last),
  // then the silent host, whose time reads as a dash, never as a number.
  EXPECT_EQ(rows[0].RequestId, 2);
  EXPECT_EQ(rows[1].RequestId, 3);
  EXPECT_EQ(rows[2].RequestId, 4);
  EXPECT_EQ(rows[2].HostLine, "A=10.0.0.5");
  EXPECT_EQ(rows[3].RequestDesc, NoConnectionText());
  EXPECT_EQ(rows[3].HostLine, "B=10.0.0.6");
  EXPECT_EQ(TaskCellText(rows[3], 5), "—"_cp);
}

TEST(TaskRows, SilentHostsFoldIntoOneLastRow) {
  auto replies = Replies(nullptr, Reply({Task("2", "a.b", "5")}), nullptr, nullptr);
  std::vector<TTaskRow> rows;
  BuildTaskRows({"A=1", "B=2", "C=3", "D=4"}, Take(replies), rows);
  FoldNoConnectionRows(rows);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].RequestId, 2);
  EXPECT_TRUE(rows[1].NoConnection);
  EXPECT_EQ(rows[1].FoldedHosts, 3u);
  EXPECT_EQ(rows[1].RequestDesc, "3 servidores sem conexão"_cp);
  EXPECT_EQ(FoldedNoConnectionText(1), "1 servidor sem conexão"_cp);

  std::vector<TTaskRow> live = {rows[0]};
  FoldNoConnectionRows(live);
  EXPECT_EQ(live.size(), 1u);
}

TEST(TaskRows, AReplyWithoutAFieldStopsTheBuild) {
  TRow broken = Task("2", "x.y", "10");
  broken.erase("username");
  auto replies = Replies(Reply({Task("1", "a.b", "1"), broken}));
  std::vector<TTaskRow> rows;
  EXPECT_THROW(BuildTaskRows({"1=h"}, Take(replies), rows), Exception);
  EXPECT_EQ(rows.size(), 1u);
}

TEST(SessionView, CountsEachKeyOnceUnderItsFullLicence) {
  auto replies =
      Replies(Reply({Session("k1", "bruno", "ERP01-A"), Session("k2", "ana", "ERP01-B"),
                     Session("K1", "carla", "erp01-a")}),
              nullptr, Reply({Session("k1", "dora", "ERP01-A"), Session("k3", "Eva", "CRM")}));
  TSessionView view;
  BuildSessionView({"A=1", "B=2", "C=3"}, Take(replies), view);
  ASSERT_EQ(view.Sessions.size(), 5u);          // every row is shown
  EXPECT_EQ(view.Sessions[0].UserName, "Eva");  // byte order under the C locale
  EXPECT_EQ(view.Sessions[1].UserName, "ana");
  EXPECT_EQ(view.Sessions[1].Licence, "ERP01");
  EXPECT_EQ(view.Sessions[1].LogonTime, 46364.75);
  EXPECT_EQ(view.Sessions[1].HostLine, "A=1");
  // Keys and licences compare without regard to case: k1/K1 count once.
  ASSERT_EQ(view.Licences.size(), 3u);
  EXPECT_EQ(view.Licences[0].Licence, "CRM");
  EXPECT_EQ(view.Licences[0].Count, 1);
  EXPECT_EQ(view.Licences[1].Licence, "ERP01");
  EXPECT_EQ(view.Licences[1].Count, 1);
  EXPECT_EQ(view.Licences[2].Licence, "ERP01");  // differs after the fifth character
  EXPECT_EQ(view.Licences[2].Count, 1);
  EXPECT_EQ(view.Total, 3);
  EXPECT_EQ(SessionLabelText(view.Total), "3 sessões"_cp);
}

TEST(SessionView, LogonTimeMustBeANumber) {
  TRow row = Session("k", "u", "L");
  row["creation_time"] = "yesterday";
  auto replies = Replies(Reply({row}));
  TSessionView view;
  EXPECT_THROW(BuildSessionView({"1=h"}, Take(replies), view), Exception);
  EXPECT_TRUE(view.Licences.empty());
}

}  // namespace
}  // namespace quv
