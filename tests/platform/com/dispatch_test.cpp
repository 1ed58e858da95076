// Table-driven IDispatch driven end to end through Invoke and the dispatch
// drivers.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "comobj_test_widget.h"

namespace {

constexpr UINT kUnset = std::numeric_limits<UINT>::max();
constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kPutRef = DISPATCH_PROPERTYPUTREF;
constexpr WORD kMethod = DISPATCH_METHOD;

mv::Variant I4(LONG v) {
    return mv::Variant(v);
}
mv::Variant R8(double v) {
    return mv::Variant(v);
}
mv::Variant Str(const char16_t* s) {
    return mv::Variant(s);
}
mv::Variant Missing() {
    mv::Variant r;
    r.vt = VT_ERROR;
    r.scode = DISP_E_PARAMNOTFOUND;
    return r;
}
mv::Variant Object(IUnknown* p, VARTYPE vt) {
    mv::Variant r;
    r.vt = vt;
    r.punkVal = p;
    if (p) p->AddRef();
    return r;
}
VARIANT Ref(VARTYPE vt, void* p) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | vt;
    v.byref = p;
    return v;
}

// Invokes with `rgvarg` as given (the platform's reversed order).
HRESULT Call(IDispatch* d, DISPID id, WORD flags, const std::vector<VARIANT>& rgvarg,
             std::vector<DISPID> named = {}, VARIANT* result = nullptr, EXCEPINFO* ei = nullptr,
             UINT* argErr = nullptr) {
    std::vector<VARIANT> args(rgvarg);
    DISPPARAMS dp{args.data(), named.data(), static_cast<UINT>(args.size()),
                  static_cast<UINT>(named.size())};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, ei, argErr);
}
HRESULT Put(IDispatch* d, DISPID id, const VARIANT& v, WORD flags = kPut) {
    return Call(d, id, flags, {v}, {DISPID_PROPERTYPUT});
}
mv::Variant Get(IDispatch* d, DISPID id) {
    mv::Variant r;
    EXPECT_EQ(S_OK, Call(d, id, kGet, {}, {}, &r));
    return r;
}
DISPID IdOf(IDispatch* d, const char16_t* name) {
    DISPID id = 0;
    EXPECT_EQ(S_OK, mv::DispGetIDOfName(d, name, &id));
    return id;
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        widget_ = MakeWidget();
        ASSERT_TRUE(widget_);
        disp_ = widget_.get();
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override {
        disp_ = nullptr;
        widget_.Reset();
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(0, mv::ModuleLockCount()) << "an object was leaked";
    }
    mv::ComPtr<ITestWidget> widget_;
    IDispatch* disp_ = nullptr;
};

TEST_F(DispatchTest, PutCoercesThenGetAnswersTheDeclaredType) {
    struct Case {
        const char16_t* name;
        mv::Variant in;
        VARTYPE vt;
        double expected;  // the numeric value read back
    };
    const Case cases[] = {
        {u"Count", Str(u"42"), VT_I4, 42},
        {u"count", R8(2.5), VT_I4, 2},  // rounds half to even
        {u"Count", mv::Variant(true), VT_I4, -1},
        {u"Ratio", Str(u"1,234.5"), VT_R8, 1234.5},
        {u"RATIO", I4(-7), VT_R8, -7},
        {u"Name", I4(12), VT_BSTR, 12},
        {u"Flag", I4(1), VT_BOOL, VARIANT_TRUE},
        {u"Stamp", R8(45000.25), VT_DATE, 45000.25},
        {u"Level", R8(0.5), VT_R4, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.name));
        DISPID id = IdOf(disp_, c.name);
        ASSERT_EQ(S_OK, Put(disp_, id, c.in));
        // Scripting hosts read with both the method and the get flag.
        mv::Variant out;
        ASSERT_EQ(S_OK, Call(disp_, id, kMethod | kGet, {}, {}, &out));
        ASSERT_EQ(c.vt, out.vt);
        mv::Variant r8;
        ASSERT_EQ(S_OK, VariantChangeType(&r8, &out, 0, VT_R8));
        EXPECT_EQ(c.expected, r8.dblVal);
    }
}

