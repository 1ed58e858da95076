#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "../../support/failing_new.h"
#include "oleaut.h"
#include "test_support.h"

namespace {

using mv::test::CountedObject;
using mv::test::Raw;
using mv::test::Utf8;

SAFEARRAY* BstrVector(std::initializer_list<const char16_t*> items) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size()));
    LONG i = 0;
    for (const char16_t* s : items) {
        mv::Bstr b(s);
        SafeArrayPutElement(psa, &i, b.get());
        ++i;
    }
    return psa;
}

// Types a VARIANT may not hold: just past each valid range, VT_RECORD (no
// record information to copy or free one with), and forms with no value.
const VARTYPE kBadTypes[] = {
    15,
    VT_VOID,
    VT_RECORD,
    0x0FFF,
    VT_EMPTY | VT_BYREF,
    VT_NULL | VT_ARRAY,
    VT_I4 | VT_VECTOR,
    VT_I4 | VT_RESERVED,
    VT_ILLEGAL,
};

TEST(Variant, BadTypesAreRefusedAndLeftUntouched) {
    for (const VARTYPE vt : kBadTypes) {
        SCOPED_TRACE(vt);
        VARIANT v = Raw(vt, 1234);
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
        EXPECT_EQ(v.vt, vt);
        mv::Variant dest(LONG{7});
        EXPECT_EQ(VariantCopy(&dest, &v), DISP_E_BADVARTYPE);
        EXPECT_EQ(VariantCopyInd(&dest, &v), DISP_E_BADVARTYPE);
        EXPECT_EQ(dest.vt, VT_I4);
        EXPECT_EQ(dest.lVal, 7);
    }
}

TEST(Variant, NullArgumentsAndNullReferencesAreRefused) {
    VARIANT v = Raw(VT_I4);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(&v, nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopyInd(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(VariantCopyInd(&v, nullptr), E_INVALIDARG);
    VariantInit(nullptr);
    VARIANT ref = Raw(VT_I4 | VT_BYREF);
    mv::Variant out(LONG{1});
    EXPECT_EQ(VariantCopyInd(&out, &ref), E_INVALIDARG);
    EXPECT_EQ(out.lVal, 1);
}

TEST(Variant, ClearReleasesWhatTheValueOwnsAndNothingByReference) {
    CountedObject obj;
    BSTR shared = SysAllocString(u"not owned");
    IDispatch* disp = &obj;
    struct Case {
        const char* name;
        VARIANT v;
        ULONG refsAfter;
    };
    Case cases[] = {
        {"BSTR", Raw(VT_BSTR), 3},
        {"array", Raw(VT_ARRAY | VT_BSTR), 3},
        {"IDispatch", Raw(VT_DISPATCH), 2},
        {"IUnknown", Raw(VT_UNKNOWN), 1},
        {"BSTR by ref", Raw(VT_BSTR | VT_BYREF), 1},
        {"IDispatch by ref", Raw(VT_DISPATCH | VT_BYREF), 1},
        {"null IUnknown", Raw(VT_UNKNOWN), 1},
        {"null array", Raw(VT_ARRAY | VT_I4), 1},
    };
    cases[0].v.bstrVal = SysAllocString(u"owned");
    cases[1].v.parray = BstrVector({u"a", u"b"});
    cases[2].v.pdispVal = &obj;
    cases[3].v.punkVal = &obj;
    obj.refs += 2;
    cases[4].v.pbstrVal = &shared;
    cases[5].v.ppdispVal = &disp;
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VariantClear(&c.v), S_OK);
        EXPECT_EQ(c.v.vt, VT_EMPTY);
        EXPECT_EQ(obj.refs, c.refsAfter);
    }
    // What was only referred to is still alive.
    EXPECT_EQ(Utf8(shared), "not owned");
    SysFreeString(shared);
}

