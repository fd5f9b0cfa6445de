#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ProcessSlot.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

// Records its end, and whether the slot still finds it while it ends.
struct TWitness {
  explicit TWitness(std::vector<std::string>& ends, std::string name)
      : Ends(ends), Name(std::move(name)) {}
  ~TWitness();
  std::vector<std::string>& Ends;
  std::string Name;
};

constinit TProcessSlot<TWitness> gFirst("first witness");
constinit TProcessSlot<TWitness> gSecond("second witness");

TWitness::~TWitness() {
  Ends.push_back(Name + (gFirst.Find() == this || gSecond.Find() == this ? " found" : " lost"));
}

TEST(ProcessSlot, PartsEndInReverseOrderAndTheirObjectIsFoundUntilItHasEnded) {
  std::vector<std::string> ends;
  {
    TScopeParts parts;
    parts.Add(gFirst.Make(ends, "first"));
    parts.Add(gSecond.Make(ends, "second"));
    EXPECT_EQ(gFirst->Name, "first");
    EXPECT_EQ(testing::MessageOf([&] { gFirst.Make(ends, "again"); }),
              "The process already has its first witness");
  }
  EXPECT_EQ(ends, (std::vector<std::string>{"second found", "first found"}));
  EXPECT_EQ(gFirst.Find(), nullptr);
  EXPECT_EQ(testing::MessageOf([] { (void)gSecond->Name; }),
            "No second witness in this process: its scope has not been made");
}

}  // namespace
}  // namespace quv