TEST_F(DispatchTest, PutRefStoresObjectsAndGetHandsThemBack) {
    mv::ComPtr<ITestWidget> other = MakeWidget();
    ASSERT_EQ(S_OK, Put(disp_, 8, Object(other.get(), VT_DISPATCH), kPutRef));
    ASSERT_EQ(S_OK, Put(disp_, 9, Object(other.get(), VT_UNKNOWN), kPutRef));
    mv::Variant child = Get(disp_, 8);
    ASSERT_EQ(VT_DISPATCH, child.vt);
    EXPECT_EQ(static_cast<IDispatch*>(other.get()), child.pdispVal);
    mv::Variant peer = Get(disp_, 9);
    ASSERT_EQ(VT_DISPATCH, peer.vt);
    EXPECT_EQ(static_cast<IDispatch*>(other.get()), peer.pdispVal);
    // Nothing clears the reference.
    ASSERT_EQ(S_OK, Put(disp_, 9, Object(nullptr, VT_DISPATCH), kPutRef));
    mv::Variant none = Get(disp_, 9);
    EXPECT_EQ(VT_DISPATCH, none.vt);
    EXPECT_EQ(nullptr, none.pdispVal);
}

TEST_F(DispatchTest, MethodsTakeArgumentsInReverseOrderAndNamedArguments) {
    mv::Variant sum;
    ASSERT_EQ(S_OK, Call(disp_, 20, kMethod, {I4(2), Str(u"40")}, {}, &sum));
    EXPECT_EQ(VT_I4, sum.vt);
    EXPECT_EQ(42, sum.lVal);
    ASSERT_EQ(S_OK, Call(disp_, 10, kGet, {Str(u"4")}, {}, &sum));  // an indexed getter
    EXPECT_EQ(40, sum.lVal);

    struct Case {
        std::vector<mv::Variant> rgvarg;
        std::vector<DISPID> named;
        const char16_t* expected;
    };
    const Case cases[] = {
        {{Str(u"t")}, {}, u"missing|t|missing"},
        {{Str(u"s"), Str(u"p"), Str(u"t")}, {}, u"p|t|s"},
        {{Missing(), Str(u"t")}, {}, u"missing|t|missing"},
        {{Str(u"s"), Str(u"t")}, {2}, u"missing|t|s"},
        {{Str(u"t"), Str(u"p")}, {0, 1}, u"p|t|missing"},
    };
    for (const Case& c : cases) {
        std::vector<VARIANT> args(c.rgvarg.begin(), c.rgvarg.end());
        mv::Variant r;
        ASSERT_EQ(S_OK, Call(disp_, 23, kMethod, args, c.named, &r));
        ASSERT_EQ(VT_BSTR, r.vt);
        EXPECT_EQ(std::u16string(c.expected), std::u16string(r.bstrVal));
    }
}

TEST_F(DispatchTest, ByReferenceArgumentsReachTheCaller) {
    // Exact type: the member writes into the caller's variable.
    LONG counter = 1;
    mv::Variant bag;
    mv::Variant r;
    ASSERT_EQ(S_OK,
              Call(disp_, 21, kMethod, {Ref(VT_VARIANT, &bag), Ref(VT_I4, &counter)}, {}, &r));
    EXPECT_EQ(2, counter);
    ASSERT_EQ(VT_BSTR, bag.vt);
    EXPECT_EQ(u"bagged", std::u16string(bag.bstrVal));
    EXPECT_EQ(4, r.lVal);

    // A referenced VARIANT of another type is converted and written back.
    mv::Variant text = Str(u"5");
    mv::Variant literal = I4(0);
    ASSERT_EQ(S_OK, Call(disp_, 21, kMethod, {literal, Ref(VT_VARIANT, &text)}, {}, &r));
    ASSERT_EQ(VT_I4, text.vt);
    EXPECT_EQ(6, text.lVal);
    EXPECT_EQ(VT_I4, literal.vt);  // a by-value argument is left alone

    // Two strings swapped through BSTR*.
    BSTR a = SysAllocString(u"a");
    BSTR b = SysAllocString(u"b");
    ASSERT_EQ(S_OK, Call(disp_, 22, kMethod, {Ref(VT_BSTR, &b), Ref(VT_BSTR, &a)}));
    EXPECT_EQ(u"b", std::u16string(a));
    EXPECT_EQ(u"a", std::u16string(b));
    SysFreeString(a);
    SysFreeString(b);

    // A by-reference value of a put reaches the member as its value, never as
    // a pointer into the caller's frame.
    text = Str(u"held");
    ASSERT_EQ(S_OK, Put(disp_, 0, Ref(VT_VARIANT, &text)));
    text.Clear();
    mv::Variant value = Get(disp_, 0);
    ASSERT_EQ(VT_BSTR, value.vt);
    EXPECT_EQ(u"held", std::u16string(value.bstrVal));
}

