#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader/quvUpdateDescriptor.h"

namespace quv {
namespace {

const char* const kText =
    "[Attributes]\r\nGlobalVersion=7\r\nCheckSum=4294967295\r\nAge=1700000000\r\n"
    "IsPack=Yes\r\nExists=0\r\n"
    "[17]\r\nDiff_Files=lib.quv.17.diff\r\n"
    "[hard_dependencies]\r\n1=a.quv\r\n2=b.upd\r\n"
    "[source]\r\nLINUX=lib_linux.quv\r\n";

TEST(UpdateDescriptor, ReadsItsAttributesSectionsAndDefaults) {
  const TUpdateDescriptor descriptor(kText);
  EXPECT_EQ(descriptor.GlobalVersion(), "7");
  EXPECT_EQ(descriptor.CheckSum(), 4294967295u);
  EXPECT_EQ(descriptor.Age(), 1700000000);
  EXPECT_TRUE(descriptor.Flag("IsPack"));
  EXPECT_FALSE(descriptor.Exists());
  EXPECT_EQ(descriptor.DiffFile(17), "lib.quv.17.diff");
  EXPECT_EQ(descriptor.DiffFile(18), "");
  EXPECT_EQ(descriptor.HardDependencies(), (std::vector<std::string>{"a.quv", "b.upd"}));
  EXPECT_EQ(descriptor.SourceFor("LINUX", "lib.quv"), "lib_linux.quv");
  EXPECT_EQ(descriptor.SourceFor("WIN_10", "lib.quv"), "lib.quv");
  EXPECT_EQ(TUpdateDescriptor("[source]\nELSE=x\n").SourceFor("WIN_10", "lib.quv"), "x");

  const TUpdateDescriptor empty("");
  EXPECT_TRUE(empty.Exists());
  EXPECT_EQ(empty.CheckSum(), 0u);
  EXPECT_EQ(empty.Age(), 0);
  EXPECT_FALSE(empty.UnzipPackPending());
  // Numbers that do not fit or are not numbers read as 0.
  const TUpdateDescriptor odd("[Attributes]\nCheckSum=4294967296\nAge=12x\nExists=maybe\n");
  EXPECT_EQ(odd.CheckSum(), 0u);
  EXPECT_EQ(odd.Age(), 0);
  EXPECT_TRUE(odd.Exists());
}

TEST(UpdateDescriptor, SettingAndRemovingAValueKeepsTheOtherLines) {
  TUpdateDescriptor descriptor("[source]\r\nELSE=x\r\n[attributes]\r\nAge=5\r\n");
  descriptor.SetAttribute("UnzipPackPending", "1");
  EXPECT_EQ(descriptor.Text(),
            "[source]\r\nELSE=x\r\n[attributes]\r\nUnzipPackPending=1\r\nAge=5\r\n");
  EXPECT_TRUE(descriptor.UnzipPackPending());
  descriptor.RemoveAttribute("unzippackpending");
  EXPECT_EQ(descriptor.Text(), "[source]\r\nELSE=x\r\n[attributes]\r\nAge=5\r\n");

  // Byte-order marks in front of the first section are no part of its name;
  // with two of them, the edit once kept the old value beside the new one.
  for (const std::string marks : {"\xEF\xBB\xBF", "\xEF\xBB\xBF\xEF\xBB\xBF"}) {
    TUpdateDescriptor marked(marks + "[Attributes]\nUnzipPackPending=0\n");
    marked.SetAttribute("UnzipPackPending", "1");
    EXPECT_EQ(marked.Text(), "[Attributes]\r\nUnzipPackPending=1\r\n");
  }

  TUpdateDescriptor bare("");
  bare.SetAttribute("GlobalVersion", "3");
  EXPECT_EQ(bare.Text(), "[Attributes]\r\nGlobalVersion=3\r\n");
}

// Sections and keys are found through an index, so a text this size reads in
// well under a second (a key looked up by walking its section made 200,000
// dependencies take minutes); every entry is still found.
TEST(UpdateDescriptor, AVeryLongDescriptorIsReadWhole) {
  constexpr std::size_t kCount = 200000;
  std::string text = "[Attributes]\r\nCheckSum=7\r\n[hard_dependencies]\r\n";
  for (std::size_t i = 0; i < kCount; ++i)
    text += std::to_string(i) + "=d" + std::to_string(i) + "\r\n";
  for (std::size_t i = 0; i < kCount; ++i)
    text += "[" + std::to_string(i) + "]\r\nDiff_Files=f\r\n";
  TUpdateDescriptor descriptor(text);
  const std::vector<std::string> dependencies = descriptor.HardDependencies();
  EXPECT_EQ(descriptor.DiffFile(kCount - 1), "f");
  descriptor.SetAttribute("UnzipPackPending", "1");
  ASSERT_EQ(dependencies.size(), kCount);
  EXPECT_EQ(dependencies.back(), "d" + std::to_string(kCount - 1));
  EXPECT_EQ(descriptor.CheckSum(), 7u);
  // A repeated key reads as its first value, as a single lookup gives it.
  EXPECT_EQ(TUpdateDescriptor("[hard_dependencies]\n1=a\n1=b\n2=c\n").HardDependencies(),
            (std::vector<std::string>{"a", "a", "c"}));
}

}  // namespace
}  // namespace quv
