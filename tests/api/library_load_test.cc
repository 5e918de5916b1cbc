// The shared library as a host sees it: loading and unloading it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "recorder.h"
#include "support/process_state.h"

namespace {

// Three rounds of load and unload: the first calls nothing, the second counts the fresh
// registry, the third creates two recorders (which start threads) and ends them first.
TEST(LibraryLoadTest, LoadingAndUnloadingLeavesNoThreadAndNoDescriptor) {
  const int threadsBefore = testsupport::BaselineThreadCount();
  const auto descriptorsBefore = testsupport::OpenDescriptors();
  for (int round = 0; round < 3; ++round) {
    void* library = dlopen(RECORDER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = reinterpret_cast<decltype(&_RECORDER_INIT)>(dlsym(library, "_RECORDER_INIT"));
    auto end = reinterpret_cast<decltype(&_RECORDER_END)>(dlsym(library, "_RECORDER_END"));
    auto count =
        reinterpret_cast<decltype(&_RECORDER_GETCOUNT)>(dlsym(library, "_RECORDER_GETCOUNT"));
    ASSERT_TRUE(init && end && count);
    EXPECT_EQ(round > 0 ? count() : 0, 0);
    if (round == 2) {
      RECORDER_HANDLE a = init("one", 0, nullptr);
      RECORDER_HANDLE b = init("two", 0, nullptr);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(count(), 2);
      EXPECT_GT(testsupport::ThreadCount(), threadsBefore);
      end(a);
      end(b);
      EXPECT_EQ(count(), 0);
    }
    EXPECT_EQ(dlclose(library), 0);
  }
  EXPECT_TRUE(testsupport::WaitForThreadCount(threadsBefore));
  EXPECT_EQ(testsupport::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
