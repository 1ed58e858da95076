// VariantChangeType over the VARTYPEs: empty and null, errors, objects,
// references, conversion in place and the destination after a failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oleaut.h"

namespace {

std::string Text(const VARIANT& v) {
    return mv::ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)));
}

const VARTYPE kScalarTargets[] = {VT_I1,  VT_UI1,  VT_I2,   VT_UI2,  VT_I4,     VT_UI4,
                                  VT_INT, VT_UINT, VT_I8,   VT_UI8,  VT_R4,     VT_R8,
                                  VT_CY,  VT_DATE, VT_BSTR, VT_BOOL, VT_DECIMAL};

TEST(ConvertVariant, EmptyBecomesZeroEmptyTextOrFalse) {
    for (const VARTYPE vt : kScalarTargets) {
        SCOPED_TRACE(vt);
        mv::Variant empty;
        mv::Variant out;
        out.vt = VT_I4;
        out.lVal = 99;
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

TEST(ConvertVariant, NullConvertsOnlyToNull) {
    mv::Variant null;
    null.vt = VT_NULL;
    for (const VARTYPE vt : kScalarTargets) {
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &null, 0, vt), DISP_E_TYPEMISMATCH) << vt;
        EXPECT_EQ(out.vt, VT_EMPTY);
    }
    mv::Variant out;
    EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_EMPTY), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&out, &null, 0, VT_NULL), S_OK);
    EXPECT_EQ(out.vt, VT_NULL);
}

TEST(ConvertVariant, ErrorConvertsOnlyToError) {
    mv::Variant err;
    err.vt = VT_ERROR;
    err.scode = DISP_E_PARAMNOTFOUND;
    for (const VARTYPE vt : kScalarTargets) {
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &err, 0, vt), DISP_E_TYPEMISMATCH) << vt;
    }
    mv::Variant out;
    EXPECT_EQ(VariantChangeType(&out, &err, 0, VT_EMPTY), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &err, 0, VT_NULL), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&out, &err, 0, VT_ERROR), S_OK);
    EXPECT_EQ(out.scode, DISP_E_PARAMNOTFOUND);
    mv::Variant i4(LONG(5));
    EXPECT_EQ(VariantChangeType(&out, &i4, 0, VT_ERROR), DISP_E_TYPEMISMATCH);
}

TEST(ConvertVariant, TargetsThatAreNotValuesAreBadTypes) {
    const VARTYPE bad[] = {15,        VT_VOID,        VT_HRESULT, VT_PTR,    VT_SAFEARRAY,
                           VT_CARRAY, VT_USERDEFINED, VT_LPSTR,   VT_LPWSTR, VT_FILETIME,
                           VT_BLOB,   VT_CLSID,       0x3847,     0xFFF};
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
    mv::Variant odd;
    odd.vt = VT_VOID;
    EXPECT_EQ(VariantChangeType(&out, &odd, 0, VT_I4), DISP_E_BADVARTYPE);
}

TEST(ConvertVariant, InPlaceFreesTheSourceOnlyOnSuccess) {
    mv::Variant v(u"42");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4),
              S_OK);  // the text is freed: the leak check sees it
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 42);
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(v), "42");

    mv::Variant bad(u"test");
    const BSTR before = bad.bstrVal;
    EXPECT_EQ(VariantChangeType(&bad, &bad, 0, VT_INT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bad.vt, VT_BSTR);
    EXPECT_EQ(bad.bstrVal, before);
}

TEST(ConvertVariant, FailureLeavesTheDestinationAlone) {
    mv::Variant src(u"not a number");
    mv::Variant dst;
    dst.vt = VT_INT;
    dst.intVal = 4;
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_INT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dst.vt, VT_INT);
    EXPECT_EQ(dst.intVal, 4);

    mv::Variant held(u"old");
    mv::Variant seven(LONG(7));
    ASSERT_EQ(VariantChangeType(&held, &seven, 0, VT_BSTR), S_OK);  // "old" is released
    EXPECT_EQ(Text(held), "7");
    EXPECT_EQ(Text(seven.vt == VT_I4 ? held : seven), "7");
}

TEST(ConvertVariant, ByReferenceSourcesAreRead) {
    LONG l = 1234;
    mv::Variant ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &l;
    mv::Variant out;
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out), "1234");

    mv::Bstr text(u"2.5");
    BSTR raw = text.get();
    mv::Variant sref;
    sref.vt = VT_BYREF | VT_BSTR;
    sref.pbstrVal = &raw;
    ASSERT_EQ(VariantChangeType(&sref, &sref, 0, VT_R8),
              S_OK);  // the referenced text stays with its owner
    EXPECT_EQ(sref.dblVal, 2.5);

    mv::Variant inner(u"17");
    mv::Variant vref;
    vref.vt = VT_BYREF | VT_VARIANT;
    vref.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&out, &vref, 0, VT_I2), S_OK);
    EXPECT_EQ(out.iVal, 17);
    ASSERT_EQ(VariantChangeType(&out, &vref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out), "17");
    EXPECT_NE(out.bstrVal, inner.bstrVal) << "the result must own its own copy";

    mv::Variant nullref;
    nullref.vt = VT_BYREF | VT_VARIANT;
    nullref.byref = nullptr;
    out.Clear();
    out.vt = VT_I4;
    out.lVal = 123;
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

