#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "counted_object.h"
#include "oleaut.h"

namespace {

using mv::test::CountedObject;

std::u16string Text(BSTR b) {
    return std::u16string(b ? b : u"", SysStringLen(b));
}

VARIANT Make(VARTYPE vt) {
    VARIANT v;
    std::memset(&v, 0, sizeof v);
    v.vt = vt;
    return v;
}

SAFEARRAY* BstrVector(std::initializer_list<const char16_t*> items) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size()));
    LONG i = 0;
    for (const char16_t* s : items) {
        BSTR b = SysAllocString(s);
        SafeArrayPutElement(psa, &i, b);
        SysFreeString(b);
        ++i;
    }
    return psa;
}

// Types a VARIANT may not hold. VT_RECORD is refused because this layer has
// no record information to copy or free one with.
const VARTYPE kBadTypes[] = {
    15,  // unassigned between VT_DECIMAL and VT_I1
    VT_VOID,
    VT_HRESULT,
    VT_PTR,
    VT_SAFEARRAY,
    VT_CARRAY,
    VT_USERDEFINED,
    VT_LPSTR,
    VT_LPWSTR,
    VT_RECORD,
    VT_FILETIME,
    VT_BLOB,
    VT_CLSID,
    0x0FFF,
    VT_EMPTY | VT_BYREF,  // nothing to refer to
    VT_NULL | VT_BYREF,
    VT_EMPTY | VT_ARRAY,
    VT_NULL | VT_ARRAY,
    VT_I4 | VT_VECTOR,  // vectors live in property sets only
    VT_I4 | VT_RESERVED,
    VT_ILLEGAL,
};

TEST(Variant, BadTypesAreRefusedAndLeftUntouched) {
    for (const VARTYPE vt : kBadTypes) {
        SCOPED_TRACE(vt);
        VARIANT v = Make(vt);
        v.lVal = 1234;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
        EXPECT_EQ(v.vt, vt);
        mv::Variant dest(LONG{7});
        EXPECT_EQ(VariantCopy(&dest, &v), DISP_E_BADVARTYPE);
        EXPECT_EQ(dest.vt, VT_I4);
        EXPECT_EQ(dest.lVal, 7);
        EXPECT_EQ(VariantCopyInd(&dest, &v), DISP_E_BADVARTYPE);
        EXPECT_EQ(dest.lVal, 7);
    }
}

