// Lines written by several threads at once.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include "frame/diagnostic_log.h"
#include "log_test_support.h"

namespace {

// How many thread-exit destructors this thread has registered with the C
// library.
thread_local int t_threadExitRegistrations = 0;

}  // namespace

// Counts each registration on its way to the C library, which fails it
// (ending the process) when memory has run out.
extern "C" int __cxa_thread_atexit_impl(void (*destructor)(void*), void* object, void* dso) {
    ++t_threadExitRegistrations;
    using Register = int (*)(void (*)(void*), void*, void*);
    static const auto next =
        reinterpret_cast<Register>(dlsym(RTLD_NEXT, "__cxa_thread_atexit_impl"));
    return next(destructor, object, dso);
}

namespace {

class LogConcurrencyTest : public logtest::LogFixture {};

// Every line arrives whole: no two lines interleave, none is lost, and no
// byte-order mark appears after the first.
TEST_F(LogConcurrencyTest, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 6;
    constexpr int kLines = 40;
    CDiagnosticLog log;
    InitializeModuleLog(log);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            mv::SetThreadUserNameForTesting("alice");
            start.arrive_and_wait();
            for (int n = 0; n < kLines; ++n)
                log.WriteLine(u"CMvWorker::Run", mv::ToUtf16("thread " + std::to_string(i) +
                                                             " line " + std::to_string(n)));
        });
    for (auto& t : threads) t.join();

    const std::string bytes = logtest::ReadBytes(DefaultFile());
    ASSERT_EQ(bytes.compare(0, 2, logtest::kBom), 0);
    EXPECT_EQ(bytes.find(logtest::kBom, 2), std::string::npos);

    const std::string text = logtest::ReadText(DefaultFile());
    constexpr const char* kStamp = ") 03/07/2024 14:05:09.042 CMvWorker::Run: thread ";
    std::map<int, int> next;  // each thread's lines arrive in its own order
    size_t from = 0;
    int count = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string one = text.substr(from, end - from);
        int id = -1, thread = -1, n = -1;
        const size_t stamp = one.find(kStamp);
        ASSERT_NE(stamp, std::string::npos) << one;
        ASSERT_EQ(std::sscanf(one.c_str(), "(%d", &id), 1) << one;
        ASSERT_EQ(std::sscanf(one.c_str() + stamp + std::strlen(kStamp), "%d line %d", &thread, &n),
                  2)
            << one;
        // The numbers read give back the whole line: nothing else is in it.
        ASSERT_EQ(one, "(" + std::to_string(id) + kStamp + std::to_string(thread) + " line " +
                           std::to_string(n))
            << one;
        EXPECT_EQ(n, next[thread]++);
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// A thread's first line registers nothing to run at the thread's end, and
// the process looks the user's name up once, not once per thread.
TEST_F(LogConcurrencyTest, NewThreadsShareOneLookUpOfTheUserName) {
    constexpr int kThreads = 32;
    CDiagnosticLog log;
    InitializeModuleLog(log);
    const uint64_t lookupsBefore = mv::UserNameLookupsForTesting();
    std::latch start(kThreads);
    std::vector<int> registrations(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            const int before = t_threadExitRegistrations;
            log.WriteLine(u"CMvWorker::Run", u"first line");
            registrations[i] = t_threadExitRegistrations - before;
        });
    for (auto& t : threads) t.join();

    EXPECT_LE(mv::UserNameLookupsForTesting() - lookupsBefore, 1u)
        << "none when an earlier line of the process looked it up";
    EXPECT_EQ(registrations, std::vector<int>(kThreads, 0));
    mv::SetThreadUserNameForTesting(nullptr);
    char user[256];
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    const std::string text = logtest::ReadText(DefaultFile(user));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kThreads) << text;
}

}  // namespace
