// A calculation set up from a library formula: its parameters, formula
// references, kind and kind-specific definition taken from the formula, the
// test of which formula it is based on and the formula-detail queries.
//
// The set-up replaces the collection pointers under the object lock, and
// every reader takes a counted reference under that lock, so a run that is
// in progress on another thread keeps the collections it started with.
#include <atomic>
#include <utility>

#include "calculation/calculation.h"
#include "frame/trace.h"
#include "persistence/obj_collection.h"

namespace {

std::atomic<MvCollectionMaker> g_collectionMaker{nullptr};

HRESULT MakeCollection(mv::ComPtr<IMvObjCollection>* out) {
    MvCollectionMaker maker = g_collectionMaker.load(std::memory_order_acquire);
    return maker ? maker(out) : MvObjCollection_Create(out);
}

// Copies one text property of the formula onto the calculation; results
// are not examined.
void CopyText(IMvCalculation* formula, IMvCalculation* target,
              HRESULT (IMvCalculation::*get)(BSTR*), HRESULT (IMvCalculation::*put)(BSTR)) {
    mv::Bstr text;
    (void)(formula->*get)(text.Out());
    (void)(target->*put)(text.get());
}

// Equal ignoring case; a null argument matches anything.
bool NameMatches(BSTR argument, const std::string& field) {
    return !argument || mv::EqualsNoCase(mv::ToUtf8(argument), field);
}

}  // namespace

MvCollectionMaker MvSetSetupCollectionMaker(MvCollectionMaker maker) {
    return g_collectionMaker.exchange(maker, std::memory_order_acq_rel);
}

HRESULT CMvCalculation::SetParametersFromFormula(IMvCalculation* formula, bool strict) {
    mv::ComPtr<IMvObjCollection> source;
    if (!formula || FAILED(formula->get_Parameters(source.Put())) || !source) return S_OK;
    mv::ComPtr<IMvObjCollection> rebuilt;
    if (HRESULT hr = MakeCollection(&rebuilt); FAILED(hr) || !rebuilt)
        return FAILED(hr) ? hr : E_FAIL;
    for (const mv::ComPtr<IMvParameter>& parameter : MvMembersAs<IMvParameter>(source.get())) {
        if (!parameter) continue;
        if (FAILED(AddParameterFromFormula(rebuilt.get(), parameter.get())) && strict)
            return E_FAIL;
    }
    // The run's table and its "ReturnValue" reference name the parameters
    // that are let go: the next run builds both from the new collection.
    mv::ComPtr<IMvObjCollection> old;
    {
        mv::ObjectLock lock(this);
        old = std::exchange(m_Parameters, std::move(rebuilt));
    }
    ForgetRunParameters();
    return S_OK;
}

HRESULT CMvCalculation::SetUpFromFormula(IMvCalculation* formula, bool strict) {
    auto* self = static_cast<IMvCalculation*>(this);
    if (HRESULT hr = SetParametersFromFormula(formula, strict); FAILED(hr) && strict) return hr;

    // A formula that gives no collection leaves the calculation its own:
    // every user of FormulaRefs and OleMethods relies on there being one.
    mv::ComPtr<IMvObjCollection> refs;
    (void)formula->get_FormulaRefs(refs.Put());
    if (refs) {
        mv::ObjectLock lock(this);
        std::swap(m_FormulaRefs, refs);  // the old collection is let go outside the lock
    }
    refs = nullptr;

    LONG kind = mvcNoExecuteMethodDefined;
    (void)formula->get_FormulaType(&kind);
    if (HRESULT hr = self->put_FormulaType(kind); FAILED(hr) && strict) return hr;
    switch (kind) {
        case mvcEXE_Execute_Method:
            CopyText(formula, self, &IMvCalculation::get_ProgramName,
                     &IMvCalculation::put_ProgramName);
            break;
        case mvcOLE_Execute_Method: {
            CopyText(formula, self, &IMvCalculation::get_OLEObjectName,
                     &IMvCalculation::put_OLEObjectName);
            mv::ComPtr<IMvObjCollection> methods;
            (void)formula->get_OleMethods(methods.Put());
            if (!methods) break;
            mv::ObjectLock lock(this);
            std::swap(m_OleMethods, methods);
            break;
        }
        case mvcVBS_Script_Method:
        case mvcSimpleScript_Method:
            CopyText(formula, self, &IMvCalculation::get_ScriptText,
                     &IMvCalculation::put_ScriptText);
            break;
        case mvcExcel_Execute_Method:
            CopyText(formula, self, &IMvCalculation::get_ExcelFileName,
                     &IMvCalculation::put_ExcelFileName);
            break;
        case mvcDLL_Execute_Method:
            CopyText(formula, self, &IMvCalculation::get_DllName, &IMvCalculation::put_DllName);
            CopyText(formula, self, &IMvCalculation::get_FunctionName,
                     &IMvCalculation::put_FunctionName);
            break;
        default:
            break;
    }
    return S_OK;
}

// S_OK whatever a step gave; a null formula is refused before anything
// changes.
HRESULT CMvCalculation::SetCalcFromFormulaP(IMvCalculation* pFormula) {
    static constexpr const char* kName = "CMvCalculation::SetCalcFromFormulaP";
    return MvMethodFrame(kName, [&] {
        if (!pFormula) {
            MvTraceMethodException(kName);
            return E_UNEXPECTED;
        }
        (void)SetUpFromFormula(pFormula, false);
        return S_OK;
    });
}

HRESULT CMvCalculation::IsBasedOnFormula(BSTR LibraryName, BSTR FormulaName) {
    return MvMethodFrame("CMvCalculation::IsBasedOnFormula", [&] {
        std::string library, formula;
        {
            mv::ObjectLock lock(this);
            library = m_LibraryName;
            formula = m_FormulaName;
        }
        return NameMatches(LibraryName, library) && NameMatches(FormulaName, formula) ? S_OK
                                                                                      : S_FALSE;
    });
}

HRESULT CMvCalculation::GetFormulaDetails(BSTR* FormulaName, BSTR* Description, BSTR* FormulaType) {
    return MvMethodFrame("CMvCalculation::GetFormulaDetails", [&] {
        auto* self = static_cast<IMvCalculation*>(this);
        (void)self->get_Name(FormulaName);
        (void)self->get_Description(Description);
        (void)self->get_FormulaTypeText(FormulaType);
    });
}

// Name, Description and FormulaTypeText at indexes 1 to 3.
HRESULT CMvCalculation::FormulaDetailsArray(VARIANT* pDetailsArray) {
    return MvMethodFrame("CMvCalculation::FormulaDetailsArray", [&] {
        if (!pDetailsArray) return E_POINTER;
        VariantClear(pDetailsArray);
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 1, 3);
        if (!array) return S_OK;
        // Each text is owned by its element, which the array copies.
        mv::Variant elements[3];
        for (mv::Variant& element : elements) {
            element.vt = VT_BSTR;
            element.bstrVal = nullptr;
        }
        (void)get_Name(&elements[0].bstrVal);
        (void)get_Description(&elements[1].bstrVal);
        (void)get_FormulaTypeText(&elements[2].bstrVal);
        HRESULT hr = S_OK;
        for (LONG index = 1; index <= 3; ++index)
            hr = SafeArrayPutElement(array, &index, &elements[index - 1]);
        pDetailsArray->vt = VT_ARRAY | VT_VARIANT;
        pDetailsArray->parray = array;
        return hr;
    });
}
