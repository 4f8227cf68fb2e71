#include <gtest/gtest.h>

#include <utility>

#include "platform/DynamicLibrary.h"
#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/WinTypes.h"

namespace {

// The test library is built into the folder of this program.
std::wstring BesideMe(const std::wstring& name) {
  const std::wstring self = sys::ExecutablePath().value_or(L"");
  return self.substr(0, self.rfind(sys::PathSeparator()) + 1) + name;
}

std::wstring TestLibraryPath() { return BesideMe(sys::FromUtf8(ZOL_TEST_LIBRARY_NAME)); }

using AddFn = int (*)(int, int);
using CountFn = int (*)();

TEST(DynamicLibraryTest, LoadsByFullPathAndFindsExports) {
  sys::DynamicLibrary library;
  ASSERT_TRUE(library.Load(TestLibraryPath())) << library.LoadErrorText();
  ASSERT_TRUE(library.IsLoaded());
  auto add = reinterpret_cast<AddFn>(library.Symbol("ZolTestAdd"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 40), 42);
  EXPECT_EQ(sys::ModulePathOf(reinterpret_cast<const void*>(add)), TestLibraryPath());

  sys::SetLastError(0);
  EXPECT_EQ(library.Symbol("ZolTestMissing"), nullptr);
  EXPECT_EQ(sys::LastError(), ERROR_PROC_NOT_FOUND);
}

TEST(DynamicLibraryTest, AMissingLibraryFailsWithModNotFound) {
  const std::wstring missing[] = {BesideMe(L"no_such_library.bin"), BesideMe(L"no_such_folder") +
                                                                       sys::PathSeparator() + L"x.bin"};
  for (const auto& path : missing) {
    sys::DynamicLibrary library;
    sys::SetLastError(0);
    EXPECT_FALSE(library.Load(path));
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_EQ(sys::LastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(library.LoadErrorText().empty());
  }
}

TEST(DynamicLibraryTest, MovingHandsOverTheLibrary) {
  sys::DynamicLibrary first;
  ASSERT_TRUE(first.Load(TestLibraryPath()));
  sys::DynamicLibrary second(std::move(first));
  EXPECT_FALSE(first.IsLoaded());  // NOLINT: checking the moved-from state
  ASSERT_TRUE(second.IsLoaded());
  sys::DynamicLibrary third;
  third = std::move(second);
  EXPECT_NE(third.Symbol("ZolTestAdd"), nullptr);
  EXPECT_EQ(first.Symbol("ZolTestAdd"), nullptr);  // NOLINT
}

TEST(DynamicLibraryTest, ALibraryKeptLoadedOutlivesItsObject) {
  CountFn count = nullptr;
  {
    sys::DynamicLibrary library;
    ASSERT_TRUE(library.Load(TestLibraryPath(), true));
    count = reinterpret_cast<CountFn>(library.Symbol("ZolTestCount"));
    ASSERT_NE(count, nullptr);
  }
  EXPECT_EQ(sys::ModulePathOf(reinterpret_cast<const void*>(count)), TestLibraryPath());
  const int before = count();
  EXPECT_EQ(count(), before + 1);
}

}  // namespace
