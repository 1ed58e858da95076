// A parameter's conversion factors between its Units and its BoundUnits,
// worked out from the process-wide unit-conversion table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "parameter_test_support.h"
#include "parameters/unit_conversion.h"

namespace {

using namespace parameter_test;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(UnitFactorsTest, DivideByTheBoundUnitAndRefuseWhatCannotConvert) {
    struct Case {
        const char* what;
        double mu, ou, mb, ob;
        MvUnitFactors expected;
    } cases[] = {
        {"same unit", 1.8, 32.0, 1.8, 32.0, {1.0, 0.0}},
        {"to the standard", 1.8, 32.0, 1.0, 0.0, {1.8, 32.0}},
        {"from the standard", 1.0, 0.0, 1.8, 32.0, {1.0 / 1.8, -32.0 / 1.8}},
        {"negative factors", -2.0, 1.0, 4.0, -3.0, {-0.5, 1.0}},
        {"bound multiplier 0", 1.8, 32.0, 0.0, 0.0, kMvUnitNotFound},
        {"bound multiplier -0", 1.8, 32.0, -0.0, 5.0, kMvUnitNotFound},
        {"units multiplier 0", 0.0, 32.0, 1.0, 0.0, kMvUnitNotFound},
        {"multiplier overflows", 1e300, 0.0, 1e-300, 0.0, kMvUnitNotFound},
        {"multiplier underflows to 0", 1e-300, 0.0, 1e300, 0.0, kMvUnitNotFound},
        {"offset overflows", 1.0, 1e308, 1e-10, -1e308, kMvUnitNotFound},
        {"infinite offset", 1.0, kInf, 1.0, 0.0, kMvUnitNotFound},
        {"NaN multiplier", kNaN, 0.0, 1.0, 0.0, kMvUnitNotFound},
        {"NaN bound offset", 1.0, 0.0, 1.0, kNaN, kMvUnitNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MvUnitFactors got = MvUnitFactorsBetween(c.mu, c.ou, c.mb, c.ob);
        EXPECT_DOUBLE_EQ(got.multiplier, c.expected.multiplier);
        EXPECT_DOUBLE_EQ(got.offset, c.expected.offset);
    }
}

// The table used below. Temperature's standard unit is K; "dup" stands in
// Temperature and Pressure, "gauge" only in Pressure, "zero" cannot convert.
mv::ComPtr<IMvObjCollection> MakeTable() {
    auto temperature = NewUnitType(u"Temperature");
    AddUnits(temperature.get(), {{u"K", 1.0, 0.0},
                                 {u"degC", 1.0, 273.15},
                                 {u"degF", 5.0 / 9.0, 273.15 - 32.0 * 5.0 / 9.0},
                                 {u"dup", 2.0, 0.0},
                                 {u"zero", 0.0, 0.0}});
    auto length = NewUnitType(u"Length");
    AddUnits(length.get(), {{u"m", 1.0, 0.0}, {u"ft", 0.3048, 0.0}});
    auto pressure = NewUnitType(u"Pressure");
    AddUnits(pressure.get(), {{u"Pa", 1.0, 0.0}, {u"dup", 4.0, 0.0}, {u"gauge", 1.0, 101325.0}});
    return TableOf({temperature.get(), length.get(), pressure.get()});
}

// A parameter with factors left from an earlier computation, which are
// always replaced.
mv::ComPtr<IMvParameter> WithUnits(const char16_t* units, const char16_t* boundUnits) {
    auto parameter = NewParameter();
    EXPECT_EQ(parameter->put_Units(mv::Bstr(units).get()), S_OK);
    EXPECT_EQ(parameter->put_BoundUnits(mv::Bstr(boundUnits).get()), S_OK);
    EXPECT_EQ(parameter->put_UnitConversionMultiplier(7.0), S_OK);
    EXPECT_EQ(parameter->put_UnitConversionOffset(7.0), S_OK);
    return parameter;
}

MvUnitFactors FactorsOf(IMvParameter* parameter) {
    MvUnitFactors f{-1, -1};
    EXPECT_EQ(parameter->get_UnitConversionMultiplier(&f.multiplier), S_OK);
    EXPECT_EQ(parameter->get_UnitConversionOffset(&f.offset), S_OK);
    return f;
}

class ParameterUnitsTest : public testing::Test {
protected:
    void TearDown() override { MvSetUnitConvColl(nullptr); }
};

TEST_F(ParameterUnitsTest, FactorsConvertBetweenUnitsOfOneType) {
    MvSetUnitConvColl(MakeTable().get());
    // `value` in the parameter's units must come out as `bound` in the bound
    // units: bound = value × M + O.
    struct Case {
        const char16_t* units;
        const char16_t* bound;
        double value;
        double expected;
    } cases[] = {
        {u"degC", u"degF", 100.0, 212.0}, {u"degF", u"degC", 32.0, 0.0},
        {u"K", u"degF", 0.0, -459.67},    {u"degF", u"K", 32.0, 273.15},
        {u"DEGc", u"degf", 37.0, 98.6},  // names ignore letter case
        {u"ft", u"m", 10.0, 3.048},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.units) + " -> " + mv::ToUtf8(c.bound));
        auto parameter = WithUnits(c.units, c.bound);
        EXPECT_EQ(parameter->SetUnitConversionFactor(), S_OK);
        const MvUnitFactors f = FactorsOf(parameter.get());
        EXPECT_NE(f.multiplier, 0.0);
        EXPECT_NEAR(c.value * f.multiplier + f.offset, c.expected, 1e-9);
        // A value read from the binding comes back as (x − O) / M.
        EXPECT_NEAR((c.expected - f.offset) / f.multiplier, c.value, 1e-9);
    }
}

