// Lines written by several threads at once.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

// Another writer holds the file's lock while it gives a new file its mark,
// or empties the file past the cap. A line that finds the file new, or whose
// write ends past the cap, meanwhile waits for it and then finds the mark
// there, or the file emptied: it writes no second mark and does not empty
// the file again (which would take away the other's line), and it writes
// its line after the other's.
TEST_F(LogConcurrencyTest, ALineWaitsForAnotherWriterGivingTheFileItsMarkOrEmptyingIt) {
    SetValue("MorvaCalc", "LogSize", REG_DWORD, Dword(1));
    const std::string otherStart =
        logtest::kBom + logtest::FileBytes("(1) 03/07/2024 14:05:09.042 other\n");
    for (bool newFile : {true, false}) {
        SCOPED_TRACE(newFile ? "new file" : "past the cap");
        CDiagnosticLog log;
        InitializeModuleLog(log);
        std::filesystem::create_directories(LogFolder());
        std::filesystem::remove(DefaultFile());
        const int other = ::open(DefaultFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, LOCK_EX), 0);
        std::string line;  // as the writing thread writes it
        std::atomic<bool> done{false};
        std::thread writer([&] {
            mv::SetThreadUserNameForTesting("alice");
            line = logtest::FileBytes(logtest::LinePrefix() + "late: x\n");
            if (!newFile) {  // a file that the line takes one byte past the cap
                std::ofstream(DefaultFile(), std::ios::binary) << logtest::kBom;
                std::filesystem::resize_file(DefaultFile(), 1024000 - line.size() + 1);
            }
            log.WriteLine(u"late", u"x");
            done = true;
        });
        // Until the line is written (or waits), then the other writer's
        // work: the file holds its mark and its line.
        for (int i = 0; i < 100 && !done && std::filesystem::file_size(DefaultFile()) <= 1024000;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(::ftruncate(other, 0), 0);
        EXPECT_EQ(::pwrite(other, otherStart.data(), otherStart.size(), 0),
                  static_cast<ssize_t>(otherStart.size()));
        ::flock(other, LOCK_UN);
        ::close(other);
        writer.join();
        EXPECT_EQ(logtest::ReadBytes(DefaultFile()), otherStart + line);
    }
}

