// Lines written by several threads at once.
#include <cstdio>
#include <cstring>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include "frame/diagnostic_log.h"
#include "log_test_support.h"

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

}  // namespace
