// A thread other than the loading one starts with every module slot empty.
#include <gtest/gtest.h>

#include <thread>

#include "frame/tls_slots.h"

namespace {

TEST(StartupTls, AnotherThreadReadsEverySlotAsZeroUntilItSetsIt) {
    AllocateTlsSlots();
    ASSERT_TRUE(ReportFileErrorsOnThisThread());
    bool reportsOnOther = true;
    bool anySet = true;
    bool reportsAfterSet = false;
    std::thread other([&] {
        reportsOnOther = ReportFileErrorsOnThisThread();
        anySet = false;
        for (DWORD slot : {g_tlsScratchBuffer, g_tlsRunningScheduleGroup, g_tlsCalcStack,
                           g_tlsLibraryMap, g_tlsReportFileErrors})
            anySet = anySet || TlsGetValue(slot) != nullptr;
        TlsSetValue(g_tlsReportFileErrors, reinterpret_cast<LPVOID>(1));
        reportsAfterSet = ReportFileErrorsOnThisThread();
    });
    other.join();
    EXPECT_FALSE(reportsOnOther);
    EXPECT_FALSE(anySet);
    EXPECT_TRUE(reportsAfterSet);
    EXPECT_TRUE(ReportFileErrorsOnThisThread());
    FreeTlsSlots();
    EXPECT_FALSE(ReportFileErrorsOnThisThread());
}

}  // namespace
