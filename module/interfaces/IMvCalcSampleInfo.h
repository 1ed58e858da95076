// IMvCalcSampleInfo: a plain property bag (no IDispatch) that a client fills
// to describe a run over a series of samples. The module only stores what it
// is given and hands it back.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

// The samples collection of the samples type library. The module holds such
// collections for its clients but never calls them, so no member is declared
// here.
MV_DEFINE_GUID(IID_IMvSamples, 0x8A46BB21, 0xDA6A, 0x11D3, 0x84, 0x82, 0x00, 0xC0, 0x4F, 0x58, 0xEF,
               0x08);
struct IMvSamples : IDispatch {
protected:
    ~IMvSamples() = default;
};
MV_IID_OF(IMvSamples, IID_IMvSamples);

// Declared with the parameter class; held here by one counted reference.
struct IMvParameter;

// Getters of interface pointers add a reference for the caller and do
// nothing when the out pointer is null; setters of interface pointers take a
// reference to the new object and release the one they held (null clears).
struct IMvCalcSampleInfo : IUnknown {
    virtual HRESULT get_Samples(IMvSamples** pVal) = 0;
    virtual HRESULT put_Samples(IMvSamples* newVal) = 0;
    virtual HRESULT get_CurrentSample(LONG* pVal) = 0;
    virtual HRESULT put_CurrentSample(LONG newVal) = 0;
    // Stored as given: 1 stays 1.
    virtual HRESULT get_stepped(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_stepped(VARIANT_BOOL newVal) = 0;
    virtual HRESULT get_localeID(ULONG* pVal) = 0;
    virtual HRESULT put_localeID(ULONG newVal) = 0;
    virtual HRESULT get_AverageSamples(IMvSamples** pVal) = 0;
    virtual HRESULT put_AverageSamples(IMvSamples* newVal) = 0;
    virtual HRESULT get_AverageBeginTime(FILETIME* pVal) = 0;
    virtual HRESULT put_AverageBeginTime(FILETIME newVal) = 0;
    virtual HRESULT get_AverageEndTime(FILETIME* pVal) = 0;
    virtual HRESULT put_AverageEndTime(FILETIME newVal) = 0;
    virtual HRESULT get_ProcessDataHistory(IUnknown** pVal) = 0;
    virtual HRESULT put_ProcessDataHistory(IUnknown* newVal) = 0;
    virtual HRESULT get_CalcParameter(IMvParameter** pVal) = 0;
    virtual HRESULT put_CalcParameter(IMvParameter* newVal) = 0;
    // A new copy, or null when no text is stored.
    virtual HRESULT get_DefaultMap(BSTR* pVal) = 0;
    // Keeps the text up to its first zero character; null or "" stores null.
    virtual HRESULT put_DefaultMap(BSTR newVal) = 0;

protected:
    ~IMvCalcSampleInfo() = default;
};
MV_IID_OF(IMvCalcSampleInfo, IID_IMvCalcSampleInfo);