TEST_F(DispatchTest, FailuresAnswerTheDispatchCodes) {
    mv::ComPtr<IEnumVARIANT> notAWidget;
    ASSERT_EQ(S_OK, mv::CreateEnumVariant(nullptr, 0, notAWidget.Put()));
    const mv::Variant unk = Object(notAWidget.get(), VT_UNKNOWN);
    SHORT shortVar = 1;
    const VARIANT refI2 = Ref(VT_I2, &shortVar), noRef = Ref(VT_VARIANT, nullptr);
    struct Case {
        const char* what;
        DISPID id;
        WORD flags;
        std::vector<VARIANT> rgvarg;
        std::vector<DISPID> named;
        HRESULT hr;
        UINT argErr;
    };
    const mv::Variant abc = Str(u"abc");
    const mv::Variant one = I4(1);
    const DISPID pv = DISPID_PROPERTYPUT;
    const Case cases[] = {
        {"unknown DISPID", 999, kGet, {}, {}, DISP_E_MEMBERNOTFOUND, kUnset},
        {"put of read-only", 11, kPut, {one}, {pv}, DISP_E_MEMBERNOTFOUND, kUnset},
        {"method flag on a property", 1, kMethod, {}, {}, DISP_E_MEMBERNOTFOUND, kUnset},
        {"putref of a value", 1, kPutRef, {one}, {pv}, DISP_E_MEMBERNOTFOUND, kUnset},
        {"get of a method", 20, kGet, {one, one}, {}, DISP_E_MEMBERNOTFOUND, kUnset},
        {"too few arguments", 20, kMethod, {one}, {}, DISP_E_BADPARAMCOUNT, kUnset},
        {"too many arguments", 20, kMethod, {one, one, one}, {}, DISP_E_BADPARAMCOUNT, kUnset},
        {"arguments to a getter", 1, kGet, {one}, {}, DISP_E_BADPARAMCOUNT, kUnset},
        {"second not a number", 20, kMethod, {abc, one}, {}, DISP_E_TYPEMISMATCH, 0},
        {"first not a number", 20, kMethod, {one, abc}, {}, DISP_E_TYPEMISMATCH, 1},
        {"out of range", 1, kPut, {R8(1e10)}, {pv}, DISP_E_TYPEMISMATCH, 0},
        {"put without its named value", 1, kPut, {one}, {}, DISP_E_PARAMNOTFOUND, kUnset},
        {"names for a method without", 20, kMethod, {one, one}, {0, 1}, DISP_E_NONAMEDARGS, kUnset},
        {"name out of range", 23, kMethod, {abc}, {7}, DISP_E_PARAMNOTFOUND, 0},
        {"name twice", 23, kMethod, {abc, abc}, {0, 0}, DISP_E_PARAMNOTFOUND, 1},
        {"required marked missing", 23, kMethod, {Missing()}, {}, DISP_E_PARAMNOTOPTIONAL, 0},
        {"required left out by name", 23, kMethod, {abc}, {2}, DISP_E_PARAMNOTOPTIONAL, kUnset},
        {"not the interface", 9, kPutRef, {unk}, {pv}, DISP_E_TYPEMISMATCH, 0},
        {"text for an object", 8, kPutRef, {abc}, {pv}, DISP_E_TYPEMISMATCH, 0},
        {"by-ref of another type", 21, kMethod, {noRef, refI2}, {}, DISP_E_TYPEMISMATCH, 1},
        {"more named than all", 20, kMethod, {one}, {0, 1}, E_INVALIDARG, kUnset},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UINT argErr = kUnset;
        mv::Variant r;
        EXPECT_EQ(c.hr, Call(disp_, c.id, c.flags, c.rgvarg, c.named, &r, nullptr, &argErr));
        EXPECT_EQ(c.argErr, argErr);
        EXPECT_EQ(VT_EMPTY, r.vt);
    }
    EXPECT_EQ(1, shortVar);
}

