// VariantChangeType over the VARTYPEs: empty and null, errors, objects,
// references, conversion in place and the destination after a failure.
#include <gtest/gtest.h>

#include <string>

#include "oleaut.h"
#include "test_support.h"

namespace {

using mv::test::CountedObject;
using mv::test::Of;
using mv::test::Utf8;

const VARTYPE kScalarTargets[] = {VT_I1,  VT_UI1,  VT_I2,   VT_UI2,  VT_I4,     VT_UI4,
                                  VT_INT, VT_UINT, VT_I8,   VT_UI8,  VT_R4,     VT_R8,
                                  VT_CY,  VT_DATE, VT_BSTR, VT_BOOL, VT_DECIMAL};

TEST(ConvertVariant, EmptyBecomesZeroEmptyTextOrFalse) {
    for (const VARTYPE vt : kScalarTargets) {
        SCOPED_TRACE(vt);
        mv::Variant empty;
        mv::Variant out(LONG{99});
        ASSERT_EQ(VariantChangeType(&out, &empty, 0, vt), S_OK);
        ASSERT_EQ(out.vt, vt);
        mv::Variant r8;
        if (vt == VT_BSTR) {
            ASSERT_NE(out.bstrVal, nullptr);
            EXPECT_EQ(SysStringLen(out.bstrVal), 0u);
            continue;
        }
        ASSERT_EQ(VariantChangeType(&r8, &out, 0, VT_R8), S_OK);
        EXPECT_EQ(r8.dblVal, 0.0);
    }
}

TEST(ConvertVariant, NullAndErrorConvertOnlyToThemselves) {
    for (const mv::Variant& src : {Of(VT_NULL, 0), Of(VT_ERROR, DISP_E_PARAMNOTFOUND)}) {
        SCOPED_TRACE(src.vt);
        for (const VARTYPE vt : kScalarTargets) {
            mv::Variant out;
            EXPECT_EQ(VariantChangeType(&out, &src, 0, vt), DISP_E_TYPEMISMATCH) << vt;
            EXPECT_EQ(out.vt, VT_EMPTY);
        }
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_EMPTY), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(VariantChangeType(&out, &src, 0, src.vt == VT_NULL ? VT_ERROR : VT_NULL),
                  DISP_E_TYPEMISMATCH);
        ASSERT_EQ(VariantChangeType(&out, &src, 0, src.vt), S_OK);
        EXPECT_EQ(out.vt, src.vt);
        EXPECT_EQ(out.scode, src.scode);
    }
}

TEST(ConvertVariant, TargetsThatAreNotValuesAreBadTypes) {
    const VARTYPE bad[] = {15, VT_VOID, VT_LPWSTR, VT_FILETIME, 0x3847, 0xFFF};
    const VARTYPE mismatch[] = {VT_DISPATCH, VT_UNKNOWN, VT_VARIANT, VT_RECORD, VT_ERROR};
    mv::Variant i4(LONG(1));
    for (const VARTYPE vt : bad) {
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &i4, 0, vt), DISP_E_BADVARTYPE) << vt;
    }
    for (const VARTYPE vt : mismatch) {
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &i4, 0, vt), DISP_E_TYPEMISMATCH) << vt;
    }
    // A number may be dropped to VT_EMPTY or VT_NULL.
    mv::Variant out;
    ASSERT_EQ(VariantChangeType(&out, &i4, 0, VT_NULL), S_OK);
    EXPECT_EQ(out.vt, VT_NULL);
    mv::Variant text(u"x");
    ASSERT_EQ(VariantChangeType(&text, &text, 0, VT_EMPTY), S_OK);
    EXPECT_EQ(text.vt, VT_EMPTY);
    mv::Variant odd = Of(VT_VOID, 0);
    EXPECT_EQ(VariantChangeType(&out, &odd, 0, VT_I4), DISP_E_BADVARTYPE);
}

TEST(ConvertVariant, DestinationIsReplacedOnlyOnSuccess) {
    mv::Variant v(u"42");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // in place: the text is freed
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 42);
    mv::Variant held(u"old");
    ASSERT_EQ(VariantChangeType(&held, &v, 0, VT_BSTR), S_OK);  // "old" is released
    EXPECT_EQ(Utf8(held), "42");

    mv::Variant bad(u"test");
    const BSTR before = bad.bstrVal;
    EXPECT_EQ(VariantChangeType(&bad, &bad, 0, VT_INT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bad.vt, VT_BSTR);
    EXPECT_EQ(bad.bstrVal, before);
    mv::Variant dst = Of(VT_INT, 4);
    EXPECT_EQ(VariantChangeType(&dst, &bad, 0, VT_INT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dst.vt, VT_INT);
    EXPECT_EQ(dst.intVal, 4);
}

TEST(ConvertVariant, ByReferenceSourcesAreRead) {
    LONG l = 1234;
    mv::Variant ref = Of(VT_BYREF | VT_I4, 0);
    ref.plVal = &l;
    mv::Variant out;
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Utf8(out), "1234");

    mv::Bstr text(u"2.5");
    BSTR raw = text.get();
    mv::Variant sref = Of(VT_BYREF | VT_BSTR, 0);
    sref.pbstrVal = &raw;
    // In place: the referenced text stays with its owner.
    ASSERT_EQ(VariantChangeType(&sref, &sref, 0, VT_R8), S_OK);
    EXPECT_EQ(sref.dblVal, 2.5);

    mv::Variant inner(u"17");
    mv::Variant vref = Of(VT_BYREF | VT_VARIANT, 0);
    vref.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&out, &vref, 0, VT_I2), S_OK);
    EXPECT_EQ(out.iVal, 17);
    ASSERT_EQ(VariantChangeType(&out, &vref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Utf8(out), "17");
    EXPECT_NE(out.bstrVal, inner.bstrVal) << "the result must own its own copy";

    mv::Variant nullref = Of(VT_BYREF | VT_VARIANT, 0);
    out = mv::Variant(LONG{123});
    EXPECT_EQ(VariantChangeType(&out, &nullref, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &nullref, 0, VT_VARIANT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &nullref, 0, 0x3847), DISP_E_BADVARTYPE);
    EXPECT_EQ(out.lVal, 123);
}

