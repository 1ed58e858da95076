#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
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

}  // namespace