TEST_F(DispatchTest, MalformedCallsNeverReadPastTheParameters) {
    mv::Variant r;
    DISPPARAMS noArgs{nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              disp_->Invoke(1, IID_IDispatch, 0, kGet, &noArgs, &r, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, disp_->Invoke(20, IID_NULL, 0, kMethod, nullptr, &r, nullptr, nullptr));
    DISPPARAMS lying{nullptr, nullptr, 2, 0};
    EXPECT_EQ(E_INVALIDARG, disp_->Invoke(20, IID_NULL, 0, kMethod, &lying, &r, nullptr, nullptr));
    // A getter needs no DISPPARAMS at all, and the result may be ignored.
    EXPECT_EQ(S_OK, disp_->Invoke(1, IID_NULL, 0, kGet, nullptr, &r, nullptr, nullptr));
    EXPECT_EQ(S_OK, disp_->Invoke(3, IID_NULL, 0, kGet, &noArgs, nullptr, nullptr, nullptr));

    UINT count = 7;
    EXPECT_EQ(S_OK, disp_->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(disp_);
    EXPECT_TRUE(FAILED(disp_->GetTypeInfo(0, 0, &info)));
    EXPECT_EQ(nullptr, info);
}

TEST_F(DispatchTest, MemberFailureFillsExcepInfoFromErrorInformation) {
    const HRESULT code = MV_HR(0x80041234);
    const mv::Variant arg = I4(code);

    EXCEPINFO ei{};
    EXPECT_EQ(DISP_E_EXCEPTION, Call(disp_, 24, kMethod, {arg}, {}, nullptr, &ei));
    EXPECT_EQ(code, ei.scode);
    EXPECT_EQ(u"Widget failed on purpose", mv::Bstr::Attach(ei.bstrDescription).view());
    EXPECT_EQ(kWidgetProgId, mv::Bstr::Attach(ei.bstrSource).view());
    SysFreeString(ei.bstrHelpFile);
    IErrorInfo* left = nullptr;
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, &left)) << "the report was consumed";

    // Without EXCEPINFO the member's own code comes back and the report
    // stays for the caller.
    EXPECT_EQ(code, Call(disp_, 24, kMethod, {arg}, {}, nullptr, nullptr));
    mv::ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.Put()));
    mv::Bstr text;
    info->GetDescription(text.Out());
    EXPECT_EQ(u"Widget failed on purpose", text.view());

    // A stale report from an earlier call is not taken for this member's.
    ASSERT_EQ(code, Call(disp_, 24, kMethod, {arg}, {}, nullptr, nullptr));
    EXCEPINFO quiet{};
    EXPECT_EQ(DISP_E_EXCEPTION, Call(disp_, 26, kMethod, {}, {}, nullptr, &quiet));
    EXPECT_EQ(E_ACCESSDENIED, quiet.scode);
    EXPECT_EQ(nullptr, quiet.bstrDescription);
    EXPECT_EQ(nullptr, quiet.bstrSource);

    // An escaping C++ exception becomes E_UNEXPECTED.
    EXPECT_EQ(E_UNEXPECTED, Call(disp_, 25, kMethod, {}));
}

