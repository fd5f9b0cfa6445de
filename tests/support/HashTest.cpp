#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "support/Hash.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using ::testing::ElementsAre;

// Expected values come from an independent script of the three algorithms.
struct TKnownHash {
  std::string Key;
  uint32_t Super;
  uint32_t CaseFold;
  uint32_t WordSum;
};

const TKnownHash kKnown[] = {
    {"", 0, 0, 0},
    {"a", 0x115ea782, 0x10050, 0x610061},
    {"ab", 0x516b8b44, 0x41345b0, 0x62616261},
    {"abc", 0xd2be198a, 0x506fbdb4, 0x62026261},
    {"abcd", 0xdad8b8db, 0xf5a038f, 0xa0a16261},
    {"Hello, world", 0x6a40b727, 0x25414cd3, 0xb8b20426},
    {"/usr/local/bin/quvviewer", 0xa49daf5a, 0x2e35c8e7, 0x6208aa02},
    {"C\xF3"
     "digo",
     0xe5a81aff, 0x999908df, 0x3c8862aa},
    {"\xFF\xFE\xFD", 0x547a507e, 0xbfd5add2, 0xfe02feff},
    {"\xE9", 0x69ea06c0, 0x3aa7a, 0xe900e9},
    {"abcd\xE9", 0x6f479c03, 0x76b64be9, 0xa1c8634a},
    {"xyz\x80", 0x8faa312, 0x2b08df27, 0x728a7978},
};

TEST(HashFunctions, MatchKnownValues) {
  for (const TKnownHash& k : kKnown) {
    SCOPED_TRACE(k.Key);
    EXPECT_EQ(StringHash(k.Key), k.Super);
    EXPECT_EQ(SuperFastHash(k.Key.data(), k.Key.size()), k.Super);
    EXPECT_EQ(CaseInsensitiveHash(k.Key), k.CaseFold);
    EXPECT_EQ(WordSumHash(k.Key), k.WordSum);
  }
  EXPECT_EQ(SuperFastHash(nullptr, 5), 0u);
  EXPECT_EQ(CaseInsensitiveHash("ABC"), CaseInsensitiveHash("abc"));
}

TEST(HashCapacity, IsThePrimeAboveOneAndAFifth) {
  EXPECT_EQ(HashCapacityFor(50), 61);
  EXPECT_EQ(HashCapacityFor(100), 127);
  EXPECT_EQ(HashCapacityFor(1000), 1201);
  EXPECT_EQ(THashList(10).Capacity(), 61);
  EXPECT_EQ(THashList(1000).Capacity(), 1201);
}

TEST(HashList, BucketIsTheMagnitudeOfTheSignedRemainder) {
  const THashList exact(50);
  EXPECT_EQ(exact.BucketOf(""), 0);
  EXPECT_EQ(exact.BucketOf("a"), 28);
  EXPECT_EQ(exact.BucketOf("n1"), 53);  // hash 0xb2ca3c7d is negative as a signed number
  const THashList folding(50, {.CaseInsensitive = true});
  EXPECT_EQ(folding.BucketOf("a"), 41);
  EXPECT_EQ(folding.BucketOf("n10"), 10);  // hash 0xa02afbaa
}

std::vector<std::string> KeysInOrder(const THashList& list) {
  std::vector<std::string> keys;
  list.ForEach([&](const std::string& key, void*) { keys.push_back(key); });
  return keys;
}

TEST(HashList, ChainsCollisionsAndIteratesInBucketOrder) {
  THashList list(50);
  ASSERT_EQ(list.BucketOf("k41"), list.BucketOf("k63"));
  ASSERT_EQ(list.BucketOf("k41"), list.BucketOf("k129"));
  int values[5] = {};
  list.Add("a", &values[0]);
  list.Add("k41", &values[1]);
  list.Add("ab", &values[2]);
  list.Add("k63", &values[3]);
  list.Add("k129", &values[4]);
  EXPECT_EQ(list.Count(), 5);
  EXPECT_EQ(list.Collisions(), 2);
  EXPECT_THAT(KeysInOrder(list), ElementsAre("a", "k41", "k63", "k129", "ab"));
  int* found = nullptr;
  ASSERT_TRUE(list.Find("k129", found));
  EXPECT_EQ(found, &values[4]);
  ASSERT_TRUE(list.Find("k41", found));
  EXPECT_EQ(found, &values[1]);
  EXPECT_FALSE(list.Exists("k42"));
  EXPECT_FALSE(list.Exists("A"));
}

