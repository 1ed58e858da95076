// CMvCalcSampleInfo: the property bag a client fills to describe a run over
// a series of samples. It only stores what it is given and hands it back;
// it is neither persisted nor filed in a named collection.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalcSampleInfo.h"

class CMvCalcSampleInfo : public mv::ComObjectRoot<CMvCalcSampleInfo>,
                          public IMvCalcSampleInfo,
                          public mv::SupportErrorInfoImpl<IMvCalcSampleInfo> {
public:
    using InterfaceMap = mv::Interfaces<IMvCalcSampleInfo, ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcSampleInfo;

    ~CMvCalcSampleInfo() override;

    HRESULT get_Samples(IMvSamples** pVal) override;
    HRESULT put_Samples(IMvSamples* newVal) override;
    HRESULT get_CurrentSample(LONG* pVal) override;
    HRESULT put_CurrentSample(LONG newVal) override;
    HRESULT get_stepped(VARIANT_BOOL* pVal) override;
    HRESULT put_stepped(VARIANT_BOOL newVal) override;
    HRESULT get_localeID(ULONG* pVal) override;
    HRESULT put_localeID(ULONG newVal) override;
    HRESULT get_AverageSamples(IMvSamples** pVal) override;
    HRESULT put_AverageSamples(IMvSamples* newVal) override;
    HRESULT get_AverageBeginTime(FILETIME* pVal) override;
    HRESULT put_AverageBeginTime(FILETIME newVal) override;
    HRESULT get_AverageEndTime(FILETIME* pVal) override;
    HRESULT put_AverageEndTime(FILETIME newVal) override;
    HRESULT get_ProcessDataHistory(IUnknown** pVal) override;
    HRESULT put_ProcessDataHistory(IUnknown* newVal) override;
    HRESULT get_CalcParameter(IMvParameter** pVal) override;
    HRESULT put_CalcParameter(IMvParameter* newVal) override;
    HRESULT get_DefaultMap(BSTR* pVal) override;
    HRESULT put_DefaultMap(BSTR newVal) override;

private:
    // Every field starts at zero, null or empty. No lock: a client that
    // shares one object between threads serialises its calls.
    IMvSamples* m_Samples = nullptr;         // counted
    IMvSamples* m_AverageSamples = nullptr;  // counted
    LONG m_CurrentSample = 0;
    VARIANT_BOOL m_stepped = 0;
    ULONG m_localeID = 0;
    FILETIME m_AverageBeginTime{0, 0};
    FILETIME m_AverageEndTime{0, 0};
    IUnknown* m_ProcessDataHistory = nullptr;  // counted
    // Counted. The parameter's own pointer back to this object is not, so the
    // two never keep each other alive.
    IMvParameter* m_CalcParameter = nullptr;
    BSTR m_DefaultMap = nullptr;  // null when no text is stored
};
