// Process-data bindings in runs: values, units, quality and times moving
// both ways through the data manager and the stand-in, and the failures of
// each direction.
#include <tuple>

#include "binding_test_support.h"
#include "process_data_test_support.h"
#include "time_conversion_sim.h"

namespace pdtest {
namespace {

using parameter_test::ExpectSame;
using parameter_test::Typed;

std::string ErrorText(IMvCalculation* calc) {
    return calculation_test::TextOf(calc, &IMvCalculation::get_ErrorText);
}

Quality Read(IMvParameter* p) {
    Quality q;
    p->GetParameterValues(&q.value, &q.level, &q.status, &q.time);
    return q;
}

TEST_F(ProcessDataRun, ValuesUnitsAndQualityMoveBothWays) {
    using V = mv::Variant;
    struct Row {
        V source;
        bool valid;
        double multiplier, offset;
        V input, output, written;
    } rows[] = {
        {V(LONG{30}), true, 2.0, 10.0, V(10.0), V(LONG{10}), V(30.0)},
        {V(LONG{30}), false, 0.0, 0.0, V(LONG{30}), V(LONG{10}), V(LONG{10})},
        {Typed(VT_I2, 4), true, 4.0, 0.0, V(1.0), V(0.5), V(2.0)},
        {V(u"abc"), false, 2.0, 10.0, V(u"abc"), V(u"xyz"), V(u"xyz")},
        {V(true), true, 2.0, 10.0, V(true), V(false), V(false)},
    };
    procdata::SetQueryStatus(5);
    procdata::AddPlantTag("DS2", "OUT_TAG");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.multiplier);
        procdata::SetSample("DS1", "IN_TAG", "VALUE", {45000.25, row.source, row.valid});
        const size_t writes = procdata::Writes().size();
        const int removals = procdata::RemoveAllCalls("DS3");
        auto calc = NewRunningCalculation();
        auto in =
            Bound(calc.get(), "In", mvcInput, "IN_TAG", "DS1", "VALUE", row.multiplier, row.offset);
        Bound(calc.get(), "Out", mvcOutput, "OUT_TAG", "DS2", "VALUE", row.multiplier, row.offset);
        SetOutput(calc.get(), "Out", {row.output, 1, -3, 45100.5});
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ErrorText(calc.get()), "");

        const Quality q = Read(in.get());
        ExpectSame(q.value, row.input);
        EXPECT_EQ(std::tuple(q.level, q.status, q.time),
                  std::tuple(SHORT(row.valid ? 0 : 1), SHORT{5}, 45000.25));

        const auto all = procdata::Writes();
        ASSERT_EQ(all.size(), writes + 1);
        const procdata::Write& w = all.back();
        EXPECT_EQ(w.dataSource + "/" + w.tag + "/" + w.map + "/" + w.attribute,
                  "DS2/OUT_TAG/MAP/VALUE");
        ExpectSame(w.value, row.written);
        EXPECT_EQ(std::tuple(w.level, w.status, w.time, w.flag),
                  std::tuple(LONG{1}, LONG{-3}, 45100.5, VARIANT_TRUE));
        // Every value is followed by the removal of every data source's tags.
        EXPECT_EQ(procdata::RemoveAllCalls("DS3") - removals, 2);
        EXPECT_TRUE(procdata::CollectedTags("DS1").empty());
    }
}

