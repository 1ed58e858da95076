// A small dual-interface class declared through a dispatch table, shared by
// the dispatch tests.
#pragma once

#include <stdexcept>
#include <string>

#include "com.h"

MV_DEFINE_GUID(IID_ITestWidget, 0x5D1C7A10, 0x2B3C, 0x4D5E, 0x8F, 0x90, 0x11, 0x22, 0x33, 0x44,
               0x55, 0x66);

struct ITestWidget : IDispatch {
    virtual HRESULT get_Count(LONG* p) = 0;
    virtual HRESULT put_Count(LONG v) = 0;
    virtual HRESULT get_Ratio(DOUBLE* p) = 0;
    virtual HRESULT put_Ratio(DOUBLE v) = 0;
    virtual HRESULT get_Name(BSTR* p) = 0;
    virtual HRESULT put_Name(BSTR v) = 0;
    virtual HRESULT get_Flag(VARIANT_BOOL* p) = 0;
    virtual HRESULT put_Flag(VARIANT_BOOL v) = 0;
    virtual HRESULT get_Stamp(DATE* p) = 0;
    virtual HRESULT put_Stamp(DATE v) = 0;
    virtual HRESULT get_Level(FLOAT* p) = 0;
    virtual HRESULT put_Level(FLOAT v) = 0;
    virtual HRESULT get_Value(VARIANT* p) = 0;
    virtual HRESULT put_Value(VARIANT v) = 0;
    virtual HRESULT get_Child(IDispatch** p) = 0;
    virtual HRESULT putref_Child(IDispatch* v) = 0;
    virtual HRESULT get_Peer(ITestWidget** p) = 0;
    virtual HRESULT putref_Peer(ITestWidget* v) = 0;
    virtual HRESULT get_Item(LONG index, LONG* p) = 0;
    virtual HRESULT get_ReadOnly(LONG* p) = 0;
    virtual HRESULT Add(LONG a, LONG b, LONG* sum) = 0;
    virtual HRESULT Bump(LONG* counter, VARIANT* bag, LONG* result) = 0;
    virtual HRESULT Swap(BSTR* a, BSTR* b) = 0;
    virtual HRESULT Describe(BSTR text, VARIANT prefix, VARIANT suffix, BSTR* result) = 0;
    virtual HRESULT Fail(LONG code) = 0;
    virtual HRESULT Throw() = 0;
    virtual HRESULT Mute() = 0;
};
MV_IID_OF(ITestWidget, IID_ITestWidget);

MV_DISPATCH_TABLE(
    ITestWidget, mv::PropGet<&ITestWidget::get_Count>(1, u"Count"),
    mv::PropPut<&ITestWidget::put_Count>(1, u"Count"),
    mv::PropGet<&ITestWidget::get_Ratio>(2, u"Ratio"),
    mv::PropPut<&ITestWidget::put_Ratio>(2, u"Ratio"),
    mv::PropGet<&ITestWidget::get_Name>(3, u"Name"),
    mv::PropPut<&ITestWidget::put_Name>(3, u"Name"),
    mv::PropGet<&ITestWidget::get_Flag, VT_BOOL>(4, u"Flag"),
    mv::PropPut<&ITestWidget::put_Flag, VT_BOOL>(4, u"Flag"),
    mv::PropGet<&ITestWidget::get_Stamp, VT_DATE>(5, u"Stamp"),
    mv::PropPut<&ITestWidget::put_Stamp, VT_DATE>(5, u"Stamp"),
    mv::PropGet<&ITestWidget::get_Level>(7, u"Level"),
    mv::PropPut<&ITestWidget::put_Level>(7, u"Level"),
    mv::PropGet<&ITestWidget::get_Value>(0, u"Value"),
    mv::PropPut<&ITestWidget::put_Value>(0, u"Value"),
    mv::PropGet<&ITestWidget::get_Child>(8, u"Child"),
    mv::PropPutRef<&ITestWidget::putref_Child>(8, u"Child"),
    mv::PropGet<&ITestWidget::get_Peer>(9, u"Peer"),
    mv::PropPutRef<&ITestWidget::putref_Peer>(9, u"Peer"),
    mv::PropGet<&ITestWidget::get_Item>(10, u"Item").Names(u"Index"),
    mv::PropGet<&ITestWidget::get_ReadOnly>(11, u"ReadOnly"),
    mv::Method<&ITestWidget::Add>(20, u"Add"), mv::Method<&ITestWidget::Bump>(21, u"Bump"),
    mv::MethodByRef<&ITestWidget::Swap>(22, u"Swap"),
    mv::Method<&ITestWidget::Describe>(23, u"Describe").Optional(2).Names(u"Text,Prefix,Suffix"),
    mv::Method<&ITestWidget::Fail>(24, u"Fail"), mv::Method<&ITestWidget::Throw>(25, u"Throw"),
    mv::Method<&ITestWidget::Mute>(26, u"Mute"))

