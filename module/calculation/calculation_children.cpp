// The calculation's children: adding and finding parameters, data sets and
// automation methods, the return-value parameter, the recipe connection,
// the refresh of parameters from a library formula and the two parameter
// listings.
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "calculation/calculation.h"
#include "executors/calc_ole_method.h"  // its OLE method children; the class spans executors/
#include "frame/calc_variant.h"
#include "frame/trace.h"
#include "parameters/parameter.h"
#include "persistence/obj_collection.h"
#include "sources/data_set.h"
#include "sources/dravik_connect.h"

namespace {

// A one-dimensional array of VARIANT from index 0 in `target`; when it
// cannot be made, `target` stays VT_EMPTY and std::bad_alloc is thrown (a
// list that passed for empty would be wrong).
void CreateCalcSafeArray(VARIANT* target, ULONG count) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, count);
    if (!array) throw std::bad_alloc();
    target->vt = VT_ARRAY | VT_VARIANT;
    target->parray = array;
}

// Stores a copy of `value` at `index` of the array in `target` and clears
// `value`; a copy that runs out of memory clears `target` and throws
// std::bad_alloc instead of leaving the element empty.
void SetCalcSafeArray(VARIANT* target, LONG index, VARIANT* value) {
    HRESULT hr = S_OK;
    if (target->vt == (VT_ARRAY | VT_VARIANT) && target->parray)
        hr = SafeArrayPutElement(target->parray, &index, value);
    VariantClear(value);
    if (hr == E_OUTOFMEMORY) {
        VariantClear(target);
        throw std::bad_alloc();
    }
}

// The step lines of one row: label "( " text " )".
void TraceCell(const char16_t* label, const VARIANT& cell) {
    mv::Variant text;
    const OLECHAR* shown = u"";
    if (cell.vt == VT_BSTR) {
        shown = cell.bstrVal;
    } else if (SUCCEEDED(VariantChangeType(&text, &cell, VARIANT_ALPHABOOL, VT_BSTR))) {
        shown = text.bstrVal;
    }
    MvLogLine({label, "( ", shown, " )"});
}

}  // namespace

// ---------------------------------------------------------------------------
// Adding and finding children
// ---------------------------------------------------------------------------
template <class Itf>
HRESULT CMvCalculation::GetChild(IMvObjCollection* collection, BSTR name, Itf** out) {
    if (!out) return E_POINTER;
    mv::ComPtr<IDispatch> item;
    HRESULT hr = collection->ItemByName(name, item.Put());
    if (FAILED(hr) || !item) {
        *out = nullptr;
        return FAILED(hr) ? hr : E_FAIL;
    }
    return item->QueryInterface(mv::IidOf<Itf>::value, reinterpret_cast<void**>(out));
}

HRESULT CMvCalculation::AddParameter(BSTR Name, IMvParameter** pDisp) {
    return MvMethodFrame("CMvCalculation::AddParameter", [&] {
        if (!pDisp) return E_POINTER;
        return MvObjCollection_AddNew<CMvParameter>(Collection(m_Parameters).get(), Name, pDisp);
    });
}

HRESULT CMvCalculation::GetParameter(BSTR Name, IMvParameter** pDisp) {
    return MvMethodFrame("CMvCalculation::GetParameter",
                         [&] { return GetChild(Collection(m_Parameters).get(), Name, pDisp); });
}

HRESULT CMvCalculation::AddDataSet(BSTR Name, IMvDataSet** pDisp) {
    return MvMethodFrame("CMvCalculation::AddDataSet", [&] {
        if (!pDisp) return E_POINTER;
        return MvObjCollection_AddNew<CMvDataSet>(Collection(m_DataSets).get(), Name, pDisp);
    });
}

HRESULT CMvCalculation::GetDataSet(BSTR Name, IMvDataSet** pDisp) {
    return MvMethodFrame("CMvCalculation::GetDataSet",
                         [&] { return GetChild(Collection(m_DataSets).get(), Name, pDisp); });
}

HRESULT CMvCalculation::AddOLEMethod(BSTR Name, IMvCalcOLEMethod** pMethod) {
    return MvMethodFrame("CMvCalculation::AddOLEMethod", [&] {
        if (!pMethod) return E_POINTER;
        return MvObjCollection_AddNew<CMvCalcOLEMethod>(Collection(m_OleMethods).get(), Name,
                                                        pMethod);
    });
}

HRESULT CMvCalculation::GetOLEMethod(BSTR Name, IMvCalcOLEMethod** pMethod) {
    return MvMethodFrame("CMvCalculation::GetOLEMethod",
                         [&] { return GetChild(Collection(m_OleMethods).get(), Name, pMethod); });
}