// The input pass folds the levels read; definitions stay as first resolved
// until the cache is cleared.
TEST_F(ProcessDataRun, PassQualityAndDefinitionsResolvedOnce) {
    for (const char* tag : {"A", "B", "C"})
        procdata::SetSample("DS1", tag, "VALUE",
                            {tag[0] - 'A' + 1.0, mv::Variant(1.0), *tag != 'B'});
    auto calc = NewRunningCalculation();
    Bound(calc.get(), "A", mvcInput, "A");
    auto b = Bound(calc.get(), "B", mvcInput, "B");
    Bound(calc.get(), "C", mvcInput, "C");
    CMvCalculation* object = static_cast<CMvCalculation*>(calc.get());
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
    const DATE now = mv::DateFromUnixSeconds(kNow + 7200);
    struct Row {
        DATE stamp;
        bool component;
        HRESULT creation;
        DATE written;
        int conversions;
    } rows[] = {
        {0.0, true, S_OK, now, 1},          {0.0005, true, S_OK, now, 1},
        {0.0, false, S_OK, now, 0},         {0.0005, false, S_OK, now, 0},
        {0.0, true, E_OUTOFMEMORY, now, 0}, {-0.0009, true, S_OK, now, 1},
        {0.002, true, S_OK, 0.002, 0},      {-2.5, true, S_OK, -2.5, 0},
        {3e6, true, S_OK, 3e6, 0},
    };
    procdata::AddPlantTag("DS1", "OUT");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stamp);
        timeconv::Reset();
        timeconv::SetCreateFailure(row.creation);
        if (row.component) {
            ASSERT_EQ(timeconv::Register(), S_OK);
        } else {
            timeconv::Revoke();
        }
        auto calc = NewRunningCalculation();
        Bound(calc.get(), "Out", mvcOutput, "OUT");
        SetOutput(calc.get(), "Out", {mv::Variant(1.0), 0, 0, row.stamp});
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_DOUBLE_EQ(procdata::Writes().back().time, row.written);
        EXPECT_EQ(timeconv::Calls(), row.conversions);
    }
    timeconv::Revoke();
    mv::SetClockForTesting(nullptr);
    setenv("TZ", "UTC", 1);
    tzset();
}

// Each failure writes its two lines (the "already initialized" pair of
// every value after the first included), and so does the run's error text.
TEST_F(ProcessDataRun, FailuresOfEachDirection) {
    struct Row {
        std::vector<std::pair<LONG, const char*>> parameters;  // direction, tag
        std::string error, moved;  // the inputs read, "/", the outputs written
        size_t lines;
    } rows[] = {
        {{{mvcInput, "A"}, {mvcInput, "NOPE"}, {mvcInput, "C"}},
         "Error getting attribute value for tag NOPE.\n",
         "A/",
         10},
        {{{mvcOutput, "X1"}, {mvcOutput, "C"}, {mvcOutput, "X2"}},
         "Access Denied Tag : X2.\n",
         "/C",
         17},
        {{{mvcOutput, ""}}, "", "/", 1},  // an empty output tag writes nothing
    };
    for (const char* tag : {"A", "C"})
        procdata::SetSample("DS1", tag, "VALUE", {1.0, mv::Variant(1.0), true});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        auto calc = NewRunningCalculation();
        std::vector<mv::ComPtr<IMvParameter>> parameters;
        for (const auto& [direction, tag] : row.parameters)
            parameters.push_back(Bound(calc.get(), tag, direction, tag));
        const size_t before = procdata::Writes().size();
        bindtest::LogMark log;
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ErrorText(calc.get()), row.error);
        EXPECT_EQ(log.Count("\n"), row.lines) << log.Lines();
        std::string moved;
        for (size_t i = 0; i < parameters.size(); ++i)
            if (row.parameters[i].first == mvcInput && Read(parameters[i].get()).value.vt)
                moved += row.parameters[i].second;
        moved += "/";
        const auto writes = procdata::Writes();
        for (size_t i = before; i < writes.size(); ++i) moved += writes[i].tag;
        EXPECT_EQ(moved, row.moved);
    }

    // A query that ended with errors is no failure: 0 at level 1, status 3
    // and the pass's time 0.0.
    auto calc = NewRunningCalculation();
    auto a = Bound(calc.get(), "A", mvcInput, "A", "DS1", "UNSEEDED");
    a->put_TimeStamp(44000.0);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(ErrorText(calc.get()), "");
    const Quality q = Read(a.get());
    ExpectSame(q.value, mv::Variant(LONG{0}));
    EXPECT_EQ(q.level * 100 + q.status + q.time, 103);
}

}  // namespace
}  // namespace pdtest
