#include "persistence/calc_value.h"

#include "frame/calc_variant.h"
#include "frame/trace.h"

namespace {

constexpr const char16_t* kValuesProgId = u"Morva.Calc.Values.1";

}  // namespace

// ---------------------------------------------------------------------------
// CMvCalcValue
// ---------------------------------------------------------------------------
CMvCalcValue::CMvCalcValue() noexcept {
    VariantInit(&m_Value);
}

CMvCalcValue::~CMvCalcValue() {
    VariantClear(&m_Value);
}

HRESULT CMvCalcValue::StoreValueLocked(const VARIANT& newVal) noexcept {
    if (newVal.vt == VT_NULL) {
        VariantClear(&m_Value);
        return S_OK;
    }
    // A failed copy is not reported: the call still succeeds. Running out of
    // memory is, as the old value would pass for the new one.
    return MvOutOfMemoryOnly(VariantCopyInd(&m_Value, &newVal));
}

HRESULT CMvCalcValue::get_Value(VARIANT* pVal) {
    return MvMethodFrame("CMvCalcValue::get_Value", [&] {
        MvRequirePointer(pVal);
        mv::ObjectLock lock(this);
        return MvOutOfMemoryOnly(VariantCopy(pVal, &m_Value));
    });
}

HRESULT CMvCalcValue::put_Value(VARIANT newVal) {
    return MvMethodFrame("CMvCalcValue::put_Value", [&] {
        mv::ObjectLock lock(this);
        return StoreValueLocked(newVal);
    });
}

HRESULT CMvCalcValue::get_Level(SHORT* pVal) {
    return MvMethodFrame("CMvCalcValue::get_Level", [&] {
        MvRequirePointer(pVal);
        *pVal = m_Level;
    });
}

HRESULT CMvCalcValue::put_Level(SHORT newVal) {
    return MvMethodFrame("CMvCalcValue::put_Level", [&] { m_Level = newVal; });
}

HRESULT CMvCalcValue::get_Status(SHORT* pVal) {
    return MvMethodFrame("CMvCalcValue::get_Status", [&] {
        MvRequirePointer(pVal);
        *pVal = m_Status;
    });
}

HRESULT CMvCalcValue::put_Status(SHORT newVal) {
    return MvMethodFrame("CMvCalcValue::put_Status", [&] { m_Status = newVal; });
}

HRESULT CMvCalcValue::get_TimeStamp(DATE* pVal) {
    return MvMethodFrame("CMvCalcValue::get_TimeStamp", [&] {
        MvRequirePointer(pVal);
        *pVal = m_TimeStamp;
    });
}

HRESULT CMvCalcValue::put_TimeStamp(DATE newVal) {
    return MvMethodFrame("CMvCalcValue::put_TimeStamp", [&] { m_TimeStamp = newVal; });
}

HRESULT CMvCalcValue::SetParameterValues(VARIANT* pnewVal, SHORT* pnewLevel, SHORT* pnewStatus,
                                         DATE* pnewTimestamp) {
    return MvMethodFrame("CMvCalcValue::SetParameterValues", [&] {
        mv::ObjectLock lock(this);
        if (pnewVal)
            if (HRESULT hr = StoreValueLocked(*pnewVal); FAILED(hr)) return hr;
        if (pnewLevel) m_Level = *pnewLevel;
        if (pnewStatus) m_Status = *pnewStatus;
        if (pnewTimestamp) m_TimeStamp = *pnewTimestamp;
        return S_OK;
    });
}

// ---------------------------------------------------------------------------
// CMvCalcValues
// ---------------------------------------------------------------------------
HRESULT CMvCalcValues::FinalConstruct() {
    MvStepFrame step("CMvCalcValues::FinalConstruct");
    return S_OK;
}

void CMvCalcValues::FinalRelease() {
    MvStepFrame step("CMvCalcValues::FinalRelease");
    (void)SetSize(0);
}

HRESULT CMvCalcValues::Add(IMvCalcValue* Value) {
    return MvMethodFrame("CMvCalcValues::Add", [&] { m_Values.Append(Value); });
}

HRESULT CMvCalcValues::get_Count(LONG* pVal) {
    return MvMethodFrame("CMvCalcValues::get_Count", [&] {
        MvRequirePointer(pVal);
        *pVal = static_cast<LONG>(m_Values.Size());
    });
}

HRESULT CMvCalcValues::Item(LONG Index, IMvCalcValue** pItem) {
    return MvMethodFrame("CMvCalcValues::Item", [&] {
        return m_Values.CopyItem(Index, pItem, kValuesProgId, IID_IMvCalcValues);
    });
}

HRESULT CMvCalcValues::RemoveAll() {
    return MvMethodFrame("CMvCalcValues::RemoveAll", [&] { (void)SetSize(0); });
}

// Written out rather than through MvMethodFrame: when an element cannot be
// created, the end line names that creation's failure while the caller gets
// E_FAIL.
HRESULT CMvCalcValues::SetSize(LONG newMax) {
    static constexpr const char* kName = "CMvCalcValues::SetSize";
    if (g_DiagnosticLog.IsOn(LogMethods)) MvTraceMethodStart(kName);
    HRESULT traced = S_OK;
    HRESULT result;
    try {
        result = ResizeAndFill(newMax, &traced);
    } catch (...) {
        result = traced = E_UNEXPECTED;
        MvTraceMethodException(kName);
    }
    if (g_DiagnosticLog.IsOn(LogMethods)) MvTraceMethodEnd(kName, traced);
    return result;
}

HRESULT CMvCalcValues::ResizeAndFill(LONG newMax, HRESULT* traced) {
    // The 32-bit original could not hold more: refuse before allocating.
    constexpr LONG kMaxValues = 1048576;
    if (newMax < 0 || newMax > kMaxValues) throw std::invalid_argument("size out of range");
    const std::size_t oldCount = m_Values.Size();
    const std::size_t newCount = static_cast<std::size_t>(newMax);
    m_Values.Truncate(newCount);
    m_Values.Grow(newCount);
    if (newCount <= oldCount) return S_OK;

    mv::ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(CLSID_MvCalcValue, CLSCTX_INPROC_SERVER, nullptr,
                                  IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr)) {
        *traced = hr;
        return hr;
    }
    for (std::size_t slot = oldCount; slot < newCount; ++slot) {
        IMvCalcValue* created = nullptr;
        hr = factory->CreateInstance(nullptr, IID_IMvCalcValue, reinterpret_cast<void**>(&created));
        if (FAILED(hr) || created == nullptr) {
            *traced = FAILED(hr) ? hr : E_FAIL;
            return E_FAIL;
        }
        m_Values.Fill(slot, created);
    }
    return S_OK;
}
