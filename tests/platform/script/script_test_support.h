// A script site that records the engine's callbacks and hands out test
// objects, and a helper that runs one script through CoCreateInstance.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../oleaut/test_support.h"
#include "com.h"
#include "comobj.h"
#include "script.h"

MV_DEFINE_GUID(IID_ITestItem, 0x7E3A5C21, 0x41B2, 0x4C8D, 0x9E, 0x10, 0x5A, 0x6B, 0x7C, 0x8D, 0x9E,
               0xAF);

struct ITestItem : IDispatch {
    virtual HRESULT get_Value(VARIANT* p) = 0;
    virtual HRESULT put_Value(VARIANT v) = 0;
    virtual HRESULT get_Level(VARIANT* p) = 0;
    virtual HRESULT put_Level(VARIANT v) = 0;
    virtual HRESULT get_Items(IUnknown** p) = 0;
    virtual HRESULT Fail(LONG code) = 0;
};
MV_IID_OF(ITestItem, IID_ITestItem);
MV_DISPATCH_TABLE(ITestItem, mv::PropGet<&ITestItem::get_Value>(0, u"Value"),
                  mv::PropPut<&ITestItem::put_Value>(0, u"Value"),
                  mv::PropGet<&ITestItem::get_Level>(1, u"Level"),
                  mv::PropPut<&ITestItem::put_Level>(1, u"Level"),
                  mv::PropGet<&ITestItem::get_Items>(DISPID_NEWENUM, u"_NewEnum"),
                  mv::Method<&ITestItem::Fail>(3, u"Fail"))

// Value (the default member) and Level hold anything; _NewEnum enumerates
// `items`; Fail(code) fails with code. "Call" (DISPID 9, outside the table)
// runs `onCall`, records the types of its arguments as they arrive, writes "written" back
// through every by-reference argument, and fails with `callFails` when set.
class CTestItem : public mv::ComObjectRoot<CTestItem>, public mv::DispatchImpl<ITestItem> {
public:
    using InterfaceMap = mv::Interfaces<ITestItem, mv::Via<IDispatch, ITestItem>>;

    mv::Variant value, level;
    std::vector<mv::Variant> items;
    std::vector<VARTYPE> received;
    HRESULT callFails = S_OK;
    WORD callCode = 0;
    std::map<std::u16string, int> lookups;
    std::function<void()> onCall;

    HRESULT get_Value(VARIANT* p) override { return VariantCopy(p, &value); }
    HRESULT put_Value(VARIANT v) override { return VariantCopy(&value, &v); }
    HRESULT get_Level(VARIANT* p) override { return VariantCopy(p, &level); }
    HRESULT put_Level(VARIANT v) override { return VariantCopy(&level, &v); }
    HRESULT get_Items(IUnknown** p) override {
        return mv::CreateEnumVariant(items.data(), static_cast<ULONG>(items.size()),
                                     reinterpret_cast<IEnumVARIANT**>(p));
    }
    HRESULT Fail(LONG code) override { return code; }

    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* ids) override {
        ++lookups[mv::ToUtf16(mv::ToUtf8(names[0]))];
        if (mv::EqualsNoCase(std::u16string_view(names[0]), u"call")) return *ids = 9, S_OK;
        return DispatchImpl::GetIDsOfNames(riid, names, count, lcid, ids);
    }
    HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* dp, VARIANT* result,
                   EXCEPINFO* ei, UINT* argErr) override {
        if (id != 9) return DispatchImpl::Invoke(id, riid, lcid, flags, dp, result, ei, argErr);
        if (onCall) onCall();
        received.clear();
        for (UINT i = 0; i < dp->cArgs; ++i) {
            VARIANT& a = dp->rgvarg[i];
            received.push_back(a.vt);
            if (a.vt == (VT_BYREF | VT_VARIANT)) {
                mv::Variant written(u"written");
                VariantCopy(a.pvarVal, &written);
            }
        }
        if (callFails == DISP_E_EXCEPTION && ei) {
            *ei = EXCEPINFO{};
            ei->wCode = callCode;
            ei->bstrDescription = SysAllocString(u"Custom failure");
        }
        return callFails;
    }
};

// Hands out its items by name (counting no references to itself); the
// callbacks record nothing.
class ItemsSite : public IActiveScriptSite {
public:
    std::map<std::u16string, IUnknown*> items;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && riid != IID_IActiveScriptSite)
            return *ppv = nullptr, E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo**) override {
        if (mask & SCRIPTINFO_ITYPEINFO) return TYPE_E_ELEMENTNOTFOUND;
        auto it = items.find(name);
        if (it == items.end() || !it->second) return E_INVALIDARG;
        return it->second->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(item));
    }
    HRESULT GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT OnScriptError(IActiveScriptError*) override { return S_OK; }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }

protected:
    ~ItemsSite() = default;
};

// A site that allocates nothing in its callbacks, for runs whose requests
// for memory fail: it keeps the code of the last error the script raised.
class QuietSite final : public ItemsSite {
public:
    HRESULT raised = S_OK;

    HRESULT OnScriptError(IActiveScriptError* error) override {
        EXCEPINFO ei{};
        raised = SUCCEEDED(error->GetExceptionInfo(&ei)) ? ei.scode : E_FAIL;
        SysFreeString(ei.bstrSource), SysFreeString(ei.bstrDescription);
        return S_OK;
    }
};

// Items by name; every callback is recorded.
class TestSite final : public ItemsSite {
public:
    struct Error {
        LONG scode;
        std::string description;
        ULONG line;
        LONG column;
        std::string lineText;
    };
    std::vector<Error> errors;
    std::vector<SCRIPTSTATE> states;
    int enters = 0, leaves = 0;
    ULONG refs = 1;

    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT OnStateChange(SCRIPTSTATE s) override { return states.push_back(s), S_OK; }
    HRESULT OnScriptError(IActiveScriptError* e) override {
        EXCEPINFO ei{};
        Error r{};
        EXPECT_EQ(e->GetExceptionInfo(&ei), S_OK);
        r.scode = ei.scode;
        r.description = mv::test::Utf8(ei.bstrDescription);
        SysFreeString(ei.bstrDescription), SysFreeString(ei.bstrSource);
        DWORD context = 99;
        EXPECT_EQ(e->GetSourcePosition(&context, &r.line, &r.column), S_OK);
        EXPECT_EQ(context, 0u);
        BSTR text = nullptr;
        EXPECT_EQ(e->GetSourceLineText(&text), S_OK);
        r.lineText = mv::test::Utf8(text);
        SysFreeString(text);
        errors.push_back(r);
        return S_OK;
    }
    HRESULT OnEnterScript() override { return ++enters, S_OK; }
    HRESULT OnLeaveScript() override { return ++leaves, S_OK; }
};

// A site whose items R and O are test objects (of a type local to each test
// program, so the fixture is too).
class [[gnu::visibility("hidden")]] ScriptItemsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mv::MakeComObject(&r_), S_OK);
        ASSERT_EQ(mv::MakeComObject(&o_), S_OK);
        site_.items[u"R"] = static_cast<ITestItem*>(r_.get());
        site_.items[u"O"] = static_cast<ITestItem*>(o_.get());
    }

    TestSite site_;
    mv::ComPtr<mv::ComObject<CTestItem>> r_, o_;
};

// A new engine with the site's items added and `script` parsed, to run at
// SetScriptState; *parsed is ParseScriptText's result. Null when the engine
// could not be made (*parsed is then CoCreateInstance's result).
inline mv::ComPtr<IActiveScript> ParsedScript(const char* script, ItemsSite& site,
                                              HRESULT* parsed) {
    mv::ComPtr<IActiveScript> engine;
    *parsed = CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                               engine.PutVoid());
    if (FAILED(*parsed)) return nullptr;
    mv::ComPtr<IActiveScriptParse> parse;
    EXPECT_EQ(engine->SetScriptSite(&site), S_OK);
    EXPECT_EQ(engine->QueryInterface(IID_IActiveScriptParse, parse.PutVoid()), S_OK);
    EXPECT_EQ(parse->InitNew(), S_OK);
    for (const auto& item : site.items)
        EXPECT_EQ(engine->AddNamedItem(item.first.c_str(), SCRIPTITEM_ISVISIBLE), S_OK);
    const std::u16string text = mv::ToUtf16(script);
    *parsed =
        parse->ParseScriptText(text.c_str(), nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr);
    return engine;
}

// Runs `script` on a new engine with the site's items added; answers
// ParseScriptText's result (SetScriptState's must be S_OK).
inline HRESULT RunScript(const char* script, ItemsSite& site) {
    HRESULT hr = E_FAIL;
    mv::ComPtr<IActiveScript> engine = ParsedScript(script, site, &hr);
    if (!engine) return hr;
    const HRESULT connected = SUCCEEDED(hr) ? engine->SetScriptState(SCRIPTSTATE_CONNECTED) : S_OK;
    EXPECT_EQ(connected, S_OK);
    EXPECT_EQ(engine->Close(), S_OK);
    return hr;
}
