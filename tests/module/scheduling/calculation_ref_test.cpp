// Calculation references resolving their calculations through the
// active-calculation cache: missing files, shared objects, the cache's
// clearing by an environment's final release, and renames.
#include <string>

#include "../environment/environment_test_support.h"
#include "environment/calc_cache.h"
#include "interfaces/IMvScheduleGroup.h"

namespace {

using namespace envtest;

class CalculationRefTest : public EnvironmentTest {
protected:
    void SetUp() override {
        EnvironmentTest::SetUp();
        Serve(CLSID_MvScheduleGroup);
        Serve(CLSID_MvCalculationRef);
    }
    static mv::ComPtr<IMvCalculationRef> NewRef(const char* name) {
        auto ref = Create<IMvCalculationRef>(CLSID_MvCalculationRef);
        ref->put_Name(B(name).get());
        return ref;
    }
    // Whether the cached calculation of `name` has run since it was loaded
    // or last reset.
    static bool Ran(const char* name) {
        mv::ComPtr<IMvCalculation> calc;
        EXPECT_EQ(g_GetCalcObject(B(name).get(), calc.Put()), S_OK);
        DATE last = 0.0;
        if (calc) calc->get_LastExecution(&last);
        if (calc) calc->put_LastExecution(0.0);
        return last != 0.0;
    }
};

TEST_F(CalculationRefTest, MissingFilesRunNothingUntilTheyAppear) {
    auto group = Create<IMvScheduleGroup>(CLSID_MvScheduleGroup);
    mv::ComPtr<IMvCalculationRef> first, missing, third;
    WriteCalc("First");
    WriteCalc("Third");
    group->AddCalculation(B("First").get(), first.Put());
    group->AddCalculation(B("Missing").get(), missing.Put());
    group->AddCalculation(B("Third").get(), third.Put());
    EXPECT_EQ(missing->Calculate(), S_OK);
    LONG index = 5;
    EXPECT_EQ(missing->GetCalculationIndex(&index), E_FAIL);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(missing->SetOnSchedule(), E_FAIL);
    EXPECT_EQ(missing->CalculateMissingHistory(VARIANT_TRUE, group.get()), E_NOTIMPL);
    EXPECT_EQ(first->SetOnSchedule(), S_OK);

    VARIANT contents;
    VariantInit(&contents);
    ASSERT_EQ(group->ListContents(&contents), S_OK);
    ASSERT_EQ(contents.vt, VT_ARRAY | VT_VARIANT);
    LONG upper = -1;
    SafeArrayGetUBound(contents.parray, 1, &upper);
    ASSERT_EQ(upper, 2);
    VARIANT* elements = static_cast<VARIANT*>(contents.parray->pvData);
    EXPECT_EQ(elements[0].vt, VT_I4);
    EXPECT_EQ(elements[0].lVal, 1);
    ASSERT_EQ(elements[1].vt, VT_BSTR);
    EXPECT_EQ(mv::ToUtf8(elements[1].bstrVal), "Missing");
    EXPECT_EQ(elements[2].vt, VT_I4);
    EXPECT_EQ(elements[2].lVal, 0);
    VariantClear(&contents);

    EXPECT_EQ(group->Calculate(), S_OK);
    EXPECT_TRUE(Ran("First"));
    EXPECT_TRUE(Ran("Third"));
    WriteCalc("Missing");
    EXPECT_EQ(group->Calculate(), S_OK);
    EXPECT_TRUE(Ran("Missing"));
    EXPECT_EQ(missing->GetCalculationIndex(&index), S_OK);
    EXPECT_EQ(index, 0);
}

TEST_F(CalculationRefTest, ReferencesShareOneObjectSurviveTheCachesClearingAndFollowRenames) {
    WriteCalc("A");
    WriteCalc("B");
    auto one = NewRef("A");
    auto two = NewRef("A");
    EXPECT_EQ(one->SetOnSchedule(), S_OK);
    LONG index = -1;
    EXPECT_EQ(two->GetCalculationIndex(&index), S_OK);
    EXPECT_EQ(index, 1) << "two references of one name reach one object";

    // An environment's final release empties the cache; the references look
    // their names up again.
    NewEnvironment();
    EXPECT_EQ(one->Calculate(), S_OK);
    EXPECT_TRUE(Ran("A"));
    EXPECT_EQ(two->GetCalculationIndex(&index), S_OK);
    EXPECT_EQ(index, 0) << "a fresh load after the clearing";

    // After a rename the reference runs the new name's calculation only.
    EXPECT_EQ(one->put_Name(B("B").get()), S_OK);
    EXPECT_EQ(one->Calculate(), S_OK);
    EXPECT_TRUE(Ran("B"));
    EXPECT_FALSE(Ran("A"));
    mv::Bstr name;
    EXPECT_EQ(one->get_Name(name.Out()), S_OK);
    EXPECT_EQ(name.Utf8(), "B");
    EXPECT_EQ(one->get_Name(nullptr), E_POINTER);
}

}  // namespace
