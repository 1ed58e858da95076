// The value and quality of a parameter: the single-property accessors of
// Value, Level and Status, and the operations that move several of them in
// one call.
#include <cstdint>

#include "frame/calc_variant.h"
#include "frame/trace.h"
#include "parameters/parameter.h"

namespace {

// The level that a status implies; any other status leaves the level alone.
bool LevelOfStatus(SHORT status, SHORT* level) noexcept {
    switch (status) {
        case mvcQSTATUS_INITIAL:
        case mvcQSTATUS_GOOD:
            *level = mvcQLEVEL_GOOD;
            return true;
        case mvcQSTATUS_NO_STATUS:
        case mvcQSTATUS_NO_FIELD:
            *level = mvcNO_QLEVEL;
            return true;
        case mvcQSTATUS_SUSPECT:
        case mvcQSTATUS_CLAMPED_HI:
        case mvcQSTATUS_CLAMPED_LO:
            *level = mvcQLEVEL_SUSPECT;
            return true;
        case mvcQSTATUS_BAD:
            *level = mvcQLEVEL_BAD;
            return true;
        default:
            return false;
    }
}

// A by-value type whose VARIANT owns nothing: no string, interface, array or
// reference. Copying one over another is a plain copy of the whole VARIANT.
bool OwnsNothing(VARTYPE vt) noexcept {
    constexpr uint32_t kPlain = 1u << VT_EMPTY | 1u << VT_NULL | 1u << VT_I2 | 1u << VT_I4 |
                                1u << VT_R4 | 1u << VT_R8 | 1u << VT_CY | 1u << VT_DATE |
                                1u << VT_ERROR | 1u << VT_BOOL | 1u << VT_DECIMAL | 1u << VT_I1 |
                                1u << VT_UI1 | 1u << VT_UI2 | 1u << VT_UI4 | 1u << VT_I8 |
                                1u << VT_UI8 | 1u << VT_INT | 1u << VT_UINT;
    return vt < 32 && (kPlain >> vt & 1u) != 0;
}

// VariantCopy, without the calls when neither side owns anything (a number
// read into an empty or numeric VARIANT, the common case).
HRESULT CopyValue(VARIANT* to, const VARIANT& from) noexcept {
    if (OwnsNothing(from.vt) && OwnsNothing(to->vt)) {
        *to = from;
        return S_OK;
    }
    return VariantCopy(to, &from);
}

}  // namespace

HRESULT CMvParameter::StoreValueLocked(const VARIANT& newVal) noexcept {
    m_Changed = 1;
    if (newVal.vt == VT_NULL) {
        VariantClear(&m_Value);
        return S_OK;
    }
    // A failed copy is not reported: the call still succeeds. Running out of
    // memory is, as the old value would pass for the new one.
    const HRESULT hr =
        newVal.vt & VT_BYREF ? VariantCopyInd(&m_Value, &newVal) : CopyValue(&m_Value, newVal);
    return MvOutOfMemoryOnly(hr);
}

HRESULT CMvParameter::get_Value(VARIANT* pVal) {
    return MvMethodFrame("CMvParameter::get_Value", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        return MvOutOfMemoryOnly(CopyValue(pVal, m_Value));
    });
}

HRESULT CMvParameter::put_Value(VARIANT newVal) {
    return MvMethodFrame("CMvParameter::put_Value", [&] {
        mv::ObjectLock lock(this);
        return StoreValueLocked(newVal);
    });
}

HRESULT CMvParameter::putref_Value(VARIANT* newVal) {
    return MvMethodFrame("CMvParameter::putref_Value", [&] {
        if (!newVal) return E_POINTER;
        mv::ObjectLock lock(this);
        return StoreValueLocked(*newVal);
    });
}

HRESULT CMvParameter::get_Level(SHORT* pVal) {
    return MvMethodFrame("CMvParameter::get_Level", [&] {
        if (!pVal) return E_POINTER;
        *pVal = CurrentLevel();
        return S_OK;
    });
}

HRESULT CMvParameter::put_Level(SHORT newVal) {
    return MvMethodFrame("CMvParameter::put_Level", [&] {
        mv::ObjectLock lock(this);
        m_Changed = 1;
        m_Level.store(newVal, std::memory_order_relaxed);
    });
}

HRESULT CMvParameter::get_Status(SHORT* pVal) {
    return MvMethodFrame("CMvParameter::get_Status", [&] { return GetNumber(m_Status, pVal); });
}

