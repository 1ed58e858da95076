#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "frame/diagnostic_log.h"
#include "frame/memory_allocation.h"

namespace {

TEST(MvMemoryAllocation, ReportNamesEntriesStillAboveZeroInFirstSeenOrder) {
    // The report's error lines go to this test process's own folder.
    g_DiagnosticLog.Initialize(nullptr, LogComponentMorvaCalc, LogText(), LogText(u"17.0.0.266"));
    struct Case {
        const char* what;
        std::vector<std::pair<const char16_t*, LONG>> tracked;
        std::u16string report;
    } const cases[] = {
        {"all released", {{u"CMvParameter", 1}, {u"CMvParameter", -1}}, u""},
        {"over-released", {{u"CMvCalculation", -2}}, u""},
        {"one leak",
         {{u"CMvParameter", 1}, {u"CMvParameter", 1}, {u"CMvParameter", -1}},
         u"!!! Memory Leak: CMvParameter ( 1 )\n"},
        {"order of first sight, not of counts",
         {{u"B", 1}, {u"A", 3}, {u"C", 0}, {u"B", 1}, {u"D", 1}, {u"D", -1}},
         u"!!! Memory Leak: B ( 2 )\n!!! Memory Leak: A ( 3 )\n"},
        {"null and empty names are one entry",
         {{nullptr, 1}, {u"", 1}},
         u"!!! Memory Leak:  ( 2 )\n"},
        {"names compare exactly",
         {{u"a", 1}, {u"A", 1}},
         u"!!! Memory Leak: a ( 1 )\n!!! Memory Leak: A ( 1 )\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MvMemoryAllocation tracker;
        for (const auto& [name, delta] : c.tracked) tracker.Track(name, delta);
        EXPECT_EQ(tracker.FormReport(), c.report);
        tracker.ReportLeaks();  // never throws, with or without leaks
    }
}

}  // namespace
