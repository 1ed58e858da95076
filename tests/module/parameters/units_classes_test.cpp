// Engineering units and unit types: properties, the look-up and filing of
// units by name, and faulting null out pointers.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "parameter_test_support.h"

namespace {

using namespace parameter_test;

TEST(EngUnitTest, TextPropertiesKeepWhatTheyAreGiven) {
    auto unit = NewUnit();
    auto type = NewUnitType();
    using Put = std::function<HRESULT(BSTR)>;
    using Get = std::function<HRESULT(BSTR*)>;
    struct Case {
        const char* what;
        Put put;
        Get get;
    } cases[] = {
        {"unit Name", [&](BSTR v) { return unit->put_Name(v); },
         [&](BSTR* p) { return unit->get_Name(p); }},
        {"unit Description", [&](BSTR v) { return unit->put_Description(v); },
         [&](BSTR* p) { return unit->get_Description(p); }},
        {"type Name", [&](BSTR v) { return type->put_Name(v); },
         [&](BSTR* p) { return type->get_Name(p); }},
        {"type Description", [&](BSTR v) { return type->put_Description(v); },
         [&](BSTR* p) { return type->get_Description(p); }},
        {"type StandardUnit", [&](BSTR v) { return type->put_StandardUnit(v); },
         [&](BSTR* p) { return type->get_StandardUnit(p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        mv::Bstr got;
        // Text outside ASCII survives the narrow form.
        EXPECT_EQ(c.put(mv::Bstr(u"\u00B0C \u03BCm").get()), S_OK);
        EXPECT_EQ(c.get(got.Out()), S_OK);
        EXPECT_EQ(got.view(), u"\u00B0C \u03BCm");
        // A null text empties the field; the getter still hands out a string.
        EXPECT_EQ(c.put(nullptr), S_OK);
        EXPECT_EQ(c.get(got.Out()), S_OK);
        ASSERT_NE(got.get(), nullptr);
        EXPECT_EQ(got.view(), u"");
    }
}

TEST(EngUnitTypeTest, FilesUnitsByNameIgnoringLetterCase) {
    auto type = NewUnitType(u"Temperature");
    mv::ComPtr<IMvObjCollection> units;
    ASSERT_EQ(type->get_Units(units.Put()), S_OK);
    LONG count = -1;
    EXPECT_EQ(units->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);

    mv::ComPtr<IMvEngUnit> added;
    ASSERT_EQ(type->AddUnit(mv::Bstr(u"degF").get(), added.Put()), S_OK);
    ASSERT_TRUE(added);
    mv::Bstr name;
    EXPECT_EQ(added->get_Name(name.Out()), S_OK);
    EXPECT_EQ(name.view(), u"degF");

    struct Case {
        const char* what;
        bool add;
        const char16_t* name;
        HRESULT result;
        bool sameAsAdded;
        const char16_t* error;
    } cases[] = {
        {"found in another case", false, u"DEGF", S_OK, true, u""},
        {"found as filed", false, u"degF", S_OK, true, u""},
        {"unknown name", false, u"degC", E_FAIL, false, u"Item: Named item not found"},
        {"null name", false, nullptr, E_FAIL, false, u"Item: Named item not found"},
        {"added twice", true, u"DegF", E_FAIL, false, u"Add: Item is already in collection"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetErrorInfo(0, nullptr);
        IMvEngUnit* raw = reinterpret_cast<IMvEngUnit*>(&count);  // not null before the call
        mv::ComPtr<IMvEngUnit> got;
        const HRESULT hr = c.add ? type->AddUnit(mv::Bstr(c.name).get(), &raw)
                                 : type->GetUnit(c.name ? mv::Bstr(c.name).get() : nullptr, &raw);
        EXPECT_EQ(hr, c.result);
        got.Attach(SUCCEEDED(hr) ? raw : nullptr);
        if (FAILED(hr)) {
            EXPECT_EQ(raw, nullptr);
        }
        if (c.sameAsAdded) {
            EXPECT_EQ(got.get(), added.get());
        }
        EXPECT_EQ(values_test::TakeErrorInfo().description, c.error);
    }
    EXPECT_EQ(units->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
}

TEST(EngUnitTypeTest, NullOutPointersFaultWithoutChangingAnything) {
    auto unit = NewUnit();
    auto type = NewUnitType();
    struct Case {
        const char* what;
        std::function<HRESULT()> call;
    } cases[] = {
        {"unit get_Name", [&] { return unit->get_Name(nullptr); }},
        {"unit get_Description", [&] { return unit->get_Description(nullptr); }},
        {"unit get_Multiplier", [&] { return unit->get_Multiplier(nullptr); }},
        {"unit get_Offset", [&] { return unit->get_Offset(nullptr); }},
        {"type get_Name", [&] { return type->get_Name(nullptr); }},
        {"type get_Description", [&] { return type->get_Description(nullptr); }},
        {"type get_StandardUnit", [&] { return type->get_StandardUnit(nullptr); }},
        {"type get_Units", [&] { return type->get_Units(nullptr); }},
        {"type GetUnit", [&] { return type->GetUnit(mv::Bstr(u"x").get(), nullptr); }},
        {"type AddUnit", [&] { return type->AddUnit(mv::Bstr(u"x").get(), nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), E_UNEXPECTED);
    }
    // The refused AddUnit filed nothing.
    mv::ComPtr<IMvObjCollection> units;
    ASSERT_EQ(type->get_Units(units.Put()), S_OK);
    LONG count = -1;
    EXPECT_EQ(units->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
}

}  // namespace