TEST(ConvertVariant, UnknownLocalesReadAsEnUs) {
    for (const LCID lcid : {LCID(0x409), LCID(0x400), LCID(0x800), LCID(0), LCID(0x407)}) {
        mv::Variant text(u"1,234.5");
        mv::Variant out;
        ASSERT_EQ(VariantChangeTypeEx(&out, &text, lcid, 0, VT_R8), S_OK) << lcid;
        EXPECT_EQ(out.dblVal, 1234.5);
    }
}

TEST(ConvertVariant, ObjectsConvertThroughTheirDefaultMember) {
    CountedObject obj;
    obj.value.vt = VT_BSTR;
    obj.value.bstrVal = SysAllocString(u"41.6");
    const struct {
        VARTYPE vt;
        const char* text;
    } cases[] = {
        {VT_I4, "42"}, {VT_R8, "41.6"}, {VT_BSTR, "41.6"}, {VT_BOOL, "-1"}, {VT_CY, "41.6"}};
    for (const auto& c : cases) {
        mv::Variant src = Of(VT_DISPATCH, 0);
        src.pdispVal = &obj;
        obj.AddRef();
        // Out of place, then in place (the object's reference is released).
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &src, 0, c.vt), S_OK) << c.vt;
        ASSERT_EQ(VariantChangeType(&src, &src, 0, c.vt), S_OK) << c.vt;
        EXPECT_EQ(obj.refs, 1u);
        for (mv::Variant* v : {&out, &src}) {
            ASSERT_EQ(VariantChangeType(v, v, 0, VT_BSTR), S_OK);
            EXPECT_EQ(Utf8(*v), c.text);
        }
    }
    ASSERT_EQ(obj.calls.size(), 10u);
    EXPECT_EQ(obj.calls[0].id, DISPID_VALUE);
    EXPECT_EQ(obj.calls[0].flags, DISPATCH_PROPERTYGET);
    EXPECT_EQ(obj.calls[0].args, 0u);
}

TEST(ConvertVariant, DefaultMemberRefusals) {
    CountedObject obj;
    obj.value.vt = VT_I4;
    obj.value.lVal = 3;
    VARIANT src = mv::test::Raw(VT_DISPATCH);
    src.pdispVal = &obj;
    mv::Variant out = Of(VT_I2, 9);
    EXPECT_EQ(VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(obj.calls.empty());
    obj.fail = true;
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(obj.calls.size(), 1u);
    EXPECT_EQ(out.vt, VT_I2);
    EXPECT_EQ(out.iVal, 9);

    VARIANT none = mv::test::Raw(VT_DISPATCH);
    EXPECT_EQ(VariantChangeType(&out, &none, 0, VT_I4), DISP_E_TYPEMISMATCH);
    // A bare IUnknown has no default member to read.
    CountedObject plain(false);
    VARIANT unk = mv::test::Raw(VT_UNKNOWN);
    unk.punkVal = &plain;
    EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(plain.refs, 1u);
}

TEST(ConvertVariant, ObjectTargetsQueryInterface) {
    CountedObject obj;
    // IUnknown to IDispatch in place: the new reference replaces the old one.
    mv::Variant v = Of(VT_UNKNOWN, 0);
    v.punkVal = &obj;
    obj.AddRef();
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(v.vt, VT_DISPATCH);
    EXPECT_EQ(v.pdispVal, &obj);
    EXPECT_EQ(obj.refs, 2u);

    mv::Variant u;
    ASSERT_EQ(VariantChangeType(&u, &v, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(u.vt, VT_UNKNOWN);
    EXPECT_EQ(obj.refs, 3u);
    u.Clear();
    v.Clear();
    EXPECT_EQ(obj.refs, 1u);

    VARIANT none = mv::test::Raw(VT_UNKNOWN);
    mv::Variant out;
    ASSERT_EQ(VariantChangeType(&out, &none, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(out.vt, VT_DISPATCH);
    EXPECT_EQ(out.pdispVal, nullptr);

    CountedObject plain(false);
    VARIANT unk = mv::test::Raw(VT_UNKNOWN);
    unk.punkVal = &plain;
    EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_DISPATCH), E_NOINTERFACE);
    EXPECT_EQ(plain.refs, 1u);
    ASSERT_EQ(VariantChangeType(&out, &unk, 0, VT_EMPTY), S_OK);
    EXPECT_EQ(out.vt, VT_EMPTY);

    mv::Variant text(u"x");
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_UNKNOWN), DISP_E_TYPEMISMATCH);
}

}  // namespace
