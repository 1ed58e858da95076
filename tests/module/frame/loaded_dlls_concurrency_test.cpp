// Concurrent first loads of one library name.
#include <latch>
#include <thread>
#include <vector>

#include "frame/loaded_dlls.h"
#include "loaded_dlls_test_support.h"

namespace {

class LoadedDllsConcurrencyTest : public dlltest::LoadedDllsFixture {};

// Threads that ask for the same new name at once get one handle and load the
// library once: a single free at unload takes it out of the process.
TEST_F(LoadedDllsConcurrencyTest, ConcurrentFirstLoadsLoadOnce) {
    constexpr int kThreads = 8;
    const std::string path = dlltest::LibraryPath("formula");
    std::vector<HMODULE> handles(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            handles[i] = CalcLoadLibrary(path.c_str());
        });
    for (auto& t : threads) t.join();

    ASSERT_NE(handles[0], nullptr);
    for (HMODULE h : handles) EXPECT_EQ(h, handles[0]);
    EXPECT_EQ(dlltest::MapSize(), 1u);
    CalcUnloadLibrary();
    EXPECT_FALSE(dlltest::IsLoaded(path));
}

}  // namespace
