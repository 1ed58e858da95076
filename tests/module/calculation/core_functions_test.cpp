// What a running formula reaches through the core functions: the scheduled
// time from the store time, the run's group or the clock, the last
// execution, and the resize of a parameter's value collection.
#include <cstdlib>

#include "calculation_test_support.h"
#include "executors/core_functions.h"
#include "frame/tls_slots.h"
#include "persistence/calc_value.h"
#include "schedule_group_double.h"

namespace calculation_test {
namespace {

using values_test::TakeErrorText;

int64_t FixedClock() {
    return 1'709'000'000'123'456;  // 2024-02-27 02:13:20.123456 UTC
}

mv::ComPtr<IMvCalcCoreFunctions> NewCoreFunctions() {
    mv::ComPtr<IMvCalcCoreFunctions> core;
    EXPECT_EQ(CoCreateInstance(CLSID_MvCalcCoreFunctions, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IMvCalcCoreFunctions, core.PutVoid()),
              S_OK);
    return core;
}

// What the formula of kind 6 saw: local, UTC and last execution times.
struct Seen {
    DATE local = -1, utc = -1, last = -1;
};
std::vector<Seen> g_seen;
IMvCalculation* g_inner = nullptr;

void RecordTimes(CMvCalculation& calc, const ParamInfoTable&) {
    if (g_inner && &calc != static_cast<CMvCalculation*>(g_inner)) g_inner->Calculate();
    auto core = NewCoreFunctions();
    Seen seen;
    EXPECT_EQ(core->ScheduledTime(&seen.local), S_OK);
    EXPECT_EQ(core->ScheduledTimeUtc(&seen.utc), S_OK);
    EXPECT_EQ(core->LastExecutedTime(&seen.last), S_OK);
    g_seen.push_back(seen);
}

class CoreFunctions : public testing::Test {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        const char* tz = std::getenv("TZ");
        oldTz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "JST-9", 1);
        tzset();
        mv::SetClockForTesting(&FixedClock);
        MvSetFormulaExecutor(6, &RecordTimes);
        g_seen.clear();
    }
    void TearDown() override {
        MvSetFormulaExecutor(6, nullptr);
        mv::SetClockForTesting(nullptr);
        FreeTlsSlots();
        if (oldTz_)
            setenv("TZ", oldTz_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ServedClasses classes_;
    values_test::ServedClass core_ =
        values_test::ServedClass::Of<CMvCalcCoreFunctions>(CLSID_MvCalcCoreFunctions);
    std::optional<std::string> oldTz_;
};

// 2024-02-27 02:13:20 UTC, and 11:13:20 in JST.
constexpr DATE kUtcNow = 45349.0 + (2 * 3600 + 13 * 60 + 20) / 86400.0;
constexpr DATE kLocalNow = 45349.0 + (11 * 3600 + 13 * 60 + 20) / 86400.0;

TEST_F(CoreFunctions, TheScheduledTimeComesFromTheGroupElseTheClock) {
    auto calc = NewCalculation();
    calc->put_FormulaType(6);
    calc->put_LastExecution(5.0);
    ScheduleGroupDouble group;
    group.lastRunTime = 100.5;
    group.lastGmtRunTime = 100.25;
    ASSERT_EQ(calc->Calculate(), S_OK);
    ASSERT_EQ(calc->Calculate(&group), S_OK);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_NEAR(g_seen[0].local, kLocalNow, 1e-9);
    EXPECT_NEAR(g_seen[0].utc, kUtcNow, 1e-9);
    EXPECT_EQ(g_seen[0].last, 5.0);  // the value held before the first run
    EXPECT_EQ(g_seen[1].local, 100.5);
    EXPECT_EQ(g_seen[1].utc, 100.25);
    EXPECT_NEAR(g_seen[1].last, kLocalNow, 1e-9);
    EXPECT_EQ(group.refs, 1);

    // A stamped run's store time wins; UTC by the microsecond form.
    const LONG store[2] = {86400, 500000};
    calc->SetStoreTime(store);
    DATE utc = 0;
    EXPECT_EQ(calc->GetScheduledTimeUtc(&utc), S_OK);
    EXPECT_NEAR(utc, 25570.0 + 0.5 / 86400, 1e-9);
    DATE local = 0;
    EXPECT_EQ(calc->GetScheduledTime(&local), S_OK);
    EXPECT_NE(local, kLocalNow);
    calc->SetStoreTime(nullptr);
    EXPECT_EQ(calc->GetScheduledTime(&local), S_OK);
    EXPECT_NEAR(local, kLocalNow, 1e-9);
    EXPECT_EQ(calc->GetScheduledTime(nullptr), E_POINTER);
}

TEST_F(CoreFunctions, NestedRunsSeeTheInnerThenTheOuterCalculation) {
    auto outer = NewCalculation();
    auto inner = NewCalculation();
    outer->put_FormulaType(6);
    inner->put_FormulaType(6);
    outer->put_LastExecution(1.0);
    inner->put_LastExecution(2.0);
    g_inner = inner.get();
    ASSERT_EQ(outer->Calculate(), S_OK);
    g_inner = nullptr;
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].last, 2.0);
    EXPECT_EQ(g_seen[1].last, 1.0);
}

