// Lines written by several threads at once.
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
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

// Two processes write through one file while it is emptied at its size cap
// over and over. Every line written after the last emptying is there and
// whole: each process's remaining lines are its last ones, none missing in
// between, and no line is torn.
TEST_F(LogConcurrencyTest, TwoProcessesSharingTheFileAcrossEmptyingsLoseNoLines) {
    constexpr int kProcesses = 2;
    constexpr int kLines = 3000;  // each; about 11 MB in all: many emptyings at LogSize 1
    constexpr int kAhead = 16;    // lines a process may write ahead of the other
    const std::string padding(400, 'x');
    SetValue("MorvaCalc", "LogSize", REG_DWORD, Dword(1));
    // Each process's lines written so far, shared so that neither gets more
    // than kAhead lines ahead of the other: both write up to the end.
    struct Counts {
        std::atomic<int> of[kProcesses];
    };
    void* memory =
        ::mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    std::atomic<int>* written = (new (memory) Counts{})->of;
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CDiagnosticLog log;
            InitializeModuleLog(log);
            char start;
            if (::read(go[0], &start, 1) != 1) ::_exit(2);
            for (int n = 0; n < kLines; written[p].store(++n)) {
                while (n > written[1 - p].load() + kAhead && written[1 - p].load() < kLines)
                    std::this_thread::yield();
                log.WriteLine(u"CMvWorker::Run",
                              mv::ToUtf16("process " + std::to_string(p) + " line " +
                                          std::to_string(n) + " " + padding));
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ASSERT_EQ(::write(go[1], "gg", kProcesses), kProcesses);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ::close(go[0]);
    ::close(go[1]);

    // A process that empties the file writes its byte-order mark after
    // opening it, so another's line may come first: marks are skipped
    // wherever they are.
    const std::string bytes = logtest::ReadBytes(DefaultFile());
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        if (char16_t c = static_cast<unsigned char>(bytes[i]) |
                         static_cast<unsigned char>(bytes[i + 1]) << 8;
            c != u'\r' && c != u'\uFEFF')
            units.push_back(c);
    const std::string text = mv::ToUtf8(units);
    constexpr const char* kStamp = ") 03/07/2024 14:05:09.042 CMvWorker::Run: process ";
    std::map<int, std::vector<int>> kept;
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string one = text.substr(from, end - from);
        int id = -1, p = -1, n = -1;
        const size_t stamp = one.find(kStamp);
        ASSERT_NE(stamp, std::string::npos) << one;
        ASSERT_EQ(std::sscanf(one.c_str(), "(%d", &id), 1) << one;
        ASSERT_EQ(std::sscanf(one.c_str() + stamp + std::strlen(kStamp), "%d line %d", &p, &n), 2)
            << one;
        ASSERT_EQ(one, "(" + std::to_string(id) + kStamp + std::to_string(p) + " line " +
                           std::to_string(n) + " " + padding)
            << "a torn line";
        kept[p].push_back(n);
    }
    EXPECT_EQ(from, text.size()) << "the file ends inside a line";
    ASSERT_FALSE(kept.empty());
    for (const auto& [p, lines] : kept) {
        SCOPED_TRACE("process " + std::to_string(p));
        EXPECT_EQ(lines.back(), kLines - 1);
        for (size_t i = 1; i < lines.size(); ++i) {
            ASSERT_EQ(lines[i], lines[i - 1] + 1) << "lines lost after line " << lines[i - 1];
        }
    }
    // Written in step, the two keep about as many lines each.
    ASSERT_EQ(kept.size(), static_cast<size_t>(kProcesses));
    EXPECT_LE(std::abs(static_cast<int>(kept[0].size()) - static_cast<int>(kept[1].size())),
              2 * kAhead + 1)
        << kept[0].size() << " and " << kept[1].size() << " lines kept";
    ::munmap(memory, sizeof(Counts));
}

}  // namespace
