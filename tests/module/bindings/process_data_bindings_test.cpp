// Process-data bindings in runs: values, units, quality and times moving
// both ways through the data manager and the stand-in, and the failures of
// each direction.
#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include "binding_test_support.h"
#include "process_data_test_support.h"
#include "time_conversion_sim.h"

namespace pdtest {
namespace {

using bindtest::LogMark;
using parameter_test::ExpectSame;
using parameter_test::Typed;

std::string ErrorText(IMvCalculation* calc) {
    return calculation_test::TextOf(calc, &IMvCalculation::get_ErrorText);
}

mv::Variant Text(const char16_t* text) {
    mv::Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

struct Quality {
    mv::Variant value;
    SHORT level = 0, status = 0;
    DATE time = 0.0;
};
Quality Read(IMvParameter* p) {
    Quality q;
    p->GetParameterValues(&q.value, &q.level, &q.status, &q.time);
    return q;
}

TEST_F(ProcessDataRun, ValuesUnitsAndQualityMoveBothWays) {
    struct Row {
        const char* name;
        mv::Variant source;
        bool valid;
        double multiplier, offset;
        mv::Variant input;   // what the input parameter receives
        mv::Variant output;  // what the formula gives the output
        mv::Variant written;
    } rows[] = {
        {"scaled integer", mv::Variant(LONG{30}), true, 2.0, 10.0, mv::Variant(10.0),
         mv::Variant(LONG{10}), mv::Variant(30.0)},
        {"no factors", mv::Variant(LONG{30}), false, 0.0, 0.0, mv::Variant(LONG{30}),
         mv::Variant(LONG{10}), mv::Variant(LONG{10})},
        {"short and double", Typed(VT_I2, 4), true, 4.0, 0.0, mv::Variant(1.0), mv::Variant(0.5),
         mv::Variant(2.0)},
        {"text", Text(u"abc"), false, 2.0, 10.0, Text(u"abc"), Text(u"xyz"), Text(u"xyz")},
        {"boolean", mv::Variant(true), true, 2.0, 10.0, mv::Variant(true), mv::Variant(false),
         mv::Variant(false)},
    };
    procdata::SetQueryStatus(5);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        procdata::SetSample("DS1", "IN_TAG", "VALUE", {45000.25, row.source, row.valid});
        procdata::AddPlantTag("DS2", "OUT_TAG");
        const auto writes = procdata::Writes().size();
        const int removals = procdata::RemoveAllCalls("DS3");
        auto calc = NewRunningCalculation();
        auto in =
            Bound(calc.get(), "In", mvcInput, "DS1", "IN_TAG", "VALUE", row.multiplier, row.offset);
        Bound(calc.get(), "Out", mvcOutput, "DS2", "OUT_TAG", "VALUE", row.multiplier, row.offset);
        SetOutput(Object(calc.get()), "Out", {row.output, 1, -3, 45100.5});
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ErrorText(calc.get()), "");

        const Quality q = Read(in.get());
        ExpectSame(q.value, row.input);
        EXPECT_EQ(q.level, row.valid ? 0 : 1);
        EXPECT_EQ(q.status, 5);
        EXPECT_EQ(q.time, 45000.25);

        const auto all = procdata::Writes();
        ASSERT_EQ(all.size(), writes + 1);
        const procdata::Write& w = all.back();
        EXPECT_EQ(w.dataSource + "/" + w.tag + "/" + w.map + "/" + w.attribute,
                  "DS2/OUT_TAG/MAP/VALUE");
        ExpectSame(w.value, row.written);
        EXPECT_EQ(w.level, 1);
        EXPECT_EQ(w.status, -3);
        EXPECT_EQ(w.time, 45100.5);
        EXPECT_EQ(w.flag, VARIANT_TRUE);
        // Every value is followed by the removal of every data source's tags.
        EXPECT_EQ(procdata::RemoveAllCalls("DS3") - removals, 2);
        EXPECT_TRUE(procdata::CollectedTags("DS1").empty());
    }
}

// The input pass folds the levels read; definitions stay as first resolved
// until the cache is cleared.
TEST_F(ProcessDataRun, PassQualityAndDefinitionsResolvedOnce) {
    procdata::SetSample("DS1", "A", "VALUE", {1.0, mv::Variant(1.0), true});
    procdata::SetSample("DS1", "B", "VALUE", {2.0, mv::Variant(2.0), false});
    procdata::SetSample("DS1", "C", "VALUE", {3.0, mv::Variant(3.0), true});
    auto calc = NewRunningCalculation();
    Bound(calc.get(), "A", mvcInput, "DS1", "A");
    auto b = Bound(calc.get(), "B", mvcInput, "DS1", "B");
    Bound(calc.get(), "C", mvcInput, "DS1", "C");
    CMvCalculation* object = Object(calc.get());
    ParamInfoShare table = object->SetupParamInfo();
    SHORT level = mvcNO_QLEVEL, status = mvcQSTATUS_NO_STATUS;
    object->ProcessDataBindings(*table, INPUT_PASS, &level, &status, nullptr);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(status, LevelToStatus(1));

    b->put_RecordName(mv::Bstr(u"C").get());
    object->ProcessDataBindings(*table, INPUT_PASS, &level, &status, nullptr);
    EXPECT_EQ(Read(b.get()).time, 2.0);
    calc->ClearCache();
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Read(b.get()).time, 3.0);
}

