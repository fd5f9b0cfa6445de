#include <gtest/gtest.h>

#include "platform/StrUtils.h"

namespace quv {
namespace {

TEST(FileMask, StarsAndQuestionMarksMatchWithoutRegardToCase) {
  EXPECT_TRUE(MatchesFileMask("x!y.quv", "*!*.QUV"));
  EXPECT_FALSE(MatchesFileMask("xy.quv", "*!*.quv"));
  EXPECT_TRUE(MatchesFileMask("abc", "a?c"));
  EXPECT_FALSE(MatchesFileMask("abbc", "a?c"));
  EXPECT_TRUE(MatchesFileMask("", "*"));
  EXPECT_TRUE(MatchesFileMask("aXbXc", "a*b*c"));
  EXPECT_FALSE(MatchesFileMask("ab", "abc"));
}

}  // namespace
}  // namespace quv
