// The environment's final release against publishing threads: the adapter
// is stopped only between publications, never used after its release, and
// the next publication sets a new one up.
#include <atomic>
#include <thread>
#include <vector>

#include "quenbus_test_support.h"

namespace {

using busadapter::Call;

class QuenbusConcurrency : public bustest::QuenbusWorld {};

TEST_F(QuenbusConcurrency, FinalReleasesStopTheAdapterOnlyBetweenPublications) {
    constexpr int kRuns = 60;
    constexpr int kReleases = 40;
    std::vector<mv::ComPtr<IMvCalculation>> calcs;
    for (const char* name : {"Unit1", "Unit2"}) {
        calcs.push_back(BusCalc(name));
        Bus(calcs.back().get(), "Flow", name, mv::Variant(1.5));
    }
    std::atomic<int> failures{0};
    std::atomic<bool> publishing{true};
    std::vector<std::thread> threads;
    for (auto& calc : calcs) {
        threads.emplace_back([&, c = calc.get()] {
            for (int i = 0; i < kRuns; ++i)
                if (!Run(c).empty()) ++failures;
        });
    }
    std::thread releaser([&] {
        // The last round starts after every publication has ended, so that
        // an adapter the last one set up is stopped too.
        for (int i = 0;; ++i) {
            const bool last = i >= kReleases && !publishing;
            auto first = NewEnvironment();
            auto second = NewEnvironment();
            first.Reset();
            second.Reset();  // each release is a final release
            if (last) break;
            std::this_thread::yield();
        }
    });
    for (auto& t : threads) t.join();
    publishing = false;
    releaser.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(busadapter::Publications().size(), 2u * kRuns);
    EXPECT_EQ(busadapter::BusyAtStop(), 0);
    EXPECT_EQ(busadapter::CallsAfterStop(), 0);
    EXPECT_GE(busadapter::Calls(Call::Stop), 1);
    EXPECT_EQ(busadapter::AdaptersAlive(), 0);
    EXPECT_EQ(busadapter::Calls(Call::Create), busadapter::Calls(Call::Stop));

    // A later publication sets a new adapter up.
    const int created = busadapter::Calls(Call::Create);
    EXPECT_EQ(Run(calcs[0].get()), "");
    EXPECT_EQ(busadapter::Calls(Call::Create), created + 1);
    EXPECT_EQ(busadapter::AdaptersAlive(), 1);
}

}  // namespace
