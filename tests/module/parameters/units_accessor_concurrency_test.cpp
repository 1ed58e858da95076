// The process-wide unit-conversion table replaced and cleared on one thread
// while others work out factors from it: every computation sees one whole
// table or none, and no table is released while a reader still walks it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "parameter_test_support.h"
#include "parameters/unit_conversion.h"

namespace {

using namespace parameter_test;

// A table whose one unit type holds "a" and "b"; b's multiplier is `scale`,
// so the factor from a to b tells which table a computation read.
mv::ComPtr<IMvObjCollection> TableWithScale(double scale) {
    auto type = NewUnitType(u"T");
    AddUnits(type.get(), {{u"a", 1.0, 0.0}, {u"b", scale, 0.0}});
    return TableOf({type.get()});
}

TEST(UnitConvCollConcurrencyTest, ReadersNeverSeeAHalfReleasedTable) {
    constexpr int kReaders = 4;
    constexpr int kReplacements = 300;
    std::atomic<int> readersStarted{0};
    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};

    auto reader = [&] {
        const mv::Bstr a(u"a"), b(u"b");
        readersStarted.fetch_add(1);
        while (!done.load()) {
            const MvUnitFactors f = MvUnitConversionFactors(a.get(), b.get());
            // No table: not found. A table of scale 2 or 4: 1/2 or 1/4.
            const bool whole = f == kMvUnitNotFound || f == MvUnitFactors{0.5, 0.0} ||
                               f == MvUnitFactors{0.25, 0.0};
            if (!whole) unexpected.fetch_add(1);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kReaders; ++i) threads.emplace_back(reader);
    while (readersStarted.load() < kReaders) std::this_thread::yield();

    for (int i = 0; i < kReplacements; ++i) {
        // Each table is built here and dropped by this thread right after
        // the swap, so the table's last reference may be a reader's.
        MvSetUnitConvColl(TableWithScale(i % 3 == 0 ? 2.0 : 4.0).get());
        if (i % 5 == 0) MvSetUnitConvColl(nullptr);
    }
    MvSetUnitConvColl(nullptr);
    done.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_FALSE(MvGetUnitConvColl());
}

}  // namespace