// Several processes write one file at once, each as fast as it can, while
// it is emptied at its size cap over and over. Lines are numbered per
// process and stamped, in memory the processes share, with a tick of one
// clock when they are begun and when they are written. This process watches:
// - the file's size: whenever it drops, the file was emptied, and it must
//   have been past the cap then, as far as the lines written since the size
//   was last seen allow;
// - the whole file now and then, under its lock (as the writers empty it):
//   one byte-order mark, at the start; every line whole; each process's
//   lines in order without a gap; and every line begun after the one that
//   starts the file (the line that emptied it) was written is there once
//   written.
TEST_F(LogConcurrencyTest, ProcessesSharingTheFileAcrossEmptyingsLoseNoLines) {
    constexpr int kMaxProcesses = 4;
    constexpr int kAllLines = 10000;  // about 17 MB: many emptyings at LogSize 1
    constexpr uint64_t kCap = 1024000;
    // A line begun may be written up to three times (again when another
    // writer's emptying took it away).
    constexpr uint64_t kWritesPerLine = 3;
    const std::string padding(800, 'x');
    SetValue("MorvaCalc", "LogSize", REG_DWORD, Dword(1));
    struct Shared {
        std::atomic<uint32_t> clock;
        std::atomic<uint64_t> begun, written;  // lines, all processes
        std::atomic<uint32_t> begunAt[kMaxProcesses][kAllLines / 2];
        std::atomic<uint32_t> writtenAt[kMaxProcesses][kAllLines / 2];
    };
    void* memory =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    constexpr const char* kStamp = ") 03/07/2024 14:05:09.042 CMvWorker::Run: process ";
    auto lineText = [&](int id, int p, int n) {
        return "(" + std::to_string(id) + kStamp + std::to_string(p) + " line " +
               std::to_string(n) + " " + padding;
    };
    const uint64_t maxLineBytes = 2 * (lineText(INT32_MAX, 9, kAllLines).size() + 2);

    for (int processes : {2, 4}) {
        SCOPED_TRACE(std::to_string(processes) + " processes");
        const int lines = kAllLines / processes;
        Shared& shared = *new (memory) Shared{};
        shared.clock = 1;  // 0: not yet
        std::filesystem::remove(DefaultFile());
        std::filesystem::create_directories(LogFolder());
        // Created empty: the first lines find it so and give it its mark.
        const int watched = ::open(DefaultFile().c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(watched, 0);
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        std::vector<pid_t> children;
        std::fflush(stdout);  // else a child may write out what is buffered again
        for (int p = 0; p < processes; ++p) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                CDiagnosticLog log;
                InitializeModuleLog(log);
                char start;
                if (::read(go[0], &start, 1) != 1) ::_exit(2);
                for (int n = 0; n < lines; ++n) {
                    shared.begun.fetch_add(1);
                    shared.begunAt[p][n] = shared.clock.fetch_add(1);
                    log.WriteLine(u"CMvWorker::Run",
                                  mv::ToUtf16("process " + std::to_string(p) + " line " +
                                              std::to_string(n) + " " + padding));
                    shared.writtenAt[p][n] = shared.clock.fetch_add(1);
                    shared.written.fetch_add(1);
                }
                ::_exit(0);
            }
            children.push_back(pid);
        }

        // The first problem found in the file's bytes, read when the clock
        // showed `now`; `whole`: no line may be cut short at the end.
        auto problemIn = [&](const std::string& bytes, uint32_t now, bool whole) -> std::string {
            if (bytes.compare(0, 2, logtest::kBom) != 0) return "no byte-order mark at the start";
            std::string text;
            for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
                const char16_t c = static_cast<unsigned char>(bytes[i]) |
                                   static_cast<unsigned char>(bytes[i + 1]) << 8;
                if (c == u'\uFEFF') return "a byte-order mark at byte " + std::to_string(i);
                if (c > 0x7F) return "a stray unit at byte " + std::to_string(i);
                if (c != u'\r') text.push_back(static_cast<char>(c));
            }
            std::pair<int, int> kept[kMaxProcesses];  // each process's (first, last) line
            for (auto& k : kept) k = {-1, -1};
            int firstP = -1, firstN = -1;
            size_t from = 0;
            for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
                const std::string one = text.substr(from, end - from);
                int id = -1, p = -1, n = -1;
                const size_t stamp = one.find(kStamp);
                if (stamp == std::string::npos || std::sscanf(one.c_str(), "(%d", &id) != 1 ||
                    std::sscanf(one.c_str() + stamp + std::strlen(kStamp), "%d line %d", &p, &n) !=
                        2 ||
                    p < 0 || p >= processes || n < 0 || n >= lines ||
                    one != lineText(children[p], p, n))
                    return "a torn line: " + one.substr(0, 80);
                if (firstP < 0) firstP = p, firstN = n;
                if (kept[p].first >= 0 && kept[p].second + 1 != n)
                    return "process " + std::to_string(p) + " line " + std::to_string(n) +
                           " follows its line " + std::to_string(kept[p].second);
                if (kept[p].first < 0) kept[p].first = n;
                kept[p].second = n;
            }
            if (whole && from != text.size()) return "the file ends inside a line";
            if (firstP < 0) return {};
            const uint32_t emptiedBy = shared.writtenAt[firstP][firstN];
            if (emptiedBy == 0) return {};
            for (int p = 0; p < processes; ++p) {
                // The lines begun after the file's first line was written,
                // and written before the file was read.
                int first = 0;
                while (first < lines && shared.begunAt[p][first] != 0 &&
                       shared.begunAt[p][first] <= emptiedBy)
                    ++first;
                int last = first - 1;
                while (last + 1 < lines && shared.writtenAt[p][last + 1] != 0 &&
                       shared.writtenAt[p][last + 1] < now)
                    ++last;
                if (last < first) continue;
                if (kept[p].first < 0 || kept[p].first > first || kept[p].second < last)
                    return "process " + std::to_string(p) + " lost lines of " +
                           std::to_string(first) + " to " + std::to_string(last) +
                           " written after line " + std::to_string(firstN) + " of process " +
                           std::to_string(firstP) + " emptied the file";
            }
            return {};
        };
        auto readUnderLock = [&] {
            std::string bytes;
            char chunk[1 << 16];
            ::flock(watched, LOCK_SH);
            for (ssize_t n;
                 bytes.size() < 4 * kCap &&
                 (n = ::pread(watched, chunk, sizeof chunk, static_cast<off_t>(bytes.size()))) > 0;)
                bytes.append(chunk, static_cast<size_t>(n));
            ::flock(watched, LOCK_UN);
            return bytes;
        };
        auto sizeNow = [&] {
            struct stat st {};
            return ::fstat(watched, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        };

        ASSERT_EQ(::write(go[1], "gggg", processes), processes);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto nextLook = std::chrono::steady_clock::now();
        uint64_t lastWritten = shared.written.load(), lastSize = sizeNow();
        int emptyings = 0, looks = 0;
        std::vector<std::string> problems;  // the first few
        auto note = [&](std::string problem) {
            if (!problem.empty() && problems.size() < 4) problems.push_back(std::move(problem));
        };
        std::vector<bool> ended(children.size(), false);
        for (size_t running = children.size(); running > 0;) {
            const uint64_t writtenBefore = shared.written.load();
            const uint64_t size = sizeNow();
            const uint64_t begunAfter = shared.begun.load();
            if (size < lastSize) {
                ++emptyings;
                const uint64_t since = (begunAfter - lastWritten) * kWritesPerLine * maxLineBytes;
                if (lastSize + since <= kCap)
                    note("emptied at " + std::to_string(lastSize) + " bytes (or at most " +
                         std::to_string(since) + " more), under the cap");
            }
            lastSize = size;
            lastWritten = writtenBefore;
            if (std::chrono::steady_clock::now() >= nextLook) {
                const uint32_t now = shared.clock.load();
                const bool started = shared.written.load() > 0;
                const std::string bytes = readUnderLock();
                if (started || !bytes.empty()) note(problemIn(bytes, now, false));
                ++looks;
                nextLook = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
                for (size_t i = 0; i < children.size(); ++i) {
                    int status = 0;
                    if (!ended[i] && ::waitpid(children[i], &status, WNOHANG) == children[i]) {
                        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
                        ended[i] = true;
                        --running;
                    }
                }
                if (std::chrono::steady_clock::now() > deadline) {
                    ADD_FAILURE() << "the writers did not finish";
                    for (size_t i = 0; i < children.size(); ++i)
                        if (!ended[i])
                            ::kill(children[i], SIGKILL), ::waitpid(children[i], nullptr, 0);
                    break;
                }
            }
        }
        ::close(go[0]);
        ::close(go[1]);

        EXPECT_EQ(problems, std::vector<std::string>{});
        const std::string bytes = readUnderLock();
        EXPECT_EQ(problemIn(bytes, shared.clock.load(), true), "");
        EXPECT_LE(bytes.size(), kCap);
        EXPECT_GT(emptyings, 0) << "no emptying seen";
        EXPECT_EQ(shared.written.load(), static_cast<uint64_t>(processes * lines));
        std::printf("%d processes: %d emptyings seen, the file read %d times\n", processes,
                    emptyings, looks);
        ::close(watched);
    }
    ::munmap(memory, sizeof(Shared));
}

}  // namespace
