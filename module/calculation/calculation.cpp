#include "calculation/calculation.h"

#include "frame/trace.h"
#include "persistence/obj_collection.h"

CMvCalculation::CMvCalculation() noexcept {
    VariantInit(&m_Value);
}

// The run's references go first, then the run cache of this instance alone
// (the rest of the copy chain left with NextCopy); the members follow in
// reverse order of declaration, the collections last.
CMvCalculation::~CMvCalculation() {
    try {
        VariantClear(&m_Value);
        if (IMvParameter* p = std::exchange(m_ReturnValueParameter, nullptr)) p->Release();
        if (IMvCalculation* next = std::exchange(m_NextCopy, nullptr)) next->Release();
        if (IMvDravikConnect* c = std::exchange(m_DravikConnect, nullptr)) c->Release();
        ClearParamInfo();
        (void)m_ProcessDataManager.FreeTags();
    } catch (...) {
        MvLogErrorHr("CMvCalculation::~CMvCalculation", E_UNEXPECTED);
    }
}

HRESULT CMvCalculation::FinalConstruct() {
    mv::ComPtr<IMvObjCollection>* const collections[] = {&m_Parameters, &m_DataSets, &m_FormulaRefs,
                                                         &m_OleMethods};
    bool first = true;
    for (mv::ComPtr<IMvObjCollection>* collection : collections) {
        HRESULT hr = mv::CreateComObject<CMvObjCollection>(nullptr, IID_IMvObjCollection,
                                                           collection->PutVoid());
        if (FAILED(hr)) {
            if (!first) MvLogErrorHr("CMvCalculation::FinalConstruct", hr);
            return hr;
        }
        first = false;
    }
    // A calculation without its "ReturnValue" is not made at all.
    return CreateReturnValueParameter();
}

HRESULT CMvCalculation::CreateReturnValueParameter() {
    bool unexpected = false;
    const HRESULT result = MvGuardedCall(
        [&] {
            mv::ComPtr<IMvParameter> parameter;
            mv::Bstr name(u"ReturnValue");
            if (!name.get()) return E_OUTOFMEMORY;
            HRESULT hr = AddParameter(name.get(), parameter.Put());
            if (FAILED(hr)) return hr;
            if (parameter) {
                parameter->put_ParameterType(mvcReturnValue);
                parameter->put_Type(mvcVariant);
            }
            return S_OK;
        },
        &unexpected);
    if (unexpected) MvLogErrorHr("CMvCalculation::CreateReturnValueParameter", E_UNEXPECTED);
    return result;
}

HRESULT CMvCalculation::InterfaceSupportsErrorInfo(REFIID riid) {
    return MvMethodFrame("CMvCalculation::InterfaceSupportsErrorInfo",
                         [&] { return IsEqualIID(riid, IID_IMvCalculation) ? S_OK : S_FALSE; });
}

void CMvCalculation::SetStoreForwardState(LONG state) {
    mv::ObjectLock lock(this);
    m_StoreForwardState = state;
}

HRESULT CMvCalculation::get_ObjectName(BSTR* pName) {
    return static_cast<IMvCalculation*>(this)->get_Name(pName);
}

HRESULT CMvCalculation::put_ObjectName(BSTR name) {
    return static_cast<IMvCalculation*>(this)->put_Name(name);
}

// ---------------------------------------------------------------------------
// Catching up missed history on request is not offered: E_NOTIMPL
// ---------------------------------------------------------------------------
#define MV_CALCULATION_NOT_YET(Method, Params)                                      \
    HRESULT CMvCalculation::Method Params {                                         \
        return MvMethodFrame("CMvCalculation::" #Method, [] { return E_NOTIMPL; }); \
    }

MV_CALCULATION_NOT_YET(CalculateMissingHistory, (VARIANT_BOOL, IMvScheduleGroup*))

#undef MV_CALCULATION_NOT_YET