TEST(Variant, NullArgumentsAreRefused) {
    VARIANT v = Make(VT_I4);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(&v, nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopyInd(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(VariantCopyInd(&v, nullptr), E_INVALIDARG);
    VariantInit(nullptr);
}

TEST(Variant, ClearReleasesWhatTheValueOwnsAndNothingByReference) {
    CountedObject obj;
    BSTR shared = SysAllocString(u"not owned");
    SAFEARRAY* sharedArray = BstrVector({u"x"});
    struct Case {
        const char* name;
        VARIANT v;
        ULONG refsAfter;
    };
    VARIANT owningBstr = Make(VT_BSTR);
    owningBstr.bstrVal = SysAllocString(u"owned");
    VARIANT owningArray = Make(VT_ARRAY | VT_BSTR);
    owningArray.parray = BstrVector({u"a", u"b"});
    VARIANT owningDisp = Make(VT_DISPATCH);
    owningDisp.pdispVal = &obj;
    obj.AddRef();
    VARIANT owningUnk = Make(VT_UNKNOWN);
    owningUnk.punkVal = &obj;
    obj.AddRef();
    VARIANT refBstr = Make(VT_BSTR | VT_BYREF);
    refBstr.pbstrVal = &shared;
    IDispatch* disp = &obj;
    VARIANT refDisp = Make(VT_DISPATCH | VT_BYREF);
    refDisp.ppdispVal = &disp;
    VARIANT refArray = Make(VT_ARRAY | VT_BSTR | VT_BYREF);
    refArray.pparray = &sharedArray;
    VARIANT nullBstr = Make(VT_BSTR);
    VARIANT nullUnk = Make(VT_UNKNOWN);
    VARIANT nullArray = Make(VT_ARRAY | VT_I4);

    Case cases[] = {
        {"BSTR", owningBstr, 3},       {"array", owningArray, 3},
        {"IDispatch", owningDisp, 2},  {"IUnknown", owningUnk, 1},
        {"BSTR by ref", refBstr, 1},   {"IDispatch by ref", refDisp, 1},
        {"array by ref", refArray, 1}, {"null BSTR", nullBstr, 1},
        {"null IUnknown", nullUnk, 1}, {"null array", nullArray, 1},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VariantClear(&c.v), S_OK);
        EXPECT_EQ(c.v.vt, VT_EMPTY);
        EXPECT_EQ(obj.refs, c.refsAfter);
    }
    // What was only referred to is still alive.
    EXPECT_EQ(Text(shared), u"not owned");
    EXPECT_EQ(SafeArrayDestroy(sharedArray), S_OK);
    SysFreeString(shared);
}

TEST(Variant, ClearOfLockedArrayFailsAndKeepsIt) {
    VARIANT v = Make(VT_ARRAY | VT_BSTR);
    v.parray = BstrVector({u"a"});
    SafeArrayLock(v.parray);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
    SafeArrayUnlock(v.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(Variant, CopyIsDeepForOwnedValues) {
    CountedObject obj;
    // A string made from an odd number of bytes, with an embedded NUL.
    mv::Variant bstr;
    bstr.vt = VT_BSTR;
    bstr.bstrVal = SysAllocStringByteLen("a\0bcd", 5);
    mv::Variant copy;
    ASSERT_EQ(VariantCopy(&copy, &bstr), S_OK);
    EXPECT_NE(copy.bstrVal, bstr.bstrVal);
    EXPECT_EQ(SysStringByteLen(copy.bstrVal), 5u);
    EXPECT_EQ(std::memcmp(copy.bstrVal, "a\0bcd", 5), 0);

    mv::Variant disp;
    disp.vt = VT_DISPATCH;
    disp.pdispVal = &obj;
    obj.AddRef();
    ASSERT_EQ(VariantCopy(&copy, &disp), S_OK);  // frees the BSTR copy first
    EXPECT_EQ(obj.refs, 3u);
    EXPECT_EQ(copy.pdispVal, &obj);

    mv::Variant array;
    array.vt = VT_ARRAY | VT_BSTR;
    array.parray = BstrVector({u"one", u"two"});
    ASSERT_EQ(VariantCopy(&copy, &array), S_OK);
    EXPECT_EQ(obj.refs, 2u);
    EXPECT_NE(copy.parray, array.parray);
    LONG i = 1;
    BSTR original = nullptr, copied = nullptr;
    SafeArrayGetElement(array.parray, &i, &original);
    SafeArrayGetElement(copy.parray, &i, &copied);
    EXPECT_EQ(Text(copied), u"two");
    SysFreeString(original);
    SysFreeString(copied);

    mv::Variant decimal;
    decimal.decVal.Lo64 = 12345;
    decimal.decVal.scale = 2;
    decimal.vt = VT_DECIMAL;
    ASSERT_EQ(VariantCopy(&copy, &decimal), S_OK);
    EXPECT_EQ(copy.vt, VT_DECIMAL);
    EXPECT_EQ(copy.decVal.Lo64, 12345u);
    EXPECT_EQ(copy.decVal.scale, 2);
}

TEST(Variant, CopyOfReferenceCopiesTheReference) {
    LONG target = 5;
    VARIANT ref = Make(VT_I4 | VT_BYREF);
    ref.plVal = &target;
    mv::Variant copy;
    ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
    EXPECT_EQ(copy.vt, VT_I4 | VT_BYREF);
    EXPECT_EQ(copy.plVal, &target);
}

TEST(Variant, CopyOntoItselfChangesNothing) {
    mv::Variant v(u"same");
    BSTR before = v.bstrVal;
    EXPECT_EQ(VariantCopy(&v, &v), S_OK);
    EXPECT_EQ(v.bstrVal, before);
    EXPECT_EQ(VariantCopyInd(&v, &v), S_OK);
    EXPECT_EQ(v.bstrVal, before);
}

TEST(Variant, CopyFromInsideTheDestinationIsSafe) {
    // The source lives in the array the destination owns, which the copy's
    // clearing of the destination destroys.
    mv::Variant holder;
    holder.vt = VT_ARRAY | VT_VARIANT;
    holder.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    mv::Variant text(u"inner");
    LONG i = 0;
    SafeArrayPutElement(holder.parray, &i, &text);
    VARIANT* inner = nullptr;
    SafeArrayPtrOfIndex(holder.parray, &i, reinterpret_cast<void**>(&inner));
    ASSERT_EQ(VariantCopy(&holder, inner), S_OK);
    EXPECT_EQ(holder.vt, VT_BSTR);
    EXPECT_EQ(Text(holder.bstrVal), u"inner");
}

TEST(Variant, CopyIntoLockedArrayHolderFailsWithoutLeaking) {
    mv::Variant dest;
    dest.vt = VT_ARRAY | VT_I4;
    dest.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    SafeArrayLock(dest.parray);
    mv::Variant src(u"text");
    EXPECT_EQ(VariantCopy(&dest, &src), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(dest.vt, VT_ARRAY | VT_I4);
    SafeArrayUnlock(dest.parray);
}

TEST(Variant, CopyIndResolvesEachReferenceType) {
    CountedObject obj;
    CHAR c = -3;
    SHORT s = -300;
    VARIANT_BOOL flag = VARIANT_TRUE;
    LONG l = 70000;
    FLOAT f = 1.5f;
    DOUBLE d = 2.25;
    LONGLONG ll = -(LONGLONG{1} << 40);
    CY cy;
    cy.int64 = 123456;
    DATE date = 36526.5;
    SCODE err = DISP_E_PARAMNOTFOUND;
    DECIMAL dec{};
    dec.Lo64 = 99;
    dec.sign = DECIMAL_NEG;
    BSTR text = SysAllocString(u"by ref");
    IDispatch* disp = &obj;
    SAFEARRAY* array = BstrVector({u"el"});

    struct Case {
        VARTYPE vt;
        void* ref;
    };
    const Case cases[] = {
        {VT_I1, &c},          {VT_I2, &s},
        {VT_BOOL, &flag},     {VT_I4, &l},
        {VT_R4, &f},          {VT_R8, &d},
        {VT_I8, &ll},         {VT_CY, &cy},
        {VT_DATE, &date},     {VT_ERROR, &err},
        {VT_DECIMAL, &dec},   {VT_BSTR, &text},
        {VT_DISPATCH, &disp}, {VT_ARRAY | VT_BSTR, &array},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.vt);
        VARIANT ref = Make(k.vt | VT_BYREF);
        ref.byref = k.ref;
        mv::Variant out;
        ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
        EXPECT_EQ(out.vt, k.vt);
        switch (k.vt) {
            case VT_I1:
                EXPECT_EQ(out.cVal, c);
                break;
            case VT_I2:
                EXPECT_EQ(out.iVal, s);
                break;
            case VT_BOOL:
                EXPECT_EQ(out.boolVal, flag);
                break;
            case VT_I4:
                EXPECT_EQ(out.lVal, l);
                break;
            case VT_R4:
                EXPECT_EQ(out.fltVal, f);
                break;
            case VT_R8:
                EXPECT_EQ(out.dblVal, d);
                break;
            case VT_I8:
                EXPECT_EQ(out.llVal, ll);
                break;
            case VT_CY:
                EXPECT_EQ(out.cyVal.int64, cy.int64);
                break;
            case VT_DATE:
                EXPECT_EQ(out.date, date);
                break;
            case VT_ERROR:
                EXPECT_EQ(out.scode, err);
                break;
            case VT_DECIMAL:
                EXPECT_EQ(out.decVal.Lo64, 99u);
                EXPECT_EQ(out.decVal.sign, DECIMAL_NEG);
                break;
            case VT_BSTR:
                EXPECT_NE(out.bstrVal, text);
                EXPECT_EQ(Text(out.bstrVal), u"by ref");
                break;
            case VT_DISPATCH:
                EXPECT_EQ(obj.refs, 2u);
                break;
            default:
                EXPECT_NE(out.parray, array);
                break;
        }
    }
    EXPECT_EQ(obj.refs, 1u);
    SysFreeString(text);
    SafeArrayDestroy(array);
}

TEST(Variant, CopyIndResolvesOneLevelOfVariantReference) {
    LONG l = 42;
    mv::Variant byValue(u"inner");
    VARIANT innerRef = Make(VT_I4 | VT_BYREF);
    innerRef.plVal = &l;

    struct Case {
        const char* name;
        VARIANT* inner;
        HRESULT hr;
        VARTYPE vt;
    };
    VARIANT refToRef = Make(VT_VARIANT | VT_BYREF);
    refToRef.pvarVal = &byValue;
    const Case cases[] = {
        {"value", &byValue, S_OK, VT_BSTR},
        // A reference inside the referenced VARIANT is resolved too.
        {"reference inside", &innerRef, S_OK, VT_I4},
        // A reference to a reference to a VARIANT is refused.
        {"variant reference inside", &refToRef, E_INVALIDARG, VT_EMPTY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VARIANT outer = Make(VT_VARIANT | VT_BYREF);
        outer.pvarVal = c.inner;
        mv::Variant out;
        EXPECT_EQ(VariantCopyInd(&out, &outer), c.hr);
        EXPECT_EQ(out.vt, c.vt);
    }
}

TEST(Variant, CopyIndInPlaceTakesOwnershipOfACopy) {
    BSTR text = SysAllocString(u"shared");
    mv::Variant v;
    v.vt = VT_BSTR | VT_BYREF;
    v.pbstrVal = &text;
    ASSERT_EQ(VariantCopyInd(&v, &v), S_OK);
    EXPECT_EQ(v.vt, VT_BSTR);
    EXPECT_NE(v.bstrVal, text);
    EXPECT_EQ(Text(v.bstrVal), u"shared");
    SysFreeString(text);
}

TEST(Variant, CopyIndOfNullReferenceIsRefused) {
    VARIANT ref = Make(VT_I4 | VT_BYREF);
    mv::Variant out(LONG{1});
    EXPECT_EQ(VariantCopyInd(&out, &ref), E_INVALIDARG);
    EXPECT_EQ(out.lVal, 1);
}

}  // namespace