TEST_F(DispatchTest, GetIDsOfNamesMatchesMembersAndParameterNames) {
    struct Case {
        std::vector<const char16_t*> names;
        HRESULT hr;
        std::vector<DISPID> ids;
    };
    const Case cases[] = {
        {{u"cOuNt"}, S_OK, {1}},
        {{u"Nope"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
        {{u"Nope", u"Text"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN, DISPID_UNKNOWN}},
        {{u"describe", u"SUFFIX", u"text"}, S_OK, {23, 2, 0}},
        {{u"Describe", u"Prefix", u"Bogus"}, DISP_E_UNKNOWNNAME, {23, 1, DISPID_UNKNOWN}},
        {{u"Item", u"index"}, S_OK, {10, 0}},
        {{u"Count", u"Anything"}, DISP_E_UNKNOWNNAME, {1, DISPID_UNKNOWN}},
        {{nullptr}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
    };
    for (const Case& c : cases) {
        std::vector<LPOLESTR> names;
        for (const char16_t* n : c.names) names.push_back(const_cast<LPOLESTR>(n));
        std::vector<DISPID> ids(names.size(), 12345);
        EXPECT_EQ(c.hr,
                  disp_->GetIDsOfNames(IID_NULL, names.data(), static_cast<UINT>(names.size()),
                                       LOCALE_SYSTEM_DEFAULT, ids.data()));
        EXPECT_EQ(c.ids, ids);
    }
    LPOLESTR name = const_cast<LPOLESTR>(u"Count");
    DISPID id;
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, disp_->GetIDsOfNames(IID_IDispatch, &name, 1, 0, &id));
    EXPECT_EQ(E_INVALIDARG, disp_->GetIDsOfNames(IID_NULL, &name, 1, 0, nullptr));
}

TEST_F(DispatchTest, DriversWorkByIdAndByName) {
    mv::Variant v;
    ASSERT_EQ(S_OK, mv::DispPutPropertyByName(disp_, u"Ratio", Str(u"2.5")));
    ASSERT_EQ(S_OK, mv::DispGetPropertyByName(disp_, u"ratio", &v));
    EXPECT_EQ(VT_R8, v.vt);
    EXPECT_EQ(2.5, v.dblVal);

    // An object goes by reference; a plain value by a plain put.
    mv::ComPtr<ITestWidget> other = MakeWidget();
    ASSERT_EQ(S_OK, mv::DispPutProperty(disp_, 9, Object(other.get(), VT_DISPATCH)));
    ASSERT_EQ(S_OK, mv::DispGetProperty(disp_, 9, &v));
    EXPECT_EQ(static_cast<IDispatch*>(other.get()), v.pdispVal);
    ASSERT_EQ(S_OK, mv::DispPutProperty(disp_, 0, Object(other.get(), VT_DISPATCH)));

    const VARIANT args[] = {I4(30), I4(12)};
    ASSERT_EQ(S_OK, mv::DispInvokeMethodByName(disp_, u"Add", args, 2, &v));
    EXPECT_EQ(42, v.lVal);
    const mv::Variant t = Str(u"t"), p = Str(u"p");
    const VARIANT text[] = {t, p};
    ASSERT_EQ(S_OK, mv::DispInvokeMethod(disp_, 23, text, 2, &v));
    EXPECT_EQ(u"p|t|missing", std::u16string(v.bstrVal));

    EXPECT_EQ(DISP_E_UNKNOWNNAME, mv::DispGetPropertyByName(disp_, u"Nope", &v));
    EXPECT_EQ(E_POINTER, mv::DispGetProperty(nullptr, 1, &v));
    const VARIANT code[] = {I4(E_ABORT)};
    EXPECT_EQ(E_ABORT, mv::DispInvokeMethod(disp_, 24, code, 1, nullptr));
    v.Clear();
}

TEST_F(DispatchTest, InvokeHelperThrowsWithCodeAndText) {
    const VARIANT args[] = {I4(1), I4(2)};
    mv::Variant sum = mv::DispInvokeHelper(disp_, 20, kMethod, args, 2, VT_BSTR);
    ASSERT_EQ(VT_BSTR, sum.vt);
    EXPECT_EQ(u"3", std::u16string(sum.bstrVal));

    const VARIANT code[] = {I4(E_ABORT)};
    try {
        mv::DispInvokeHelper(disp_, 24, kMethod, code, 1);
        ADD_FAILURE() << "no exception";
    } catch (const mv::DispatchException& e) {
        EXPECT_EQ(E_ABORT, e.code());
        EXPECT_EQ(u"Widget failed on purpose", e.description());
        EXPECT_EQ(kWidgetProgId, e.source());
        EXPECT_STREQ("Widget failed on purpose", e.what());
    }
    try {
        mv::DispInvokeHelper(disp_, 404, kMethod, nullptr, 0);
        ADD_FAILURE() << "no exception";
    } catch (const mv::DispatchException& e) {
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND, e.code());
    }
}

// Rows of one DISPID that the flags choose between: each records that it ran.
int g_ran = 0;
template <int Row>
HRESULT Answer(IDispatch*, VARIANT* args) {
    g_ran = Row;
    *static_cast<LONG*>(args[0].byref) = Row;
    return S_OK;
}
template <int Row>
HRESULT Take(IDispatch*, VARIANT*) {
    g_ran = Row;
    return S_OK;
}
constexpr mv::DispParam kLongResult[] = {{VT_I4, mv::DispMode::Retval, nullptr}};
constexpr mv::DispParam kLongIn[] = {{VT_I4, mv::DispMode::In, nullptr}};
// Getter before method and putref before put, so that the first row of the
// DISPID is never the one a combined flag chooses.
constexpr mv::DispMember kChoiceRows[] = {
    {30, u"Both", mv::DispKind::PropGet, &Answer<1>, kLongResult, 1, true, 0, nullptr},
    {30, u"Both", mv::DispKind::Method, &Answer<2>, kLongResult, 1, true, 0, nullptr},
    {31, u"Store", mv::DispKind::PropPutRef, &Take<3>, kLongIn, 1, false, 0, nullptr},
    {31, u"Store", mv::DispKind::PropPut, &Take<4>, kLongIn, 1, false, 0, nullptr},
    {33, u"Only", mv::DispKind::Method, &Answer<7>, kLongResult, 1, true, 0, nullptr},
    // The default and a reserved member sort before every other row.
    {DISPID_VALUE, u"Value", mv::DispKind::PropPut, &Take<5>, kLongIn, 1, false, 0, nullptr},
    {DISPID_VALUE, u"Value", mv::DispKind::PropGet, &Answer<6>, kLongResult, 1, true, 0, nullptr},
    {DISPID_NEWENUM, u"_NewEnum", mv::DispKind::Method, &Answer<8>, kLongResult, 1, true, 0,
     nullptr},
};
constexpr mv::DispOrder kChoiceOrder{kChoiceRows};

TEST(DispatchChoiceTest, FlagsChooseAmongTheRowsOfOneDispid) {
    struct Case {
        DISPID id;
        WORD flags;
        int ran;  // 0: no row answers
    };
    const Case cases[] = {
        {30, kMethod | kGet, 2},
        {30, kGet, 1},
        {30, kMethod, 2},
        {31, kPut | kPutRef, 4},
        {31, kPutRef, 3},
        {31, kPut, 4},
        {33, kGet, 0},
        {33, kMethod | kGet, 7},
        {30, kPut, 0},
        {34, kMethod | kGet, 0},
        {DISPID_VALUE, kMethod | kGet, 6},
        {DISPID_VALUE, kPut, 5},
        {DISPID_VALUE, kMethod, 0},
        {DISPID_NEWENUM, kMethod | kGet, 8},
        {DISPID_NEWENUM, kGet, 0},
        {-3, kMethod | kGet, 0},
        {-5, kMethod | kGet, 0},
        {1, kMethod | kGet, 0},
    };
    const mv::DispTable tables[] = {mv::DispTable(kChoiceRows),
                                    mv::DispTable(kChoiceRows, kChoiceOrder)};
    for (const mv::DispTable& table : tables) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "id " << c.id << " flags " << c.flags
                                            << (table.byId ? " ordered" : " in turn"));
            g_ran = 0;
            VARIANT arg = I4(9).Detach();
            DISPID put = DISPID_PROPERTYPUT;
            const bool isPut = (c.flags & (kPut | kPutRef)) != 0;
            DISPPARAMS dp{isPut ? &arg : nullptr, isPut ? &put : nullptr, isPut ? 1u : 0u,
                          isPut ? 1u : 0u};
            mv::Variant result;
            const HRESULT hr =
                mv::TableInvoke(nullptr, table, c.id, IID_NULL, LOCALE_USER_DEFAULT, c.flags, &dp,
                                isPut ? nullptr : &result, nullptr, nullptr);
            EXPECT_EQ(c.ran ? S_OK : DISP_E_MEMBERNOTFOUND, hr);
            EXPECT_EQ(c.ran, g_ran);
            if (c.ran && !isPut) {
                EXPECT_EQ(VT_I4, result.vt);
                EXPECT_EQ(c.ran, result.lVal);
            }
        }
    }
}

}  // namespace