TEST_F(ParameterUnitsTest, StoresTheFactorsOrTheMarkerOfWhyNot) {
    struct Case {
        bool table;
        const char16_t* units;
        const char16_t* bound;
        MvUnitFactors expected;
    } cases[] = {
        {false, u"degC", u"degF", kMvUnitNotFound},
        {false, u"", u"degF", kMvNoUnitConversion},
        {true, u"degC", u"degC", {1.0, 0.0}},
        {true, u"", u"nowhere", kMvNoUnitConversion},
        {true, u"K", u"", kMvNoUnitConversion},
        {true, u"nowhere", u"K", kMvUnitNotFound},
        {true, u"K", u"nowhere", kMvUnitNotFound},
        {true, u"degC", u"m", kMvUnitTypesDiffer},
        {true, u"ft", u"degF", kMvUnitTypesDiffer},
        // Found in the third type only.
        {true, u"gauge", u"Pa", {1.0, 101325.0}},
        // "dup" resolves to the first type that has it: Temperature.
        {true, u"dup", u"K", {2.0, 0.0}},
        {true, u"dup", u"Pa", kMvUnitTypesDiffer},
        // A unit whose multiplier is 0 cannot convert, on either side.
        {true, u"zero", u"K", kMvUnitNotFound},
        {true, u"K", u"zero", kMvUnitNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.units) + " -> " + mv::ToUtf8(c.bound));
        MvSetUnitConvColl(c.table ? MakeTable().get() : nullptr);
        auto parameter = WithUnits(c.units, c.bound);
        EXPECT_EQ(parameter->SetUnitConversionFactor(), S_OK);
        const MvUnitFactors f = FactorsOf(parameter.get());
        EXPECT_DOUBLE_EQ(f.multiplier, c.expected.multiplier);
        EXPECT_DOUBLE_EQ(f.offset, c.expected.offset);
    }
}

TEST_F(ParameterUnitsTest, TheTableIsHeldByOneCountedReference) {
    auto table = MakeTable();
    MvSetUnitConvColl(table.get());
    EXPECT_EQ(MvGetUnitConvColl().get(), table.get());
    // Setting the same table again keeps it alive; a new one replaces it.
    MvSetUnitConvColl(table.get());
    auto other = NewCollection();
    MvSetUnitConvColl(other.get());
    EXPECT_EQ(MvGetUnitConvColl().get(), other.get());
    MvSetUnitConvColl(nullptr);
    EXPECT_FALSE(MvGetUnitConvColl());
    // Only the test's own references are left.
    EXPECT_EQ(table->AddRef(), 2u);
    EXPECT_EQ(table->Release(), 1u);
    EXPECT_EQ(other->AddRef(), 2u);
    EXPECT_EQ(other->Release(), 1u);
}

TEST_F(ParameterUnitsTest, EachLookUpIsTracedAsAStep) {
    auto second = NewUnitType(u"Second");
    AddUnits(second.get(), {{u"a", 1.0, 0.0}, {u"b", 2.0, 0.0}});
    MvSetUnitConvColl(TableOf({NewUnitType(u"First").get(), second.get()}).get());
    auto parameter = WithUnits(u"a", u"b");
    values_test::LogCapture log(/*methods=*/false, /*steps=*/true);
    EXPECT_EQ(parameter->SetUnitConversionFactor(), S_OK);
    // Each name is looked for in the first type, then found in the second.
    const std::string lookUp =
        "CMvParameter::GetUnitByName( Function - Start )\n"
        "CMvParameter::GetUnitType( Function - Start )\n"
        "CMvParameter::GetUnitType( Function - End )\n"
        "CMvParameter::GetUnitType( Function - Start )\n"
        "CMvParameter::GetUnitType( Function - End )\n"
        "CMvParameter::GetUnitByName( Function - End )\n";
    EXPECT_EQ(log.Lines(), lookUp + lookUp);
    EXPECT_EQ(FactorsOf(parameter.get()), (MvUnitFactors{0.5, 0.0}));
}

}  // namespace