constexpr const char16_t* kWidgetProgId = u"Test.Widget.1";

class CTestWidget : public mv::ComObjectRoot<CTestWidget>,
                    public mv::DispatchImpl<ITestWidget>,
                    public mv::SupportErrorInfoImpl<ITestWidget> {
public:
    using InterfaceMap =
        mv::Interfaces<ITestWidget, mv::Via<IDispatch, ITestWidget>, ISupportErrorInfo>;

    ~CTestWidget() { VariantClear(&value_); }

    HRESULT get_Count(LONG* p) override { return Out(p, count_.load()); }
    HRESULT put_Count(LONG v) override { return In(count_, v); }
    HRESULT get_Ratio(DOUBLE* p) override { return Out(p, ratio_); }
    HRESULT put_Ratio(DOUBLE v) override { return In(ratio_, v); }
    HRESULT get_Name(BSTR* p) override {
        if (!p) return E_POINTER;
        *p = SysAllocStringLen(name_.data(), static_cast<UINT>(name_.size()));
        return S_OK;
    }
    HRESULT put_Name(BSTR v) override {
        name_ = v ? v : u"";
        return S_OK;
    }
    HRESULT get_Flag(VARIANT_BOOL* p) override { return Out(p, flag_); }
    HRESULT put_Flag(VARIANT_BOOL v) override { return In(flag_, v); }
    HRESULT get_Stamp(DATE* p) override { return Out(p, stamp_); }
    HRESULT put_Stamp(DATE v) override { return In(stamp_, v); }
    HRESULT get_Level(FLOAT* p) override { return Out(p, level_); }
    HRESULT put_Level(FLOAT v) override { return In(level_, v); }
    HRESULT get_Value(VARIANT* p) override {
        if (!p) return E_POINTER;
        return VariantCopy(p, &value_);
    }
    HRESULT put_Value(VARIANT v) override { return VariantCopy(&value_, &v); }
    HRESULT get_Child(IDispatch** p) override { return child_.CopyTo(p); }
    HRESULT putref_Child(IDispatch* v) override { return In(child_, v); }
    HRESULT get_Peer(ITestWidget** p) override { return peer_.CopyTo(p); }
    HRESULT putref_Peer(ITestWidget* v) override { return In(peer_, v); }
    HRESULT get_Item(LONG index, LONG* p) override { return Out(p, index * 10); }
    HRESULT get_ReadOnly(LONG* p) override { return Out(p, LONG{99}); }
    HRESULT Add(LONG a, LONG b, LONG* sum) override { return Out(sum, a + b); }
    HRESULT Bump(LONG* counter, VARIANT* bag, LONG* result) override {
        if (!counter || !bag || !result) return E_POINTER;
        ++*counter;
        VariantClear(bag);
        bag->vt = VT_BSTR;
        bag->bstrVal = SysAllocString(u"bagged");
        *result = *counter * 2;
        return S_OK;
    }
    HRESULT Swap(BSTR* a, BSTR* b) override {
        if (!a || !b) return E_POINTER;
        std::swap(*a, *b);
        return S_OK;
    }
    HRESULT Describe(BSTR text, VARIANT prefix, VARIANT suffix, BSTR* result) override {
        if (!result) return E_POINTER;
        auto part = [](const VARIANT& v) -> std::u16string {
            if (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND) return u"missing";
            if (v.vt == VT_BSTR) return v.bstrVal ? v.bstrVal : u"";
            return u"other";
        };
        std::u16string s = part(prefix) + u"|" + (text ? text : u"") + u"|" + part(suffix);
        *result = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return S_OK;
    }
    HRESULT Fail(LONG code) override {
        return mv::ReportError(kWidgetProgId, IID_ITestWidget, u"Widget failed on purpose",
                               static_cast<HRESULT>(code));
    }
    HRESULT Throw() override { throw std::runtime_error("escaping"); }
    HRESULT Mute() override { return E_ACCESSDENIED; }  // fails without error information

private:
    template <class T>
    static HRESULT Out(T* p, T v) {
        if (!p) return E_POINTER;
        *p = v;
        return S_OK;
    }
    template <class F, class T>
    static HRESULT In(F& field, T v) {
        field = v;
        return S_OK;
    }

    std::atomic<LONG> count_{0};
    DOUBLE ratio_ = 0;
    std::u16string name_;
    VARIANT_BOOL flag_ = VARIANT_FALSE;
    DATE stamp_ = 0;
    FLOAT level_ = 0;
    VARIANT value_{};
    mv::ComPtr<IDispatch> child_;
    mv::ComPtr<ITestWidget> peer_;
};

inline mv::ComPtr<ITestWidget> MakeWidget() {
    mv::ComPtr<ITestWidget> w;
    mv::CreateComObject<CTestWidget>(nullptr, IID_ITestWidget, w.PutVoid());
    return w;
}
