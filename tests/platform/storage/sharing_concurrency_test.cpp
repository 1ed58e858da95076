// Threads that each save and load a document of their own are never refused
// as sharing it: a save replaces its document by rename, so the inode
// numbers of replaced files come free all the time and are handed to the
// files other threads create next.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "storage.h"
#include "storage_test_util.h"

using namespace storage_test;

namespace {

// Enough for the sanitizers' builds to meet a recycled inode number in every
// run when a claim outlives its descriptor; the optimised build meets one in
// some runs.
constexpr int kRounds = 2000;

TEST(SharingConcurrency, EightThreadsSavingAndLoadingTheirOwnDocumentsAreNeverRefused) {
    constexpr int kThreads = 8;
    ScratchFolder folder;
    std::atomic<int> refusedSaves{0}, refusedLoads{0}, failed{0}, wrong{0};
    auto succeeded = [&](HRESULT hr, std::atomic<int>& refused) {
        if (hr == STG_E_SHAREVIOLATION)
            ++refused;
        else if (FAILED(hr))
            ++failed;
        return SUCCEEDED(hr);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t, path = folder / ("doc" + std::to_string(t) + ".mvc")] {
            for (int round = 0; round < kRounds; ++round) {
                const Bytes data = Pattern(40, static_cast<uint8_t>(t * 31 + round));
                if (!succeeded(SaveDocument(path, {{u"C", data}}), refusedSaves)) continue;
                Bytes back;
                if (succeeded(LoadStream(path, u"C", &back), refusedLoads) && back != data) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(refusedSaves, 0);
    EXPECT_EQ(refusedLoads, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
}

}  // namespace
