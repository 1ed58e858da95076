// Lines written by several threads at once.
#include <latch>
#include <map>
#include <regex>
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
    const std::regex line(
        R"(\((\d+)\) 03/07/2024 14:05:09\.042 CMvWorker::Run: thread (\d) line (\d+))");
    std::map<int, int> next;  // each thread's lines arrive in its own order
    size_t from = 0;
    int count = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
        std::smatch m;
        const std::string one = text.substr(from, end - from);
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        const int thread = std::stoi(m[2]);
        EXPECT_EQ(std::stoi(m[3]), next[thread]++);
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
