// A Corvex calculation run over and over by one thread with a schedule group
// while others derive its parameters and ask its scheduled time.
#include <atomic>
#include <thread>

#include "calculation_test_support.h"
#include "corvex_sim.h"
#include "frame/loaded_dlls.h"
#include "frame/tls_slots.h"
#include "schedule_group_double.h"

namespace calculation_test {
namespace {

TEST(CorvexConcurrency, DiscoveryAndScheduledTimesDuringRunsLeaveTheGroupAsFound) {
    AllocateTlsSlots();
    CalcUnloadLibrary();
    CorvexSim_Reset();
    ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
    auto calc = NewCalculation();
    calc->put_ScriptText(mv::Bstr(u"ReturnValue = A * 2 + B").get());
    mv::Variant unused, unbound;
    ASSERT_EQ(calc->CreateCorvexParams(nullptr, &unused, &unbound), S_OK);
    ScheduleGroupDouble group;
    group.lastRunTime = 10.0;
    group.lastGmtRunTime = 9.0;
    std::atomic<bool> stop{false};

    std::thread runner([&] {
        for (int i = 0; i < 1000; ++i) calc->Calculate(&group);
        stop = true;
    });
    std::thread discoverer([&] {
        while (!stop) {
            mv::Variant u, b;
            calc->CreateCorvexParams(mv::Bstr(u"").get(), &u, &b);
        }
    });
    std::atomic<int> odd{0};
    auto asker = [&] {
        while (!stop) {
            DATE local = 0, utc = 0;
            calc->GetScheduledTime(&local);
            calc->GetScheduledTimeUtc(&utc);
            if (local != 10.0 && local < 40000.0) ++odd;
        }
    };
    std::thread asker1(asker), asker2(asker);
    runner.join();
    discoverer.join();
    asker1.join();
    asker2.join();
    EXPECT_EQ(group.refs, 1);
    EXPECT_EQ(odd, 0);
    CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
    CalcUnloadLibrary();
    FreeTlsSlots();
}

}  // namespace
}  // namespace calculation_test
