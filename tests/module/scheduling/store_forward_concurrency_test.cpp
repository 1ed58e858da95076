// Store-and-forward on one calculation from several threads: two drivers
// overlap (one decides, the other returns at once), while others run the
// group's check pass, plain runs, the scheduled-time readers and the group's
// setters. Every call succeeds and nothing is left marked running.
#include <atomic>
#include <thread>
#include <vector>

#include "store_forward_test_support.h"

namespace sftest {
namespace {

class StoreForwardThreads : public StoreForwardWorld {};

TEST_F(StoreForwardThreads, DriversChecksRunsAndSettersShareOneCalculation) {
    Historian();
    SetClock(At("06:10"));
    Current(in1_, kIn1, At("06:05"));
    Hourly(in1_, kIn1, At("00:00"), At("06:00"));
    LastResult(At("00:00"));
    SaveCalc("Shared", 1, true);
    auto group = Group("Shared");
    auto calc = Loaded("Shared");

    constexpr int kRounds = 20;
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    // Plain runs write the result's current time, after which there is
    // nothing to catch up: they start once a driver call has returned, by
    // when the one that decided first has caught up (until then the others
    // return at once).
    std::atomic<bool> decided{false};
    auto check = [&](HRESULT hr) {
        if (hr != S_OK) ++failures;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                check(calc->CalculateStoreForward(VARIANT_TRUE, group.get()));
                decided = true;
            }
            ReleaseTlsExecutionBuffer();
        });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) check(group->CheckStoreForward(VARIANT_TRUE, i % 2));
        ReleaseTlsExecutionBuffer();
    });
    threads.emplace_back([&] {
        while (!decided) std::this_thread::yield();
        while (!stop) {
            check(calc->Calculate());
            DATE when = 0.0;
            check(calc->GetScheduledTime(&when));
            check(calc->GetScheduledTimeUtc(&when));
        }
        ReleaseTlsExecutionBuffer();
    });
    threads.emplace_back([&] {
        while (!stop) {
            check(group->put_ScheduleRate(1.0 / 24.0));
            check(group->put_FirstRunTime(DateOf(At("00:00"))));
            check(group->put_Name(B("Hourly").get()));
            check(group->SetOnSchedule());
        }
    });
    for (int t = 0; t < 3; ++t) threads[static_cast<size_t>(t)].join();
    stop = true;
    for (size_t t = 3; t < threads.size(); ++t) threads[t].join();

    EXPECT_EQ(failures, 0);
    LONG busy = 1;
    calc->get_BeingCalculated(&busy);
    EXPECT_EQ(busy, 0);
    // However the calls interleaved, no hour was stamped twice: the
    // historian replaces a sample written again at its time, so only its
    // count of such writes shows one.
    EXPECT_EQ(KhSim_DuplicateStampCount(), 0);
    const std::vector<Filed> written = History(out_, kOut);
    EXPECT_FALSE(written.empty());
    for (size_t k = 1; k < written.size(); ++k)
        EXPECT_LT(written[k - 1].Time.Seconds, written[k].Time.Seconds);
    mv::Bstr status;
    calc->get_StoreForwardStatus(status.Out());
    EXPECT_FALSE(status.Utf8().empty());
}

}  // namespace
}  // namespace sftest