TEST_F(CoreFunctions, OutsideARunEveryLookupFails) {
    auto core = NewCoreFunctions();
    DATE date = 0;
    using Getter = HRESULT (IMvCalcCoreFunctions::*)(DATE*);
    for (Getter get :
         {&IMvCalcCoreFunctions::ScheduledTime, &IMvCalcCoreFunctions::ScheduledTimeUtc,
          &IMvCalcCoreFunctions::LastExecutedTime}) {
        EXPECT_EQ((core.get()->*get)(&date), E_FAIL);
        EXPECT_EQ(TakeErrorText(), u"Calculation object was not saved to storage.");
        EXPECT_EQ((core.get()->*get)(nullptr), E_POINTER);
    }
}

SHORT Short(IMvParameter* p, HRESULT (IMvParameter::*get)(SHORT*)) {
    SHORT value = 0;
    (p->*get)(&value);
    return value;
}

LONG CountOf(IMvParameter* p) {
    mv::Variant value;
    p->get_Value(&value);
    mv::ComPtr<IMvCalcValues> values;
    if (value.vt != VT_DISPATCH || !value.pdispVal ||
        FAILED(value.pdispVal->QueryInterface(IID_IMvCalcValues, values.PutVoid())))
        return -1;
    LONG count = -1;
    values->get_Count(&count);
    return count;
}

TEST_F(CoreFunctions, RedimMakesOrResizesAValueCollection) {
    values_test::ServedClass values =
        values_test::ServedClass::Of<CMvCalcValues>(CLSID_MvCalcValues);
    values_test::ServedClass value = values_test::ServedClass::Of<CMvCalcValue>(CLSID_MvCalcValue);
    auto core = NewCoreFunctions();
    auto calc = NewCalculation();
    auto p = Param(calc.get(), u"Array", true);
    p->put_Value(mv::Variant(4.0));
    p->put_Level(1);

    EXPECT_EQ(core->Redim(p.get(), -1), E_FAIL);
    EXPECT_EQ(TakeErrorText(), u"Redim size cannot be negative");
    EXPECT_EQ(NumberIn(p.get()), 4.0);
    EXPECT_EQ(core->Redim(nullptr, 1), E_POINTER);

    EXPECT_EQ(core->Redim(p.get(), 0), S_OK);
    EXPECT_EQ(CountOf(p.get()), 0);
    EXPECT_EQ(Short(p.get(), &IMvParameter::get_Level), -1);
    EXPECT_EQ(Short(p.get(), &IMvParameter::get_Status), -2);

    mv::Variant before;
    p->get_Value(&before);
    p->put_Level(1);
    EXPECT_EQ(core->Redim(p.get(), 3), S_OK);
    EXPECT_EQ(CountOf(p.get()), 3);
    mv::Variant after;
    p->get_Value(&after);
    EXPECT_EQ(after.pdispVal, before.pdispVal);  // resized in place
    EXPECT_EQ(Short(p.get(), &IMvParameter::get_Level), 1);

    // An object that is no value collection is left alone.
    mv::ComPtr<IMvParameter> other = Param(calc.get(), u"Other", true);
    mv::Variant object;
    object.vt = VT_DISPATCH;
    object.pdispVal = other.get();
    other->AddRef();
    p->put_Value(object);
    EXPECT_EQ(core->Redim(p.get(), 2), E_FAIL);
    EXPECT_EQ(TakeErrorText(), u"Redim: parameter value is not a value collection");
    EXPECT_EQ(CountOf(p.get()), -1);
}

// A value that cannot be read or stored for lack of memory fails the call
// and leaves the parameter as it was: read as missing, the collection would
// be replaced by an empty one.
TEST_F(CoreFunctions, RedimFailsWhenTheValueCannotBeReadOrStored) {
    values_test::ServedClass values =
        values_test::ServedClass::Of<CMvCalcValues>(CLSID_MvCalcValues);
    values_test::ServedClass value = values_test::ServedClass::Of<CMvCalcValue>(CLSID_MvCalcValue);
    auto core = NewCoreFunctions();
    auto p = parameter_test::NewShortOfMemoryParameter();
    ASSERT_EQ(core->Redim(p.get(), 3), S_OK);
    mv::Variant before;
    p->get_Value(&before);
    p->failReads = true;
    EXPECT_EQ(core->Redim(p.get(), 5), E_OUTOFMEMORY);
    p->failReads = false;
    mv::Variant after;
    p->get_Value(&after);
    EXPECT_EQ(after.pdispVal, before.pdispVal);
    EXPECT_EQ(CountOf(p.get()), 3);

    p->put_Value(mv::Variant(4.0));
    p->failStores = true;
    EXPECT_EQ(core->Redim(p.get(), 2), E_OUTOFMEMORY);
    p->failStores = false;
    EXPECT_EQ(NumberIn(p.get()), 4.0);
}

}  // namespace
}  // namespace calculation_test
