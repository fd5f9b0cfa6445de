#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"

namespace quv {
namespace {

TEST(DynamicLibrary, WindowsNamesMapToSharedObjectsInTheFolder) {
  EXPECT_EQ(LibraryFileName("quvbrokerbridge.dll", "/opt/quv"), "/opt/quv/libquvbrokerbridge.so");
  EXPECT_EQ(LibraryFileName("quvConn.DLL", "/opt/quv/"), "/opt/quv/libquvConn.so");
  EXPECT_EQ(LibraryFileName("plain", "/opt"), "/opt/libplain.so");
}

TEST(DynamicLibrary, MissingLibraryIsNotLoadedAndHasNoSymbols) {
  const TDynamicLibrary library = TDynamicLibrary::Load("/nonexistent/libnothing.so");
  EXPECT_FALSE(library.Loaded());
  EXPECT_FALSE(library.LoadError().empty());
  EXPECT_EQ(library.Symbol("GetContext"), nullptr);
}

}  // namespace
}  // namespace quv
