// CMvCalcSampleInfo: defined start values, values stored as given, the
// counted interfaces it holds and the text it copies.
#include <gtest/gtest.h>

#include <string>

#include "persistence/calc_sample_info.h"
#include "values_test_support.h"

namespace {

using values_test::ExpectFaults;

// An object that counts its references; it stands in for the samples
// collections, the process-data history and the calculation parameter.
class Counted : public IMvSamples {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
            !IsEqualIID(riid, IID_IMvSamples))
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    IMvParameter* AsParameter() { return reinterpret_cast<IMvParameter*>(this); }

    ULONG refs = 0;
};

mv::ComPtr<IMvCalcSampleInfo> NewInfo() {
    mv::ComPtr<IMvCalcSampleInfo> info;
    EXPECT_EQ(
        mv::CreateComObject<CMvCalcSampleInfo>(nullptr, IID_IMvCalcSampleInfo, info.PutVoid()),
        S_OK);
    return info;
}

TEST(CalcSampleInfoTest, NewObjectStartsAtZeroNullAndEmpty) {
    auto info = NewInfo();
    Counted junk;  // what every out value holds before the calls
    IMvSamples *samples = &junk, *average = &junk;
    IUnknown* history = &junk;
    IMvParameter* parameter = junk.AsParameter();
    LONG current = -1;
    VARIANT_BOOL stepped = -5;
    ULONG locale = 99;
    FILETIME begin{1, 2}, end{3, 4};
    BSTR map = reinterpret_cast<BSTR>(uintptr_t{0x1});
    for (HRESULT hr : {info->get_Samples(&samples), info->get_AverageSamples(&average),
                       info->get_ProcessDataHistory(&history), info->get_CalcParameter(&parameter),
                       info->get_CurrentSample(&current), info->get_stepped(&stepped),
                       info->get_localeID(&locale), info->get_AverageBeginTime(&begin),
                       info->get_AverageEndTime(&end), info->get_DefaultMap(&map)})
        EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(samples, nullptr);
    EXPECT_EQ(average, nullptr);
    EXPECT_EQ(history, nullptr);
    EXPECT_EQ(parameter, nullptr);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(stepped, 0);
    EXPECT_EQ(locale, 0u);
    EXPECT_EQ(begin.dwLowDateTime | begin.dwHighDateTime | end.dwLowDateTime | end.dwHighDateTime,
              0u);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(junk.refs, 0u);
}

// The four interface-valued properties behave alike.
struct HeldProperty {
    const char* name;
    HRESULT (*put)(IMvCalcSampleInfo*, Counted*);
    HRESULT (*get)(IMvCalcSampleInfo*, IUnknown**);
};
const HeldProperty kHeld[] = {
    {"Samples", [](IMvCalcSampleInfo* i, Counted* c) { return i->put_Samples(c); },
     [](IMvCalcSampleInfo* i, IUnknown** out) {
         return i->get_Samples(reinterpret_cast<IMvSamples**>(out));
     }},
    {"AverageSamples", [](IMvCalcSampleInfo* i, Counted* c) { return i->put_AverageSamples(c); },
     [](IMvCalcSampleInfo* i, IUnknown** out) {
         return i->get_AverageSamples(reinterpret_cast<IMvSamples**>(out));
     }},
    {"ProcessDataHistory",
     [](IMvCalcSampleInfo* i, Counted* c) {
         return i->put_ProcessDataHistory(c ? static_cast<IUnknown*>(c) : nullptr);
     },
     [](IMvCalcSampleInfo* i, IUnknown** out) { return i->get_ProcessDataHistory(out); }},
    {"CalcParameter",
     [](IMvCalcSampleInfo* i, Counted* c) {
         return i->put_CalcParameter(c ? c->AsParameter() : nullptr);
     },
     [](IMvCalcSampleInfo* i, IUnknown** out) {
         return i->get_CalcParameter(reinterpret_cast<IMvParameter**>(out));
     }},
};