TEST(HashList, DuplicateModes) {
  THashList strict(50);
  strict.Add("abc", THashValue::FromInt(1));
  EXPECT_EQ(testing::MessageOf([&] { strict.Add("abc", THashValue::FromInt(2)); }),
            "Duplicated item: abc");
  void* value = nullptr;
  ASSERT_TRUE(strict.Find("abc", value));
  EXPECT_EQ(reinterpret_cast<intptr_t>(value), 1);
  EXPECT_EQ(strict.Count(), 1);
  EXPECT_EQ(strict.Collisions(), 1);

  THashList ignoring(50, {.CaseInsensitive = true, .Duplicates = THashDuplicates::Ignore});
  ignoring.Add("Abc", THashValue::FromInt(1));
  ignoring.Add("ABC", THashValue::FromInt(2));
  ignoring.Add("abc\xE4", THashValue::FromInt(3));
  ignoring.Add("ABC\xC4", THashValue::FromInt(4));  // only ASCII letters fold
  EXPECT_EQ(ignoring.Count(), 3);
  ASSERT_TRUE(ignoring.Find("aBc", value));
  EXPECT_EQ(reinterpret_cast<intptr_t>(value), 1);

  THashList overwriting(50, {.Duplicates = THashDuplicates::Overwrite});
  overwriting.Add("", THashValue::FromInt(1));
  overwriting.Add("", THashValue::FromInt(2));
  EXPECT_EQ(overwriting.Count(), 1);
  ASSERT_TRUE(overwriting.Find("", value));
  EXPECT_EQ(reinterpret_cast<intptr_t>(value), 2);
}

// An owned object that writes its name into a shared log when destroyed.
struct TTracked {
  TTracked(std::string name, std::vector<std::string>& log) : Name(std::move(name)), Log(log) {}
  ~TTracked() { Log.push_back("free " + Name); }
  std::string Name;
  std::vector<std::string>& Log;
};

TEST(HashList, EmptyingAnnouncesThenReleasesInIterationOrder) {
  std::vector<std::string> log;
  auto list = std::make_unique<THashList>(50, THashListMode{.Ownership = THashOwnership::Objects});
  list->SetOnRelease([&](THashList&, void* value) {
    log.push_back(value ? "release " + static_cast<TTracked*>(value)->Name : "release nil");
  });
  list->Add("k41", std::make_unique<TTracked>("1", log));
  list->Add("a", nullptr);  // nil and alone in its bucket: not announced
  list->Add("k63", nullptr);
  list->Add("k129", std::make_unique<TTracked>("3", log));
  list->Clear();
  EXPECT_THAT(log, ElementsAre("release 1", "free 1", "release nil", "release 3", "free 3"));
  EXPECT_EQ(list->Count(), 0);
  EXPECT_EQ(list->Collisions(), 0);
  EXPECT_EQ(list->Capacity(), 61);
  EXPECT_FALSE(list->Exists("k41"));

  log.clear();
  list->Add("b", std::make_unique<TTracked>("b", log));
  list.reset();
  EXPECT_THAT(log, ElementsAre("release b", "free b"));
}

TEST(HashList, GrowingEmptiesButShrinkingKeeps) {
  int released = 0;
  THashList list(50, {.Ownership = THashOwnership::MemoryBlocks});
  list.SetOnRelease([&](THashList&, void*) { ++released; });
  list.Add("x", TMemoryBlock(std::malloc(16)));
  list.Add("y", TMemoryBlock(std::malloc(16)));
  list.SetCapacity(61);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(released, 0);
  list.SetCapacity(100);
  EXPECT_EQ(list.Capacity(), 127);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(released, 2);
}

// Caps the address space of the process while it lives, so that a huge allocation fails on any
// machine instead of being granted and touched.
class TAddressSpaceCap final {
 public:
  explicit TAddressSpaceCap(rlim_t bytes) {
    getrlimit(RLIMIT_AS, &FOld);
    rlimit capped = FOld;
    capped.rlim_cur = std::min(bytes, FOld.rlim_max);
    setrlimit(RLIMIT_AS, &capped);
  }
  ~TAddressSpaceCap() { setrlimit(RLIMIT_AS, &FOld); }
  TAddressSpaceCap(const TAddressSpaceCap&) = delete;
  TAddressSpaceCap& operator=(const TAddressSpaceCap&) = delete;

