// The value and quality operations: the level that a status implies, the
// bulk reads and writes, the record and field identifiers and GetDetails.
#include <cstring>

#include "parameter_test_support.h"

namespace parameter_test {
namespace {

TEST(ParameterQualityTest, StatusSetsTheLevelItImpliesAndMarksTheValueChanged) {
    struct Case {
        SHORT status;
        SHORT level;  // the level starts at 7, which no status implies
    } cases[] = {
        {0, 0},  {-1, 0},      {-2, -1}, {-3, 1}, {-4, 1},    {-5, 1},
        {-6, 2}, {-32768, -1}, {-7, 7},  {1, 7},  {32767, 7}, {-32767, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        auto p = NewParameter();
        ASSERT_EQ(p->put_Level(7), S_OK);
        ASSERT_EQ(p->put_Changed(0), S_OK);
        ASSERT_EQ(p->put_Status(c.status), S_OK);
        SHORT level = 0, status = 0;
        LONG changed = 0;
        p->get_Level(&level);
        p->get_Status(&status);
        p->get_Changed(&changed);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(level, c.level);
        EXPECT_EQ(changed, 1);
    }
}

TEST(ParameterValuesTest, SetParameterValuesStoresWhatIsGivenAndDerivesNothing) {
    auto p = NewParameter();
    p->put_Level(1);
    p->put_Value(mv::Variant(LONG{5}));
    p->put_TimeStamp(3.0);
    p->put_Changed(0);

    // Four null pointers: only the changed flag.
    ASSERT_EQ(p->SetParameterValues(nullptr, nullptr, nullptr, nullptr), S_OK);
    LONG changed = 0;
    p->get_Changed(&changed);
    EXPECT_EQ(changed, 1);

    SHORT status = -6;
    ASSERT_EQ(p->SetParameterValues(nullptr, nullptr, &status, nullptr), S_OK);
    mv::Variant value;
    SHORT level = 0, readStatus = 0;
    DATE when = 0;
    ASSERT_EQ(p->GetParameterValues(&value, &level, &readStatus, &when), S_OK);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 5);
    EXPECT_EQ(level, 1);  // not derived from the status
    EXPECT_EQ(readStatus, -6);
    EXPECT_EQ(when, 3.0);
}

// A by-reference VARIANT is resolved when stored, never kept to dangle. A
// null empties the value but is kept as a default, which leaves the value
// unchanged.
TEST(ParameterValuesTest, ReferencesAreResolvedAndNullEmptiesTheValue) {
    struct Case {
        const char* what;
        int kind;  // how the VARIANT is written
        VARTYPE nullReadsAs;
        LONG changed;
    } cases[] = {{"put_Value", 0, VT_EMPTY, 1},
                 {"putref_Value", 1, VT_EMPTY, 1},
                 {"SetParameterValues", 2, VT_EMPTY, 1},
                 {"put_Default", 3, VT_NULL, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = NewParameter();
        auto write = [&](VARIANT v) {
            if (c.kind == 0) return p->put_Value(v);
            if (c.kind == 1) return p->putref_Value(&v);
            if (c.kind == 2) return p->SetParameterValues(&v, nullptr, nullptr, nullptr);
            return p->put_Default(v);
        };
        auto read = [&] {
            mv::Variant v;
            EXPECT_EQ(c.kind == 3 ? p->get_Default(&v) : p->get_Value(&v), S_OK);
            return v;
        };
        double source = 1.5;
        VARIANT byRef;
        VariantInit(&byRef);
        byRef.vt = VT_BYREF | VT_R8;
        byRef.pdblVal = &source;
        ASSERT_EQ(write(byRef), S_OK);
        source = 2.5;
        ExpectSame(read(), Typed(VT_R8, 1.5));
        ASSERT_EQ(write(Typed(VT_NULL, 0)), S_OK);
        EXPECT_EQ(read().vt, c.nullReadsAs);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Changed), c.changed);
    }
    auto p = NewParameter();
    EXPECT_EQ(p->putref_Value(nullptr), E_POINTER);
    EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Changed), 0);
}

