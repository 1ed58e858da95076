#include "scheduling/calculation_ref.h"

#include <new>

namespace {

constexpr PropertyMapEntry kCalculationRefMap[] = {
    MvPropertyRow(u"Name", DISPID_MvCalculationRef_Name),
    MvPropertyMapEnd(),
};

}  // namespace

const PropertyMapEntry* CMvCalculationRef::GetPropertyMap() {
    return kCalculationRefMap;
}

HRESULT CMvCalculationRef::get_Name(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    return MvGuardedCall([&] {
        std::string name;
        {
            std::lock_guard<std::mutex> lock(m_leaf);
            name = m_Name;
        }
        const std::u16string wide = mv::ToUtf16(name);
        *pVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        return *pVal ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT CMvCalculationRef::put_Name(BSTR newVal) {
    return MvGuardedCall([&] {
        std::string name = mv::ToUtf8(static_cast<const OLECHAR*>(newVal));
        ActiveCalcShare dropped;
        std::lock_guard<std::mutex> lock(m_leaf);
        // The holder of another name must never serve this one.
        if (name != m_Name) dropped.swap(m_Kept);
        m_Name.swap(name);
    });
}

HRESULT CMvCalculationRef::Resolve(mv::ComPtr<IMvCalculation>* calc) {
    return MvGuardedCall([&] { return ResolveName(calc); });
}

HRESULT CMvCalculationRef::ResolveName(mv::ComPtr<IMvCalculation>* calc) {
    std::string name;
    ActiveCalcShare kept;
    {
        std::lock_guard<std::mutex> lock(m_leaf);
        name = m_Name;
        kept = m_Kept;
    }
    const ActiveCalcShare before = kept;
    const HRESULT hr = MvUseActiveCalc(kept, name, calc->Put());
    if (kept != before) {
        // Keep the new holder unless the name changed meanwhile.
        std::lock_guard<std::mutex> lock(m_leaf);
        if (m_Name == name) m_Kept.swap(kept);
    }
    return hr;
}

HRESULT CMvCalculationRef::GetCalculation(IMvCalculation** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    mv::ComPtr<IMvCalculation> calc;
    if (HRESULT hr = Resolve(&calc); FAILED(hr)) return hr;
    if (!calc) return E_FAIL;
    *out = calc.Detach();
    return S_OK;
}

HRESULT CMvCalculationRef::Calculate() {
    mv::ComPtr<IMvCalculation> calc;
    const HRESULT hr = Resolve(&calc);
    return calc ? calc->Calculate() : hr;
}

HRESULT CMvCalculationRef::SetOnSchedule() {
    mv::ComPtr<IMvCalculation> calc;
    if (HRESULT hr = GetCalculation(calc.Put()); FAILED(hr)) return hr;
    return calc->put_OnSchedule(1);
}

HRESULT CMvCalculationRef::GetCalculationIndex(LONG* Index) {
    if (!Index) return E_POINTER;
    *Index = -1;
    mv::ComPtr<IMvCalculation> calc;
    if (HRESULT hr = GetCalculation(calc.Put()); FAILED(hr)) return hr;
    SHORT onSchedule = 0;
    const HRESULT hr = calc->get_OnSchedule(&onSchedule);
    if (SUCCEEDED(hr)) *Index = onSchedule;
    return hr;
}

HRESULT CMvCalculationRef::CheckOrCalculateStoreForward(VARIANT_BOOL Enabled,
                                                        IMvScheduleGroup* ScheduleGroup,
                                                        VARIANT_BOOL Check,
                                                        VARIANT_BOOL ForceChecking) {
    mv::ComPtr<IMvCalculation> calc;
    HRESULT hr = Resolve(&calc);
    if (!calc) return hr;
    if (!Check) return calc->CalculateStoreForward(Enabled, ScheduleGroup);
    VARIANT_BOOL historyMode = ForceChecking;
    if (!ForceChecking) hr = calc->get_IsStoreForwardHistoryMode(&historyMode);
    if (SUCCEEDED(hr) && historyMode) hr = calc->CheckStoreForward(Enabled, ScheduleGroup);
    return hr;
}

HRESULT CMvCalculationRef::CalculateStoreForward(VARIANT_BOOL Enabled,
                                                 IMvScheduleGroup* ScheduleGroup) {
    return CheckOrCalculateStoreForward(Enabled, ScheduleGroup, VARIANT_FALSE, VARIANT_FALSE);
}

HRESULT CMvCalculationRef::CheckStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup,
                                             VARIANT_BOOL ForceChecking) {
    return CheckOrCalculateStoreForward(Enabled, ScheduleGroup, VARIANT_TRUE, ForceChecking);
}

HRESULT CMvCalculationRef::CalculateMissingHistory(VARIANT_BOOL, IMvScheduleGroup*) {
    return E_NOTIMPL;
}