TEST(CalcSampleInfoTest, HeldInterfacesAreCountedReplacedAndReleased) {
    for (const HeldProperty& p : kHeld) {
        SCOPED_TRACE(p.name);
        Counted a, b;
        {
            auto info = NewInfo();
            ASSERT_EQ(p.put(info.get(), &a), S_OK);
            EXPECT_EQ(a.refs, 1u);
            ASSERT_EQ(p.put(info.get(), &a), S_OK);  // the same object again
            EXPECT_EQ(a.refs, 1u);

            IUnknown* got = nullptr;
            ASSERT_EQ(p.get(info.get(), &got), S_OK);
            EXPECT_EQ(got, static_cast<IUnknown*>(&a));
            EXPECT_EQ(a.refs, 2u);
            got->Release();
            EXPECT_EQ(p.get(info.get(), nullptr), S_OK);  // a null out pointer is ignored

            ASSERT_EQ(p.put(info.get(), &b), S_OK);
            EXPECT_EQ(a.refs, 0u);
            EXPECT_EQ(b.refs, 1u);
            ASSERT_EQ(p.put(info.get(), nullptr), S_OK);
            EXPECT_EQ(b.refs, 0u);
            ASSERT_EQ(p.get(info.get(), &got), S_OK);
            EXPECT_EQ(got, nullptr);
            ASSERT_EQ(p.put(info.get(), &b), S_OK);
        }
        EXPECT_EQ(b.refs, 0u) << "released with the object";
    }
}

TEST(CalcSampleInfoTest, DefaultMapKeepsTextUpToItsFirstZero) {
    BSTR embedded = SysAllocStringLen(u"ab\0cd", 5);
    struct Case {
        const char* what;
        BSTR in;
        const char16_t* out;  // null: reads back as null
    } cases[] = {
        {"text", SysAllocString(u"Default map"), u"Default map"},
        {"empty reads back as null", SysAllocString(u""), nullptr},
        {"null", nullptr, nullptr},
        {"cut at the first zero", embedded, u"ab"},
    };
    auto info = NewInfo();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(info->put_DefaultMap(mv::Bstr(u"old").get()), S_OK);
        ASSERT_EQ(info->put_DefaultMap(c.in), S_OK);
        SysFreeString(c.in);
        for (int read = 0; read < 2; ++read) {  // each read is a copy of its own
            mv::Bstr got;
            ASSERT_EQ(info->get_DefaultMap(got.Out()), S_OK);
            if (!c.out) {
                EXPECT_EQ(got.get(), nullptr);
            } else {
                ASSERT_NE(got.get(), nullptr);
                EXPECT_EQ(got.view(), c.out);
                EXPECT_EQ(SysStringByteLen(got.get()),
                          2 * std::char_traits<char16_t>::length(c.out));
            }
        }
    }
}

TEST(CalcSampleInfoTest, NullOutPointersOfPlainValuesGiveUnexpectedWithAnErrorLine) {
    auto info = NewInfo();
    ExpectFaults({
        {"CMvCalcSampleInfo::get_CurrentSample: E_UNEXPECTED\n",
         [&] { return info->get_CurrentSample(nullptr); }},
        {"CMvCalcSampleInfo::get_stepped: E_UNEXPECTED\n",
         [&] { return info->get_stepped(nullptr); }},
        {"CMvCalcSampleInfo::get_localeID: E_UNEXPECTED\n",
         [&] { return info->get_localeID(nullptr); }},
        {"CMvCalcSampleInfo::get_AverageBeginTime: E_UNEXPECTED\n",
         [&] { return info->get_AverageBeginTime(nullptr); }},
        {"CMvCalcSampleInfo::get_AverageEndTime: E_UNEXPECTED\n",
         [&] { return info->get_AverageEndTime(nullptr); }},
        {"CMvCalcSampleInfo::get_DefaultMap: E_UNEXPECTED\n",
         [&] { return info->get_DefaultMap(nullptr); }},
    });
}

TEST(CalcSampleInfoTest, IsAPlainInterfaceWithoutDispatch) {
    mv::ComPtr<IDispatch> dispatch;
    EXPECT_EQ(NewInfo()->QueryInterface(IID_IDispatch, dispatch.PutVoid()), E_NOINTERFACE);
}

}  // namespace