// Every way a value moves in or out replaces what the receiving VARIANT held
// (freeing what it owned) and gives it its own copy of what the value owns;
// a receiver of no known type is left as it is. The sanitizers see a string
// shared or leaked.
TEST(ParameterValuesTest, ValueCopiesOwnWhatTheyHoldAndFreeWhatTheyReplace) {
    auto other = NewParameter();
    mv::ComPtr<IDispatch> object;
    ASSERT_EQ(other.As(&object), S_OK);
    mv::Variant text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"abc");
    mv::Variant decimal;
    decimal.decVal.scale = 2;
    decimal.decVal.sign = DECIMAL_NEG;
    decimal.decVal.Hi32 = 3;
    decimal.decVal.Lo64 = 12345;
    decimal.vt = VT_DECIMAL;
    mv::Variant big;
    big.vt = VT_I8;
    big.llVal = -(LONGLONG{1} << 40);
    mv::Variant dispatch;
    dispatch.vt = VT_DISPATCH;
    dispatch.pdispVal = object.get();
    object->AddRef();
    enum Receiver { Empty, Number, String, Unknown };
    auto same = [](const VARIANT& got, const VARIANT& want) {
        ASSERT_EQ(got.vt, want.vt);
        if (want.vt == VT_BSTR) {
            EXPECT_NE(got.bstrVal, want.bstrVal) << "a copy of its own";
            EXPECT_EQ(Text(got.bstrVal), Text(want.bstrVal));
        } else if (want.vt == VT_DECIMAL) {
            EXPECT_EQ(0, std::memcmp(&got, &want, sizeof got));
        } else {
            EXPECT_EQ(got.llVal, want.llVal);
        }
    };
    const mv::Variant r8 = Typed(VT_R8, 1.5);
    const VARIANT* const values[] = {&r8, &text, &decimal, &big, &dispatch};
    for (const VARIANT* value : values) {
        for (Receiver receiver : {Empty, Number, String, Unknown}) {
            SCOPED_TRACE(testing::Message() << "type " << value->vt << ", receiver " << receiver);
            auto p = NewParameter();
            // Stored over a string the parameter held.
            ASSERT_EQ(p->put_Value(text), S_OK);
            ASSERT_EQ(p->put_Value(*value), S_OK);
            for (int road = 0; road < 2; ++road) {
                VARIANT got;
                VariantInit(&got);
                if (receiver == Number) got.vt = VT_I4, got.lVal = 9;
                if (receiver == String) got.vt = VT_BSTR, got.bstrVal = SysAllocString(u"old");
                if (receiver == Unknown) got.vt = 0x7FF, got.lVal = 9;
                ASSERT_EQ(road == 0 ? p->get_Value(&got)
                                    : p->GetParameterValues(&got, nullptr, nullptr, nullptr),
                          S_OK);
                if (receiver == Unknown) {
                    EXPECT_EQ(got.vt, 0x7FF);
                    EXPECT_EQ(got.lVal, 9);
                    continue;
                }
                same(got, *value);
                EXPECT_EQ(VariantClear(&got), S_OK);
            }
        }
    }
}

TEST(ParameterValuesTest, RecordAndFieldIdentifiersMoveTogetherWithoutTouchingChanged) {
    auto p = NewParameter();
    LONG record = 100, field = 0x10000, history = 0x20000;
    ASSERT_EQ(p->SetParameterRecFld(&record, &field, &history), S_OK);
    LONG newField = 0x30000;
    ASSERT_EQ(p->SetParameterRecFld(nullptr, &newField, nullptr), S_OK);
    LONG r = 0, f = 0, h = 0, statusField = -1, changed = -1;
    ASSERT_EQ(p->GetParameterRecFld(&r, &f, &h), S_OK);
    EXPECT_EQ(r, 100);
    EXPECT_EQ(f, 0x30000);
    EXPECT_EQ(h, 0x20000);
    EXPECT_EQ(p->GetParameterRecFld(nullptr, nullptr, nullptr), S_OK);
    p->get_StatusField_ID(&statusField);
    p->get_Changed(&changed);
    EXPECT_EQ(statusField, 0);
    EXPECT_EQ(changed, 0);
}

TEST(ParameterDetailsTest, ListsThePropertiesPrefersItsOwnUnitsAndSkipsNullPointers) {
    auto p = NewParameter();
    p->put_Name(mv::Bstr(u"Flow").get());
    p->put_Type(5);
    p->put_ParameterType(mvcOutput);
    p->put_Default(mv::Variant(1.0));
    p->put_Source(mv::Bstr(u"tag").get());
    p->put_Value(mv::Variant(LONG{3}));
    p->put_Status(-3);
    p->put_BoundUnits(mv::Bstr(u"degC").get());

    struct Case {
        const char16_t* units;
        const char16_t* expected;
    } cases[] = {{nullptr, u"degC"}, {u"degF", u"degF"}};
    for (const Case& c : cases) {
        p->put_Units(mv::Bstr(c.units).get());
        mv::Bstr name, typeText, parameterTypeText, source, units;
        mv::Variant def, value;
        SHORT status = 0;
        ASSERT_EQ(p->GetDetails(name.Out(), typeText.Out(), parameterTypeText.Out(), &def,
                                source.Out(), &value, &status, units.Out()),
                  S_OK);
        EXPECT_EQ(name.view(), u"Flow");
        EXPECT_EQ(typeText.view(), u"Float");
        EXPECT_EQ(parameterTypeText.view(), u"Output");
        EXPECT_EQ(def.dblVal, 1.0);
        EXPECT_EQ(source.view(), u"tag");
        EXPECT_EQ(value.lVal, 3);
        EXPECT_EQ(status, -3);
        EXPECT_EQ(units.view(), c.expected);
    }
    // Every out pointer may be null.
    EXPECT_EQ(p->GetDetails(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              S_OK);
}

}  // namespace
}  // namespace parameter_test