// The reference of that name after the stale check of its library: E_FAIL
// with "Item: Named item not found" when FormulaRefs holds none.
HRESULT CMvCalculation::GetFormulaRef(BSTR Name, IDispatch** pDisp) {
    return MvMethodFrame("CMvCalculation::GetFormulaRef", [&] {
        if (!pDisp) return E_POINTER;
        (void)ReloadStaleLibraryIfNeeded(Name);
        return GetChild(Collection(m_FormulaRefs).get(), Name, pDisp);
    });
}

// Always S_OK: a failed emptying or re-creation is not reported.
HRESULT CMvCalculation::RemoveAllParameters() {
    return MvMethodFrame("CMvCalculation::RemoveAllParameters", [&] {
        (void)Collection(m_Parameters)->RemoveAll();
        // The run's table and its "ReturnValue" reference name the removed
        // parameters: the next run builds both from the new collection.
        ForgetRunParameters();
        (void)CreateReturnValueParameter();
    });
}

// An existing connection and its settings stay.
HRESULT CMvCalculation::CreateDravikConnect() {
    return MvMethodFrame("CMvCalculation::CreateDravikConnect", [&] {
        {
            mv::ObjectLock lock(this);
            if (m_DravikConnect) return S_OK;
        }
        mv::ComPtr<mv::ComObject<CMvDravikConnect>> created;
        HRESULT hr = mv::MakeComObject<CMvDravikConnect>(&created);
        if (FAILED(hr)) return hr;
        mv::ObjectLock lock(this);
        if (!m_DravikConnect) m_DravikConnect = static_cast<IMvDravikConnect*>(created.Detach());
        return S_OK;
    });
}

