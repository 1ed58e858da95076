#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "historian_support.h"

namespace {

using histtest::HistorianTest;
using histtest::State;

constexpr int kThreads = 8;

// Runs body(i) on kThreads threads released together.
template <class Body>
void RunTogether(Body body) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            body(i);
        });
    for (auto& t : threads) t.join();
}

TEST_F(HistorianTest, ConcurrentFirstLoadsLoadOnceAndNoCallerSeesAHalfLoadedLibrary) {
    KhSim_SetOlderLibraryPresent(1);
    std::atomic<int> served{0};
    RunTogether([&](int) {
        LoadKeldcoreLibrary();
        // Whoever returns from the loader finds the library whole.
        LONG id = 0;
        KeldrinErrorBlock err = {0, 0, 1, 1};
        if (L_DECODNAM("TAG1", 4, &id, &err) == KELDRIN_OK && err.ERRORCODE == 0 && id == record_)
            ++served;
    });
    EXPECT_EQ(served.load(), kThreads);
    // One attach check by the loader, one by each call.
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "DBMAPPED"), 1 + kThreads);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "DECODNAM"), kThreads);
}

TEST_F(HistorianTest, CallsRacingTheFirstLoadGetAnAnswerOrNotAvailable) {
    KhSim_SetOlderLibraryPresent(1);
    std::atomic<int> badRecord{0};
    std::atomic<int> badTime{0};
    RunTogether([&](int i) {
        if (i == 0) {
            LoadKeldcoreLibrary();
            return;
        }
        for (int n = 0; n < 20; ++n) {
            LONG id = 0;
            KeldrinErrorBlock err = {0, 0, 1, 1};
            SHORT rc = L_DECODNAM("TAG1", 4, &id, &err);
            if (!(rc == KELDRIN_OK && id == record_) && rc != KELDRIN_E_NOTAVAILABLE) ++badRecord;
            // Time calls always have an answer, from one library or the other.
            KeldrinUst ust{1000, 5};
            KeldrinTime t{7, 7};
            rc = L_XUST2XTS(&ust, &t);
            if (rc != KELDRIN_OK || t.Seconds != 1000 || t.Micro != 5) ++badTime;
        }
    });
    EXPECT_EQ(badRecord.load(), 0);
    EXPECT_EQ(badTime.load(), 0);
}

TEST_F(HistorianTest, AnEntryPointThatThrowsLeavesTheLockFreeForOtherThreads) {
    Enter(State::Throws, "MWDBVALS");
    const KeldrinRecField pairs[] = {{record_, 5}};
    const SHORT types[] = {-1};
    char buffer[8] = {};
    SHORT failIndex = 0;
    KeldrinErrorBlock err = {0, 0, 1, 1};
    EXPECT_EQ(L_MWDBVALS(1, pairs, types, buffer, &failIndex, &err), KELDRIN_E_NOTAVAILABLE);
    EXPECT_EQ(err.ERRORCODE, KELDRIN_E_NOTAVAILABLE);

    BOOL entered = FALSE;
    std::thread other([&] {
        entered = TryEnterCriticalSection(&g_csKeldcore);
        if (entered) LeaveCriticalSection(&g_csKeldcore);
    });
    other.join();
    EXPECT_TRUE(entered);
}

TEST_F(HistorianTest, ShutdownCallbacksFromAnotherThreadInterleaveWithCalls) {
    // Attached through KeldrinInit, which hands the library the callback.
    KhSim_SetOlderLibraryPresent(1);
    KhSim_SetAttachAnswers(0, 1);
    LoadKeldcoreLibrary();
    std::atomic<int> bad{0};
    RunTogether([&](int i) {
        for (int n = 0; n < 25; ++n) {
            if (i == 0) {
                KhSim_FireShutdown(0);
                continue;
            }
            LONG id = 0;
            KeldrinErrorBlock err = {0, 0, 1, 1};
            // Attaching again succeeds, so every call is served.
            if (L_DECODNAM("TAG1", 4, &id, &err) != KELDRIN_OK || id != record_) ++bad;
        }
    });
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "ENDKELD"), 25);
}

}  // namespace
