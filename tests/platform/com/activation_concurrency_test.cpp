#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "com_test_support.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

constexpr GUID kFirst = {0x6F1B2C3D, 1, 0x4A5B, {0x8C, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
constexpr GUID kSecond = {0x6F1B2C3D, 2, 0x4A5B, {0x8C, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};

// A store file naming `target` as the class of the ProgID "Mv.Watched".
std::string StoreText(const GUID& target) {
    return "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\Mv.Watched\\CLSID]\r\n"
           "@=\"" +
           mv::GuidToString(target) + "\"\r\n";
}

// Replaces the store file as another program would: a new file renamed over
// it, never through this process's store.
void ReplaceFile(const fs::path& file, const std::string& text) {
    const fs::path temp = file.string() + ".new";
    std::ofstream(temp, std::ios::binary) << text;
    fs::rename(temp, file);
}

// Threads resolve a ProgID while its class is switched back and forth in
// the store file behind the process's back: each switch reaches every thread
// within the bound, and a thread that saw it never sees the class before it
// again.
TEST(ActivationRace, EveryThreadSeesEachChangeOfTheFileAndNeverLosesIt) {
    const fs::path dir =
        fs::path(::testing::TempDir()) / ("mvactrace_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path file = dir / "registry.reg";
    ReplaceFile(file, StoreText(kFirst));
    mv::RegistryUseFile(file.string());

    constexpr int kThreads = 4;
    constexpr int kRounds = 20;
    auto classOf = [](int round) { return round % 2 ? kSecond : kFirst; };
    std::atomic<int> round{0};
    std::atomic<bool> done{false};
    std::array<std::atomic<int>, kThreads> seen{};
    std::atomic<int> wentBack{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!done) {
                const int before = round;
                CLSID clsid{};
                if (CLSIDFromProgID(u"Mv.Watched", &clsid) != S_OK) ++failed;
                if (round != before) continue;  // the file may have changed meanwhile
                if (clsid == classOf(before)) {
                    seen[t] = before;
                } else if (seen[t] == before) {
                    ++wentBack;
                }
            }
        });
    }
    for (int r = 0; r < kRounds; ++r) {
        if (r > 0) {
            round = r;  // before the file changes: a thread never expects it too early
            ReplaceFile(file, StoreText(classOf(r)));
        }
        EXPECT_TRUE(SeenInTime([&] {
            for (auto& s : seen)
                if (s != r) return false;
            return true;
        })) << "round "
            << r;
    }
    done = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(wentBack, 0);
    EXPECT_EQ(failed, 0);
    mv::RegistryUseFile("");
    fs::remove_all(dir);
}

std::string FileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Four threads make, call and release the test server's object, through
// CoCreateInstance and through CoGetClassObject, while another thread frees
// unused libraries in a loop. The server holds each thread in
// DllGetClassObject for longer than the unload delay and again after an
// object's last Release has dropped its lock count: the library never goes
// while a thread is in it. The rounds come in blocks; between two, when no
// thread is in the library, it goes, and the next block loads it again.
TEST(ActivationRace, NoThreadIsInsideAServerWhenItIsFreed) {
    constexpr DWORD kUnloadDelayMs = 5;
    constexpr int kThreads = 4, kBlocks = 6, kRounds = 5;
    const fs::path dir =
        fs::path(::testing::TempDir()) / ("mvactfree_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path log = dir / "dllmain.log";
    const std::string server = std::string(std::getenv("MV_TEST_LIB_DIR")) + "/libmvtest_server.so";
    ReplaceFile(dir / "registry.reg",
                "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\CLSID\\" +
                    mv::GuidToString(kFirst) + "\\InprocServer32]\r\n@=\"" + server + "\"\r\n");
    mv::RegistryUseFile((dir / "registry.reg").string());
    ::setenv("MV_TESTLIB_LOG", log.c_str(), 1);
    ::setenv("MV_TESTLIB_PAUSE_GET_US", std::to_string(2000 * kUnloadDelayMs).c_str(), 1);
    ::setenv("MV_TESTLIB_PAUSE_RELEASE_US", "100", 1);

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread freer([&] {
        while (!done) CoFreeUnusedLibrariesEx(kUnloadDelayMs, 0);
    });
    auto rounds = [&](int t) {
        for (int r = 0; r < kRounds; ++r) {
            IDispatch* answer = nullptr;
            HRESULT hr;
            if ((t + r) % 2) {
                hr = CoCreateInstance(kFirst, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&answer));
            } else {
                IClassFactory* factory = nullptr;
                hr = CoGetClassObject(kFirst, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory));
                if (SUCCEEDED(hr)) {
                    hr = factory->CreateInstance(nullptr, IID_IDispatch,
                                                 reinterpret_cast<void**>(&answer));
                    factory->Release();
                }
            }
            if (FAILED(hr) || !answer) {
                ++wrong;
                continue;
            }
            if (CallMethod(answer, 1) != 42) ++wrong;
            answer->Release();
        }
    };
    for (int block = 0; block < kBlocks && !::testing::Test::HasFatalFailure(); ++block) {
        SCOPED_TRACE(block);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back(rounds, t);
        for (auto& t : threads) t.join();
        // No thread is in the library now: the freer lets it go. The bound
        // only keeps a broken build from hanging.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::string text;
        while (!(text = FileText(log)).ends_with("detach server\n")) {
            ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << text;
            std::this_thread::yield();
        }
    }
    done = true;
    freer.join();
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(wrong, 0);

    // Loaded again after each time it was freed.
    std::istringstream lines(FileText(log));
    int loads = 0, frees = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line, loads == frees ? "attach server" : "detach server") << loads << frees;
        (loads == frees ? loads : frees)++;
    }
    EXPECT_GE(loads, kBlocks);
    EXPECT_EQ(frees, loads);

    for (const char* variable :
         {"MV_TESTLIB_LOG", "MV_TESTLIB_PAUSE_GET_US", "MV_TESTLIB_PAUSE_RELEASE_US"})
        ::unsetenv(variable);
    mv::RegistryUseFile("");
    fs::remove_all(dir);
}

}  // namespace