// ---------------------------------------------------------------------------
// Refresh from a library formula
// ---------------------------------------------------------------------------
HRESULT CMvCalculation::AddParameterFromFormula(IMvObjCollection* target, IMvParameter* source) {
    try {
        if (!target || !source) return E_POINTER;
        mv::Bstr name;
        source->get_Name(name.Out());
        mv::ComPtr<IMvParameter> parameter;
        (void)GetParameter(name.get(), parameter.Put());
        const bool existed = static_cast<bool>(parameter);
        if (!existed) {
            mv::ComPtr<mv::ComObject<CMvParameter>> created;
            HRESULT hr = mv::MakeComObject<CMvParameter>(&created);
            if (FAILED(hr)) return hr;
            parameter = mv::ComPtr<IMvParameter>(created.get());
            parameter->put_Name(name.get());
        }
        (void)CopyFormulaParameterDetails(parameter.get(), source, existed);
        parameter->SetUnitConversionFactor();
        return target->Add(name.get(), parameter.get());
    } catch (...) {
        MvLogErrorHr("CMvCalculation::AddParameterFromFormula", E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}

// Each property read through the source's getter and written through the
// target's setter; no result is examined.
HRESULT CMvCalculation::CopyFormulaParameterDetails(IMvParameter* target, IMvParameter* source,
                                                    bool existed) {
    try {
        if (!target || !source) return S_OK;
        auto copyText = [&](HRESULT (IMvParameter::*get)(BSTR*),
                            HRESULT (IMvParameter::*put)(BSTR)) {
            mv::Bstr text;
            (source->*get)(text.Out());
            (target->*put)(text.get());
        };
        auto copyNumber = [&](HRESULT (IMvParameter::*get)(LONG*),
                              HRESULT (IMvParameter::*put)(LONG)) {
            LONG value = 0;
            (source->*get)(&value);
            (target->*put)(value);
        };
        copyText(&IMvParameter::get_Description, &IMvParameter::put_Description);
        copyNumber(&IMvParameter::get_ParameterType, &IMvParameter::put_ParameterType);
        copyNumber(&IMvParameter::get_Type, &IMvParameter::put_Type);
        copyText(&IMvParameter::get_Units, &IMvParameter::put_Units);
        mv::Variant defaultValue;
        source->get_Default(&defaultValue);
        if (!existed) target->put_Value(defaultValue);
        VariantClear(&defaultValue);
        copyText(&IMvParameter::get_SpreadSheetName, &IMvParameter::put_SpreadSheetName);
        copyText(&IMvParameter::get_SpreadSheetMethod, &IMvParameter::put_SpreadSheetMethod);
        copyNumber(&IMvParameter::get_SpreadSheetRow, &IMvParameter::put_SpreadSheetRow);
        copyNumber(&IMvParameter::get_SpreadSheetColumn, &IMvParameter::put_SpreadSheetColumn);
        copyText(&IMvParameter::get_EXE_RuntimeArgument, &IMvParameter::put_EXE_RuntimeArgument);
    } catch (...) {
        MvLogErrorHr("CMvCalculation::CopyFormulaParameterDetails", E_UNEXPECTED);
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Unused parameters
// ---------------------------------------------------------------------------
HRESULT CMvCalculation::MarkParametersUnused() {
    return MvMethodFrame("CMvCalculation::MarkParametersUnused", [&] {
        for (const mv::ComPtr<IMvParameter>& parameter :
             MvMembersAs<IMvParameter>(Collection(m_Parameters).get())) {
            if (!parameter) continue;
            LONG type = mvcUnUsed;
            parameter->get_ParameterType(&type);
            if (type != mvcReturnValue) parameter->put_ParameterType(mvcUnUsed);
        }
    });
}

HRESULT CMvCalculation::ListUnusedParameters(VARIANT* pVarList) {
    return MvMethodFrame("CMvCalculation::ListUnusedParameters", [&] {
        if (!pVarList) return E_POINTER;
        std::vector<mv::Bstr> names;
        for (const mv::ComPtr<IMvParameter>& parameter :
             MvMembersAs<IMvParameter>(Collection(m_Parameters).get())) {
            if (!parameter) continue;
            LONG type = mvcReturnValue;
            parameter->get_ParameterType(&type);
            if (type != mvcUnUsed) continue;
            names.emplace_back();
            // A name lost for lack of memory would stand in the list as an
            // empty one.
            MvThrowIfOutOfMemory(parameter->get_Name(names.back().Out()));
        }
        VariantClear(pVarList);
        if (names.empty()) return S_OK;
        CreateCalcSafeArray(pVarList, static_cast<ULONG>(names.size()));
        for (std::size_t i = 0; i < names.size(); ++i) {
            VARIANT name;
            name.vt = VT_BSTR;
            name.bstrVal = names[i].Detach();
            SetCalcSafeArray(pVarList, static_cast<LONG>(i), &name);
        }
        return S_OK;
    });
}

// ---------------------------------------------------------------------------
// Parameter details
// ---------------------------------------------------------------------------
HRESULT CMvCalculation::ListParameterDetails(VARIANT* pDetails) {
    return MvMethodFrame("CMvCalculation::ListParameterDetails", [&] {
        if (!pDetails) return E_POINTER;
        VariantClear(pDetails);
        const std::vector<mv::ComPtr<IMvParameter>> parameters =
            MvMembersAs<IMvParameter>(Collection(m_Parameters).get());
        CreateCalcSafeArray(pDetails, static_cast<ULONG>(parameters.size()));
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            if (!parameters[i]) continue;
            mv::Variant row;
            const HRESULT hr = GetParamDetails(parameters[i].get(), &row);
            // A row that could not be made for lack of memory is no row to
            // leave out: the list would pass for whole.
            if (hr == E_OUTOFMEMORY) {
                VariantClear(pDetails);
                return hr;
            }
            if (SUCCEEDED(hr)) SetCalcSafeArray(pDetails, static_cast<LONG>(i), &row);
        }
        return S_OK;
    });
}

// One row of ten cells: description, name, data type text, direction text,
// default, source, an empty cell, value, status and units.
HRESULT CMvCalculation::GetParamDetails(IMvParameter* parameter, VARIANT* row) {
    try {
        mv::Variant cells[10];
        mv::Bstr name, typeText, directionText, source, units, description;
        SHORT status = 0;
        MvThrowIfOutOfMemory(parameter->GetDetails(name.Out(), typeText.Out(), directionText.Out(),
                                                   &cells[4], source.Out(), &cells[7], &status,
                                                   units.Out()));
        MvThrowIfOutOfMemory(parameter->get_Description(description.Out()));
        auto text = [](VARIANT& cell, mv::Bstr& value) {
            cell.vt = VT_BSTR;
            cell.bstrVal = value.get() ? value.Detach() : SysAllocString(u"");
        };
        text(cells[0], description);
        text(cells[1], name);
        text(cells[2], typeText);
        text(cells[3], directionText);
        text(cells[5], source);
        cells[8].vt = VT_I2;
        cells[8].iVal = status;
        text(cells[9], units);
        if (g_DiagnosticLog.IsOn(LogSteps)) {
            static constexpr const char16_t* kLabels[10] = {
                u"Description: ", u"Name: ",   u"TypeText: ", u"ParameterTypeText: ",
                u"Default: ",     u"Source: ", u"Reserved: ", u"Value: ",
                u"Status: ",      u"Units: "};
            for (int i = 0; i < 10; ++i) TraceCell(kLabels[i], cells[i]);
        }
        CreateCalcSafeArray(row, 10);
        for (LONG i = 0; i < 10; ++i) SetCalcSafeArray(row, i, &cells[i]);
        return S_OK;
    } catch (const std::bad_alloc&) {
        VariantClear(row);
        return E_OUTOFMEMORY;
    } catch (...) {
        MvLogErrorHr("CMvCalculation::GetParamDetails", E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}