TEST(Variant, ClearOfLockedArrayFailsAndKeepsIt) {
    VARIANT v = Raw(VT_ARRAY | VT_BSTR);
    v.parray = BstrVector({u"a"});
    SafeArrayLock(v.parray);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
    SafeArrayUnlock(v.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(Variant, CopyIsDeepForOwnedValuesAndShallowForReferences) {
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
    BSTR copied = nullptr;
    SafeArrayGetElement(copy.parray, &i, &copied);
    EXPECT_EQ(mv::Bstr::Attach(copied).Utf8(), "two");

    mv::Variant decimal;
    decimal.decVal.Lo64 = 12345;
    decimal.decVal.scale = 2;
    decimal.vt = VT_DECIMAL;
    ASSERT_EQ(VariantCopy(&copy, &decimal), S_OK);
    EXPECT_EQ(copy.vt, VT_DECIMAL);
    EXPECT_EQ(copy.decVal.Lo64, 12345u);
    EXPECT_EQ(copy.decVal.scale, 2);

    LONG target = 5;
    VARIANT ref = Raw(VT_I4 | VT_BYREF);
    ref.plVal = &target;
    ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
    EXPECT_EQ(copy.vt, VT_I4 | VT_BYREF);
    EXPECT_EQ(copy.plVal, &target);
}

TEST(Variant, CopyOntoItselfChangesNothing) {
    mv::Variant v(u"same");
    BSTR before = v.bstrVal;
    EXPECT_EQ(VariantCopy(&v, &v), S_OK);
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
    EXPECT_EQ(Utf8(holder), "inner");
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

// A Variant's copy that runs out of memory throws, and an assignment keeps
// the target's value; one that fails otherwise leaves the target Empty.
TEST(Variant, ACopyThatRunsOutOfMemoryThrowsInsteadOfGivingEmpty) {
    if (!mv_test::CanFailCAllocator()) GTEST_SKIP() << "the C allocator cannot be made to fail";
    mv::Variant text(u"alpha"), array;
    array.vt = VT_ARRAY | VT_BSTR;
    array.parray = BstrVector({u"beta"});
    for (const mv::Variant* source : {&text, &array}) {
        mv::Variant target(LONG{7});
        {
            mv_test::FailingNthNew failing(1, mv_test::Allocator::C);
            EXPECT_THROW(mv::Variant{*source}, std::bad_alloc);
        }
        {
            mv_test::FailingNthNew failing(1, mv_test::Allocator::C);
            EXPECT_THROW(target = *source, std::bad_alloc);
        }
        EXPECT_EQ(target.vt, VT_I4);
        EXPECT_EQ(target.lVal, 7);
    }
    mv::Variant bad(LONG{7}), target(u"kept");
    bad.vt = VT_RECORD;
    target = bad;
    EXPECT_EQ(target.vt, VT_EMPTY);
    EXPECT_EQ(mv::Variant(static_cast<const VARIANT&>(bad)).vt, VT_EMPTY);
    bad.vt = VT_EMPTY;
}

TEST(Variant, CopyIndResolvesEachKindOfReference) {
    CountedObject obj;
    CHAR c = -3;
    SHORT s = -300;
    LONG l = 70000;
    DOUBLE d = 2.25;
    CY cy;
    cy.int64 = 123456;
    DECIMAL dec{};
    dec.Lo64 = 99;
    dec.sign = DECIMAL_NEG;
    BSTR text = SysAllocString(u"by ref");
    IDispatch* disp = &obj;
    SAFEARRAY* array = BstrVector({u"el"});

    // One type of each value size (the sizes themselves are pinned by the
    // array tests), and the types that own what they hold.
    struct Case {
        VARTYPE vt;
        void* ref;
        size_t size;  // value bytes compared; 0: checked below
    };
    const Case cases[] = {
        {VT_I1, &c, 1},      {VT_I2, &s, 2},          {VT_I4, &l, 4},
        {VT_R8, &d, 8},      {VT_CY, &cy, 8},         {VT_DECIMAL, &dec, 0},
        {VT_BSTR, &text, 0}, {VT_DISPATCH, &disp, 0}, {VT_ARRAY | VT_BSTR, &array, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.vt);
        VARIANT ref = Raw(k.vt | VT_BYREF);
        ref.byref = k.ref;
        mv::Variant out;
        ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
        EXPECT_EQ(out.vt, k.vt);
        EXPECT_EQ(k.size ? std::memcmp(&out.llVal, k.ref, k.size) : 0, 0);
        if (k.vt == VT_DECIMAL) {
            EXPECT_EQ(out.decVal.Lo64, 99u);
            EXPECT_EQ(out.decVal.sign, DECIMAL_NEG);
        } else if (k.vt == VT_BSTR) {
            EXPECT_NE(out.bstrVal, text);
            EXPECT_EQ(Utf8(out), "by ref");
        } else if (k.vt == VT_DISPATCH) {
            EXPECT_EQ(obj.refs, 2u);
        } else if (k.vt & VT_ARRAY) {
            EXPECT_NE(out.parray, array);
        }
    }
    EXPECT_EQ(obj.refs, 1u);
    SysFreeString(text);
    SafeArrayDestroy(array);
}

TEST(Variant, CopyIndResolvesOneLevelOfVariantReference) {
    LONG l = 42;
    mv::Variant byValue(u"inner");
    VARIANT innerRef = Raw(VT_I4 | VT_BYREF);
    innerRef.plVal = &l;
    VARIANT refToRef = Raw(VT_VARIANT | VT_BYREF);
    refToRef.pvarVal = &byValue;
    struct Case {
        const char* name;
        VARIANT* inner;
        HRESULT hr;
        VARTYPE vt;
    };
    const Case cases[] = {
        {"value", &byValue, S_OK, VT_BSTR},
        // A reference inside the referenced VARIANT is resolved too.
        {"reference inside", &innerRef, S_OK, VT_I4},
        // A reference to a reference to a VARIANT is refused.
        {"variant reference inside", &refToRef, E_INVALIDARG, VT_EMPTY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VARIANT outer = Raw(VT_VARIANT | VT_BYREF);
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
    EXPECT_EQ(Utf8(v), "shared");
    SysFreeString(text);
}

}  // namespace