// An output without a time stamp is written at the current local time,
// whether the time-conversion component converts it or the calendar time
// stands in.
TEST_F(ProcessDataRun, OutputsWithoutATimeAreStampedNow) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    static constexpr int64_t kNow = 1719828000;  // 2024-07-01 10:00:00 UTC
    mv::SetClockForTesting([] { return kNow * 1000000; });
    const DATE localNow = mv::DateFromUnixSeconds(kNow + 7200);
    struct Row {
        DATE stamp;
        bool component;
        DATE written;
        int conversions;
    } rows[] = {
        {0.0, true, localNow, 1},     {0.0005, true, localNow, 1},     {0.0, false, localNow, 0},
        {0.0005, false, localNow, 0}, {0.002, true, 0.002, 0},         {-0.0009, true, localNow, 1},
        {-2.5, true, -2.5, 0},        {3000000.0, true, 3000000.0, 0},
    };
    procdata::AddPlantTag("DS1", "OUT");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stamp);
        timeconv::Reset();
        if (row.component) {
            ASSERT_EQ(timeconv::Register(), S_OK);
        } else {
            timeconv::Revoke();
        }
        auto calc = NewRunningCalculation();
        Bound(calc.get(), "Out", mvcOutput, "DS1", "OUT");
        SetOutput(Object(calc.get()), "Out", {mv::Variant(1.0), 0, 0, row.stamp});
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_DOUBLE_EQ(procdata::Writes().back().time, row.written);
        EXPECT_EQ(timeconv::Calls(), row.conversions);
    }
    // A component that cannot be created leaves the calendar time.
    timeconv::SetCreateFailure(E_OUTOFMEMORY);
    auto calc = NewRunningCalculation();
    Bound(calc.get(), "Out", mvcOutput, "DS1", "OUT");
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_DOUBLE_EQ(procdata::Writes().back().time, localNow);
    timeconv::Revoke();
    timeconv::Reset();
    mv::SetClockForTesting(nullptr);
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST_F(ProcessDataRun, TheFirstFailingInputStopsThePass) {
    procdata::SetSample("DS1", "A", "VALUE", {1.0, mv::Variant(1.0), true});
    procdata::SetSample("DS1", "C", "VALUE", {3.0, mv::Variant(3.0), true});
    auto calc = NewRunningCalculation();
    auto a = Bound(calc.get(), "A", mvcInput, "DS1", "A");
    Bound(calc.get(), "B", mvcInput, "DS1", "NOPE");
    auto c = Bound(calc.get(), "C", mvcInput, "DS1", "C");
    LogMark log;
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(ErrorText(calc.get()), "Error getting attribute value for tag NOPE.\n");
    EXPECT_EQ(log.Count("Invalid tag( NOPE ) for data source( DS1 )"), 1u);
    EXPECT_EQ(Read(a.get()).time, 1.0);
    EXPECT_EQ(Read(c.get()).value.vt, VT_EMPTY);
}

TEST_F(ProcessDataRun, FailingOutputsDoNotStopTheOthersAndTheLastTextWins) {
    procdata::AddPlantTag("DS1", "GOOD");
    auto calc = NewRunningCalculation();
    Bound(calc.get(), "X1", mvcOutput, "DS1", "X1");
    Bound(calc.get(), "Good", mvcOutput, "DS1", "GOOD");
    Bound(calc.get(), "X2", mvcOutput, "DS1", "X2");
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(ErrorText(calc.get()), "Access Denied Tag : X2.\n");
    ASSERT_EQ(procdata::Writes().size(), 1u);
    EXPECT_EQ(procdata::Writes()[0].tag, "GOOD");
}

TEST_F(ProcessDataRun, AQueryEndedWithErrorsGivesZeroAtLevelOneAndStatusThree) {
    procdata::AddPlantTag("DS1", "A");
    auto calc = NewRunningCalculation();
    auto a = Bound(calc.get(), "A", mvcInput, "DS1", "A", "UNSEEDED");
    a->put_TimeStamp(44000.0);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(ErrorText(calc.get()), "");
    const Quality q = Read(a.get());
    ExpectSame(q.value, mv::Variant(LONG{0}));
    EXPECT_EQ(q.level, 1);
    EXPECT_EQ(q.status, 3);
    EXPECT_EQ(q.time, 0.0);
}

TEST_F(ProcessDataRun, AnEmptyOutputTagWritesNothingWithOneErrorLine) {
    auto calc = NewRunningCalculation();
    Bound(calc.get(), "Out", mvcOutput, "DS1", "");
    LogMark log;
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(ErrorText(calc.get()), "");
    EXPECT_TRUE(procdata::Writes().empty());
    const std::string lines = log.Lines();
    EXPECT_EQ(lines,
              "MvDataManager::SetValue: MvDataManager::SetValue:  tagname had 0-length "
              "string\n");
}

}  // namespace
}  // namespace pdtest
