// Helpers of the parameter and unit tests: new objects, property access
// through dispatch, typed VARIANTs and their comparison, the unit classes
// served from the process's class table (collections recreate their members
// by class) and unit tables built in code.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>

#include "../persistence/values_test_support.h"
#include "comobj.h"
#include "interfaces/IMvEngUnitType.h"
#include "interfaces/IMvParameter.h"
#include "parameters/eng_unit.h"
#include "parameters/eng_unit_type.h"
#include "parameters/parameter.h"
#include "persistence/obj_collection.h"

namespace parameter_test {

inline mv::ComPtr<IMvParameter> NewParameter() {
    mv::ComPtr<IMvParameter> p;
    EXPECT_EQ(mv::CreateComObject<CMvParameter>(nullptr, IID_IMvParameter, p.PutVoid()), S_OK);
    return p;
}

// A parameter whose value cannot be copied out (`failReads`) or in
// (`failStores`), as when memory runs out for the copy: the value's getters
// or setters answer E_OUTOFMEMORY and change nothing.
class ShortOfMemoryParameter : public CMvParameter {
public:
    bool failReads = false, failStores = false;
    HRESULT get_Value(VARIANT* v) override {
        return failReads ? E_OUTOFMEMORY : CMvParameter::get_Value(v);
    }
    HRESULT GetParameterValues(VARIANT* v, SHORT* l, SHORT* s, DATE* t) override {
        return failReads ? E_OUTOFMEMORY : CMvParameter::GetParameterValues(v, l, s, t);
    }
    HRESULT put_Value(VARIANT v) override {
        return failStores ? E_OUTOFMEMORY : CMvParameter::put_Value(v);
    }
    HRESULT SetParameterValues(VARIANT* v, SHORT* l, SHORT* s, DATE* t) override {
        return failStores ? E_OUTOFMEMORY : CMvParameter::SetParameterValues(v, l, s, t);
    }
};

inline mv::ComPtr<mv::ComObject<ShortOfMemoryParameter>> NewShortOfMemoryParameter() {
    mv::ComPtr<mv::ComObject<ShortOfMemoryParameter>> p;
    EXPECT_EQ(mv::MakeComObject(&p), S_OK);
    return p;
}

// A property read through IDispatch::Invoke.
inline mv::Variant DispGet(IDispatch* d, DISPID id) {
    DISPPARAMS none{};
    mv::Variant result;
    EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              S_OK)
        << "DISPID " << id;
    return result;
}

// A property written through IDispatch::Invoke.
inline HRESULT DispPut(IDispatch* d, DISPID id, const VARIANT& value,
                       WORD kind = DISPATCH_PROPERTYPUT) {
    VARIANT arg = value;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &named, 1, 1};
    return d->Invoke(id, IID_NULL, 0, kind, &params, nullptr, nullptr, nullptr);
}

inline std::u16string Text(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
}

// A VARIANT of type VT_I2, VT_BOOL, VT_I4, VT_R8 or VT_DATE holding `v`.
inline mv::Variant Typed(VARTYPE vt, double v) {
    mv::Variant r;
    r.vt = vt;
    if (vt == VT_I2 || vt == VT_BOOL) r.iVal = static_cast<SHORT>(v);
    if (vt == VT_I4) r.lVal = static_cast<LONG>(v);
    if (vt == VT_R8 || vt == VT_DATE) r.dblVal = v;
    return r;
}

// Same type and value; doubles within the relative `tolerance`.
inline void ExpectSame(const VARIANT& got, const VARIANT& want, double tolerance = 0.0) {
    ASSERT_EQ(got.vt, want.vt);
    switch (want.vt) {
        case VT_BSTR:
            EXPECT_EQ(Text(got.bstrVal), Text(want.bstrVal));
            break;
        case VT_R8:
        case VT_DATE:
            EXPECT_NEAR(got.dblVal, want.dblVal, std::fabs(want.dblVal) * tolerance);
            break;
        case VT_UI1:
            EXPECT_EQ(got.bVal, want.bVal);
            break;
        case VT_I2:
        case VT_BOOL:
            EXPECT_EQ(got.iVal, want.iVal);
            break;
        default:
            EXPECT_EQ(got.lVal, want.lVal);
    }
}

inline LONG NumberOf(IMvParameter* p, HRESULT (IMvParameter::*get)(LONG*)) {
    LONG v = 0;
    EXPECT_EQ((p->*get)(&v), S_OK);
    return v;
}

inline std::string TextOf(IMvParameter* p, HRESULT (IMvParameter::*get)(BSTR*)) {
    mv::Bstr b;
    EXPECT_EQ((p->*get)(b.Out()), S_OK);
    return b.Utf8();
}

// The outcome of a set-up or validation: the result and the error text
// ("(null)" for a null one).
struct Outcome {
    HRESULT hr;
    std::string text;
};
inline Outcome OutcomeOf(HRESULT hr, const mv::Bstr& error) {
    return {hr, error.get() ? error.Utf8() : "(null)"};
}

// Serves CMvEngUnit and CMvEngUnitType for the lifetime of the object.
struct ServedUnitClasses {
    values_test::ServedClass unit = values_test::ServedClass::Of<CMvEngUnit>(CLSID_MvEngUnit);
    values_test::ServedClass type =
        values_test::ServedClass::Of<CMvEngUnitType>(CLSID_MvEngUnitType);
};

inline mv::ComPtr<IMvEngUnit> NewUnit() {
    mv::ComPtr<mv::ComObject<CMvEngUnit>> unit;
    EXPECT_EQ(mv::MakeComObject(&unit), S_OK);
    return mv::ComPtr<IMvEngUnit>(unit.get());
}

inline mv::ComPtr<IMvEngUnitType> NewUnitType(const char16_t* name = u"") {
    mv::ComPtr<mv::ComObject<CMvEngUnitType>> type;
    EXPECT_EQ(mv::MakeComObject(&type), S_OK);
    EXPECT_EQ(type->put_Name(mv::Bstr(name).get()), S_OK);
    return mv::ComPtr<IMvEngUnitType>(type.get());
}

inline mv::ComPtr<IMvObjCollection> NewCollection() {
    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection;
    EXPECT_EQ(mv::MakeComObject(&collection), S_OK);
    return mv::ComPtr<IMvObjCollection>(collection.get());
}

// One unit of a table: its name and its factors to the standard unit.
struct UnitRow {
    const char16_t* name;
    double multiplier;
    double offset;
};

// Adds the units to `type`, in order.
inline void AddUnits(IMvEngUnitType* type, std::initializer_list<UnitRow> rows) {
    for (const UnitRow& row : rows) {
        mv::ComPtr<IMvEngUnit> unit;
        ASSERT_EQ(type->AddUnit(mv::Bstr(row.name).get(), unit.Put()), S_OK);
        ASSERT_EQ(unit->put_Multiplier(row.multiplier), S_OK);
        ASSERT_EQ(unit->put_Offset(row.offset), S_OK);
    }
}

// A collection of unit types, each filed under its name.
inline mv::ComPtr<IMvObjCollection> TableOf(std::initializer_list<IMvEngUnitType*> types) {
    auto table = NewCollection();
    for (IMvEngUnitType* type : types) {
        mv::Bstr name;
        EXPECT_EQ(type->get_Name(name.Out()), S_OK);
        EXPECT_EQ(table->Add(name.get(), type), S_OK);
    }
    return table;
}

}  // namespace parameter_test