// An object whose default member answers a configured value.
class FakeObject final : public IDispatch {
public:
    explicit FakeObject(bool dispatch = true) : dispatch_(dispatch) { VariantInit(&value); }
    ~FakeObject() { VariantClear(&value); }

    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || (dispatch_ && riid == IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        calls.push_back({id, flags, params ? params->cArgs : 99u});
        if (fail) return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &value);
    }

    struct Call {
        DISPID id;
        WORD flags;
        UINT args;
    };
    ULONG refs = 1;
    bool fail = false;
    VARIANT value;
    std::vector<Call> calls;

private:
    bool dispatch_;
};

TEST(ConvertVariant, ObjectsConvertThroughTheirDefaultMember) {
    FakeObject obj;
    obj.value.vt = VT_BSTR;
    obj.value.bstrVal = SysAllocString(u"41.6");
    const struct {
        VARTYPE vt;
        const char* text;
    } cases[] = {
        {VT_I4, "42"}, {VT_R8, "41.6"}, {VT_BSTR, "41.6"}, {VT_BOOL, "-1"}, {VT_CY, "41.6"}};
    for (const auto& c : cases) {
        VARIANT src;
        src.vt = VT_DISPATCH;
        src.pdispVal = &obj;
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &src, 0, c.vt), S_OK) << c.vt;
        mv::Variant text;
        ASSERT_EQ(VariantChangeType(&text, &out, 0, VT_BSTR), S_OK);
        EXPECT_EQ(Text(text), c.text);
    }
    ASSERT_EQ(obj.calls.size(), 5u);
    EXPECT_EQ(obj.calls[0].id, DISPID_VALUE);
    EXPECT_EQ(obj.calls[0].flags, DISPATCH_PROPERTYGET);
    EXPECT_EQ(obj.calls[0].args, 0u);
    EXPECT_EQ(obj.refs, 1u);
}

TEST(ConvertVariant, DefaultMemberRefusals) {
    FakeObject obj;
    obj.value.vt = VT_I4;
    obj.value.lVal = 3;
    VARIANT src;
    src.vt = VT_DISPATCH;
    src.pdispVal = &obj;
    mv::Variant out;
    out.vt = VT_I2;
    out.iVal = 9;
    EXPECT_EQ(VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(obj.calls.empty());
    obj.fail = true;
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(obj.calls.size(), 1u);
    EXPECT_EQ(out.vt, VT_I2);
    EXPECT_EQ(out.iVal, 9);

    VARIANT none;
    none.vt = VT_DISPATCH;
    none.pdispVal = nullptr;
    EXPECT_EQ(VariantChangeType(&out, &none, 0, VT_I4), DISP_E_TYPEMISMATCH);
    // A bare IUnknown has no default member to read.
    FakeObject plain(false);
    VARIANT unk;
    unk.vt = VT_UNKNOWN;
    unk.punkVal = &plain;
    EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(plain.refs, 1u);
}

TEST(ConvertVariant, ObjectTargetsQueryInterface) {
    FakeObject obj;
    // IUnknown to IDispatch in place: the new reference replaces the old one.
    mv::Variant v;
    v.vt = VT_UNKNOWN;
    v.punkVal = &obj;
    obj.AddRef();
    ASSERT_EQ(obj.refs, 2u);
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

    VARIANT none;
    none.vt = VT_UNKNOWN;
    none.punkVal = nullptr;
    mv::Variant out;
    ASSERT_EQ(VariantChangeType(&out, &none, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(out.vt, VT_DISPATCH);
    EXPECT_EQ(out.pdispVal, nullptr);

    FakeObject plain(false);
    VARIANT unk;
    unk.vt = VT_UNKNOWN;
    unk.punkVal = &plain;
    EXPECT_EQ(VariantChangeType(&out, &unk, 0, VT_DISPATCH), E_NOINTERFACE);
    EXPECT_EQ(plain.refs, 1u);
    ASSERT_EQ(VariantChangeType(&out, &unk, 0, VT_EMPTY), S_OK);
    EXPECT_EQ(out.vt, VT_EMPTY);

    mv::Variant text(u"x");
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_UNKNOWN), DISP_E_TYPEMISMATCH);
}

TEST(ConvertVariant, DefaultMemberTextIsReleased) {
    FakeObject obj;
    obj.value.vt = VT_BSTR;
    obj.value.bstrVal = SysAllocString(u"12");
    mv::Variant v;
    v.vt = VT_DISPATCH;
    v.pdispVal = &obj;
    obj.AddRef();
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_UI1), S_OK);  // the answered copy is freed
    EXPECT_EQ(v.bVal, 12);
    EXPECT_EQ(obj.refs, 1u);
}

}  // namespace
