#include "persistence/calc_sample_info.h"

#include <new>
#include <utility>

#include "frame/trace.h"
#include "interfaces/IMvParameter.h"
#include "persistence/calc_value_list.h"

namespace {

// All this class needs of the interfaces it holds is their IUnknown.
template <class I>
IUnknown* AsUnknown(I* p) noexcept {
    return p;
}

// Hands out a held interface with one reference added; a null out pointer
// is ignored.
template <class I>
void CopyHeld(I* held, I** out) noexcept {
    if (!out) return;
    if (held) AsUnknown(held)->AddRef();
    *out = held;
}

// Takes a reference to the new interface, then releases the old one; setting
// the held interface again changes nothing.
template <class I>
void ReplaceHeld(I** held, I* newVal) noexcept {
    if (newVal == *held) return;
    if (newVal) AsUnknown(newVal)->AddRef();
    I* old = std::exchange(*held, newVal);
    if (old) AsUnknown(old)->Release();
}

template <class I>
void ReleaseHeld(I** held) noexcept {
    if (I* old = std::exchange(*held, nullptr)) AsUnknown(old)->Release();
}

}  // namespace

CMvCalcSampleInfo::~CMvCalcSampleInfo() {
    SysFreeString(std::exchange(m_DefaultMap, nullptr));
    ReleaseHeld(&m_CalcParameter);
    ReleaseHeld(&m_ProcessDataHistory);
    ReleaseHeld(&m_AverageSamples);
    ReleaseHeld(&m_Samples);
}

HRESULT CMvCalcSampleInfo::get_Samples(IMvSamples** pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_Samples", [&] { CopyHeld(m_Samples, pVal); });
}

HRESULT CMvCalcSampleInfo::put_Samples(IMvSamples* newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_Samples",
                         [&] { ReplaceHeld(&m_Samples, newVal); });
}

HRESULT CMvCalcSampleInfo::get_CurrentSample(LONG* pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_CurrentSample", [&] {
        MvRequirePointer(pVal);
        *pVal = m_CurrentSample;
    });
}

HRESULT CMvCalcSampleInfo::put_CurrentSample(LONG newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_CurrentSample", [&] { m_CurrentSample = newVal; });
}

HRESULT CMvCalcSampleInfo::get_stepped(VARIANT_BOOL* pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_stepped", [&] {
        MvRequirePointer(pVal);
        *pVal = m_stepped;
    });
}

HRESULT CMvCalcSampleInfo::put_stepped(VARIANT_BOOL newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_stepped", [&] { m_stepped = newVal; });
}

HRESULT CMvCalcSampleInfo::get_localeID(ULONG* pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_localeID", [&] {
        MvRequirePointer(pVal);
        *pVal = m_localeID;
    });
}

HRESULT CMvCalcSampleInfo::put_localeID(ULONG newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_localeID", [&] { m_localeID = newVal; });
}

HRESULT CMvCalcSampleInfo::get_AverageSamples(IMvSamples** pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_AverageSamples",
                         [&] { CopyHeld(m_AverageSamples, pVal); });
}

HRESULT CMvCalcSampleInfo::put_AverageSamples(IMvSamples* newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_AverageSamples",
                         [&] { ReplaceHeld(&m_AverageSamples, newVal); });
}

HRESULT CMvCalcSampleInfo::get_AverageBeginTime(FILETIME* pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_AverageBeginTime", [&] {
        MvRequirePointer(pVal);
        *pVal = m_AverageBeginTime;
    });
}

HRESULT CMvCalcSampleInfo::put_AverageBeginTime(FILETIME newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_AverageBeginTime",
                         [&] { m_AverageBeginTime = newVal; });
}

HRESULT CMvCalcSampleInfo::get_AverageEndTime(FILETIME* pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_AverageEndTime", [&] {
        MvRequirePointer(pVal);
        *pVal = m_AverageEndTime;
    });
}

HRESULT CMvCalcSampleInfo::put_AverageEndTime(FILETIME newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_AverageEndTime",
                         [&] { m_AverageEndTime = newVal; });
}

HRESULT CMvCalcSampleInfo::get_ProcessDataHistory(IUnknown** pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_ProcessDataHistory",
                         [&] { CopyHeld(m_ProcessDataHistory, pVal); });
}

HRESULT CMvCalcSampleInfo::put_ProcessDataHistory(IUnknown* newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_ProcessDataHistory",
                         [&] { ReplaceHeld(&m_ProcessDataHistory, newVal); });
}

HRESULT CMvCalcSampleInfo::get_CalcParameter(IMvParameter** pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_CalcParameter",
                         [&] { CopyHeld(m_CalcParameter, pVal); });
}

HRESULT CMvCalcSampleInfo::put_CalcParameter(IMvParameter* newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_CalcParameter",
                         [&] { ReplaceHeld(&m_CalcParameter, newVal); });
}

HRESULT CMvCalcSampleInfo::get_DefaultMap(BSTR* pVal) {
    return MvMethodFrame("CMvCalcSampleInfo::get_DefaultMap", [&] {
        MvRequirePointer(pVal);
        *pVal = nullptr;
        if (!m_DefaultMap) return;
        BSTR copy = SysAllocStringLen(m_DefaultMap, SysStringLen(m_DefaultMap));
        if (!copy) throw std::bad_alloc();
        *pVal = copy;
    });
}

HRESULT CMvCalcSampleInfo::put_DefaultMap(BSTR newVal) {
    return MvMethodFrame("CMvCalcSampleInfo::put_DefaultMap", [&] {
        // The text ends at its first zero character; an empty one stores
        // nothing, so it reads back as null.
        BSTR copy = nullptr;
        if (newVal && *newVal) {
            copy = SysAllocString(newVal);
            if (!copy) throw std::bad_alloc();
        }
        SysFreeString(std::exchange(m_DefaultMap, copy));
    });
}