HRESULT CMvParameter::put_Status(SHORT newVal) {
    return MvMethodFrame("CMvParameter::put_Status", [&] {
        mv::ObjectLock lock(this);
        m_Changed = 1;
        m_Status = newVal;
        SHORT level = 0;
        if (LevelOfStatus(newVal, &level)) m_Level.store(level, std::memory_order_relaxed);
    });
}

// Level and Status are stored as passed: nothing is derived here.
HRESULT CMvParameter::SetParameterValues(VARIANT* pnewVal, SHORT* pnewLevel, SHORT* pnewStatus,
                                         DATE* pnewTimestamp) {
    return MvMethodFrame("CMvParameter::SetParameterValues", [&] {
        mv::ObjectLock lock(this);
        m_Changed = 1;
        if (pnewVal)
            if (HRESULT hr = StoreValueLocked(*pnewVal); FAILED(hr)) return hr;
        if (pnewLevel) m_Level.store(*pnewLevel, std::memory_order_relaxed);
        if (pnewStatus) m_Status = *pnewStatus;
        if (pnewTimestamp) m_TimeStamp = *pnewTimestamp;
        return S_OK;
    });
}

HRESULT CMvParameter::GetParameterValues(VARIANT* pVal, SHORT* pLevel, SHORT* pStatus,
                                         DATE* pTimestamp) {
    return MvMethodFrame("CMvParameter::GetParameterValues", [&] {
        mv::ObjectLock lock(this);
        if (pVal)
            if (HRESULT hr = MvOutOfMemoryOnly(CopyValue(pVal, m_Value)); FAILED(hr)) return hr;
        if (pLevel) *pLevel = CurrentLevel();
        if (pStatus) *pStatus = m_Status;
        if (pTimestamp) *pTimestamp = m_TimeStamp;
        return S_OK;
    });
}

HRESULT CMvParameter::SetParameterRecFld(LONG* pRecord_ID, LONG* pField_ID,
                                         LONG* pHistoryField_ID) {
    return MvMethodFrame("CMvParameter::SetParameterRecFld", [&] {
        mv::ObjectLock lock(this);
        if (pRecord_ID) m_Record_ID = *pRecord_ID;
        if (pField_ID) m_Field_ID = *pField_ID;
        if (pHistoryField_ID) m_HistoryField_ID = *pHistoryField_ID;
    });
}

HRESULT CMvParameter::GetParameterRecFld(LONG* pRecord_ID, LONG* pField_ID,
                                         LONG* pHistoryField_ID) {
    return MvMethodFrame("CMvParameter::GetParameterRecFld", [&] {
        mv::ObjectLock lock(this);
        if (pRecord_ID) *pRecord_ID = m_Record_ID;
        if (pField_ID) *pField_ID = m_Field_ID;
        if (pHistoryField_ID) *pHistoryField_ID = m_HistoryField_ID;
    });
}

// Each part comes from the parameter's own getter; a null out pointer is
// skipped, and so is a getter's failure but for running out of memory (an
// empty part would pass for the parameter's). The units are the parameter's
// own, or the bound field's while the parameter has none.
HRESULT CMvParameter::GetDetails(BSTR* pName, BSTR* pTypeText, BSTR* pParameterTypeText,
                                 VARIANT* pDefault, BSTR* pSource, VARIANT* pValue, SHORT* pStatus,
                                 BSTR* pUnits) {
    return MvMethodFrame("CMvParameter::GetDetails", [&] {
        IMvParameter* self = this;
        if (pName) MvThrowIfOutOfMemory(self->get_Name(pName));
        if (pTypeText) MvThrowIfOutOfMemory(self->get_TypeText(pTypeText));
        if (pParameterTypeText)
            MvThrowIfOutOfMemory(self->get_ParameterTypeText(pParameterTypeText));
        if (pDefault) MvThrowIfOutOfMemory(self->get_Default(pDefault));
        if (pSource) MvThrowIfOutOfMemory(self->get_Source(pSource));
        if (pValue) MvThrowIfOutOfMemory(self->get_Value(pValue));
        if (pStatus) (void)self->get_Status(pStatus);
        if (pUnits) {
            if (TextOf(m_Units).empty())
                MvThrowIfOutOfMemory(self->get_BoundUnits(pUnits));
            else
                MvThrowIfOutOfMemory(self->get_Units(pUnits));
        }
    });
}
