#include <gtest/gtest.h>

#include <vector>

#include "support/List.h"

namespace quv {
namespace {

void* Item(intptr_t value) { return reinterpret_cast<void*>(value); }

TEST(List, GrowsByFourThenSixteenThenAQuarter) {
  TList list;
  std::vector<int32_t> capacities;
  for (intptr_t i = 1; i <= 100; ++i) {
    EXPECT_EQ(list.Add(Item(i)), i - 1);
    if (capacities.empty() || capacities.back() != list.Capacity())
      capacities.push_back(list.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
  EXPECT_EQ(list.Get(99), Item(100));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 0);
}

TEST(List, DeleteAndRemoveMoveTheTailDown) {
  TList list;
  for (intptr_t i = 1; i <= 5; ++i) list.Add(Item(i));
  list.Delete(1);
  EXPECT_EQ(list.Remove(Item(4)), 2);
  EXPECT_EQ(list.Remove(Item(4)), -1);
  EXPECT_EQ(list.IndexOf(Item(9)), -1);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Get(0), Item(1));
  EXPECT_EQ(list.Get(1), Item(3));
  EXPECT_EQ(list.Get(2), Item(5));
}

TEST(List, SetCountClearsTheSlotsItAdds) {
  TList list;
  for (intptr_t i = 1; i <= 5; ++i) list.Add(Item(i));
  list.SetCount(2);
  list.SetCount(4);
  EXPECT_EQ(list.Get(1), Item(2));
  EXPECT_EQ(list.Get(2), nullptr);
  EXPECT_EQ(list.Get(3), nullptr);
  list.SetCount(40);
  EXPECT_EQ(list.Capacity(), 40);
  EXPECT_EQ(list.Get(39), nullptr);
}

void ExpectListError(auto operation, const char* message, int64_t value) {
  try {
    operation();
    ADD_FAILURE() << "no error for " << message;
  } catch (const EListError& error) {
    EXPECT_EQ(error.Message(), message);
    EXPECT_EQ(error.Value(), value);
  }
}

TEST(List, RejectsIndexesAndSizesOutOfRange) {
  TList list;
  list.Add(Item(1));
  list.Add(Item(2));
  const char* index = "List index out of bounds";
  const char* capacity = "List capacity exceed";
  ExpectListError([&] { list.Get(2); }, index, 2);
  ExpectListError([&] { list.Get(-1); }, index, -1);
  ExpectListError([&] { list.Delete(2); }, index, 2);
  ExpectListError([&] { list.SetCapacity(1); }, capacity, 1);
  ExpectListError([&] { list.SetCapacity(TList::kMaxListSize); }, capacity, TList::kMaxListSize);
  ExpectListError([&] { list.SetCount(-1); }, capacity, -1);
  ExpectListError([&] { list.SetCount(TList::kMaxListSize); }, capacity, TList::kMaxListSize);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(TList().IndexOf(nullptr), -1);
}

}  // namespace
}  // namespace quv