 private:
  rlimit FOld{};
};

TEST(HashList, FailedGrowthKeepsTheTable) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators end the process instead of raising bad_alloc";
#endif
  THashList list(50, {.Ownership = THashOwnership::MemoryBlocks});
  list.Add("x", TMemoryBlock(std::malloc(16)));
  {
    const TAddressSpaceCap cap(rlim_t(32) << 30);
    EXPECT_THROW(list.SetCapacity(1'700'000'000), std::bad_alloc);
  }
  EXPECT_EQ(list.Capacity(), 61);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_TRUE(list.Exists("x"));
  EXPECT_FALSE(list.Exists("absent"));
  list.SetCapacity(100);
  EXPECT_EQ(list.Capacity(), 127);
  EXPECT_EQ(list.Count(), 0);
}

TEST(HashList, OwnedValuesNeverLeak) {
  std::vector<std::string> log;
  THashList list(50, {.Ownership = THashOwnership::Objects, .Duplicates = THashDuplicates::Ignore});
  list.Add("k", std::make_unique<TTracked>("first", log));
  list.Add("k", std::make_unique<TTracked>("ignored", log));
  EXPECT_THAT(log, ElementsAre("free ignored"));

  THashList overwriting(
      50, {.Ownership = THashOwnership::Objects, .Duplicates = THashDuplicates::Overwrite});
  overwriting.Add("k", std::make_unique<TTracked>("old", log));
  overwriting.Add("k", std::make_unique<TTracked>("new", log));
  EXPECT_EQ(log.back(), "free old");

  int borrowed = 0;
  EXPECT_THROW(list.Add("other", &borrowed), Exception);
  EXPECT_THROW(list.Add("other", TMemoryBlock(std::malloc(1))), Exception);
  EXPECT_FALSE(list.Exists("other"));
}

TEST(HashList, LoadCommaTextAddsEveryItem) {
  THashList list(50, {.Duplicates = THashDuplicates::Ignore});
  list.LoadCommaText(" a, b\t\"c d\" \"e\"\"f\",,g,");
  EXPECT_EQ(list.Count(), 6);
  for (const char* key : {"a", "b", "c d", "e\"f", "", "g"}) EXPECT_TRUE(list.Exists(key)) << key;
  EXPECT_FALSE(list.Exists("c"));
  void* value = &list;
  ASSERT_TRUE(list.Find("g", value));
  EXPECT_EQ(value, nullptr);

  THashList unterminated(50);
  unterminated.LoadCommaText("x \"y, z");
  EXPECT_TRUE(unterminated.Exists("y, z"));
  EXPECT_EQ(unterminated.Count(), 2);

  std::string many;
  for (int i = 0; i < 100; ++i) many += "w" + std::to_string(i) + ",";
  THashList sized(50);
  sized.LoadCommaText(many);  // 100 items and the empty one after the final comma
  EXPECT_EQ(sized.Capacity(), HashCapacityFor(101));
  EXPECT_EQ(sized.Count(), 101);
}

TEST(IntegerHash, MapsKeysToIntegers) {
  TIntegerHash hash;
  EXPECT_EQ(hash.GetItem("m0"), -1);
  ASSERT_EQ(WordSumHash("m0") & THash::kMask, WordSumHash("m1") & THash::kMask);
  hash.SetItem("m0", 10);
  hash.SetItem("m1", 11);
  hash.SetItem("", 12);
  hash.SetItem("m0", 20);
  EXPECT_EQ(hash.GetItem("m0"), 20);
  EXPECT_EQ(hash.GetItem("m1"), 11);
  EXPECT_EQ(hash.GetItem(""), 12);
  EXPECT_EQ(hash.GetItem("m2"), -1);
  hash.Clear();
  EXPECT_EQ(hash.GetItem("m1"), -1);
  hash.SetItem("m2", 7);
  EXPECT_EQ(hash.GetItem("m2"), 7);
}

}  // namespace
}  // namespace quv
