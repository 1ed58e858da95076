#include "environment/formula_library.h"

#include <vector>

#include "calculation/calculation.h"
#include "frame/trace.h"
#include "parameters/eng_unit.h"
#include "persistence/obj_collection.h"

namespace {

constexpr PropertyMapEntry kFormulaLibraryMap[] = {
    MvPropertyRow(u"Description", 0xda),
    MvPropertyRow(u"CreationDate", 0xd4),
    MvPropertyRow(u"ModifiedDate", 0xf6),
    MvPropertyRow(u"ID", 0xed),
    MvPropertyRow(u"Password", 0x102),
    MvPropertyRow(u"EditOwner", 0xdc),
    MvPropertyRow(u"Name", 0xf8),
    MvPropertyRow(u"Formulas", 0x7d6),
    MvPropertyMapEnd(),
};

// A getter with a null out pointer answers E_POINTER in the method frame.
HRESULT NullOut(const char* method) {
    return MvMethodFrame(method, [] { return E_POINTER; });
}

HRESULT GetText(const char* method, const CharString& field, BSTR* pVal) {
    return pVal ? MvGetTextProperty(method, field, pVal) : NullOut(method);
}

template <class T>
HRESULT GetNumber(const char* method, const T& field, T* pVal) {
    return pVal ? MvGetNumberProperty(method, field, pVal) : NullOut(method);
}

}  // namespace

const PropertyMapEntry* CMvFormulaLibrary::GetPropertyMap() {
    return kFormulaLibraryMap;
}

HRESULT CMvFormulaLibrary::FinalConstruct() {
    const HRESULT hr = MvObjCollection_Create(&m_Formulas);
    // Only the closing step line tells that the construction ended here.
    if (FAILED(hr) && g_DiagnosticLog.IsOn(LogSteps))
        g_DiagnosticLog.WriteLine(u"CMvFormulaLibrary::FinalConstruct( Function - End )");
    return hr;
}

HRESULT CMvFormulaLibrary::get_Description(BSTR* pVal) {
    return GetText("CMvFormulaLibrary::get_Description", m_Description, pVal);
}
HRESULT CMvFormulaLibrary::put_Description(BSTR newVal) {
    return MvPutTextProperty("CMvFormulaLibrary::put_Description", m_Description, newVal);
}
HRESULT CMvFormulaLibrary::get_CreationDate(DATE* pVal) {
    return GetNumber("CMvFormulaLibrary::get_CreationDate", m_CreationDate, pVal);
}
HRESULT CMvFormulaLibrary::put_CreationDate(DATE newVal) {
    return MvPutNumberProperty("CMvFormulaLibrary::put_CreationDate", m_CreationDate, newVal);
}
HRESULT CMvFormulaLibrary::get_ModifiedDate(DATE* pVal) {
    return GetNumber("CMvFormulaLibrary::get_ModifiedDate", m_ModifiedDate, pVal);
}
HRESULT CMvFormulaLibrary::put_ModifiedDate(DATE newVal) {
    return MvPutNumberProperty("CMvFormulaLibrary::put_ModifiedDate", m_ModifiedDate, newVal);
}
HRESULT CMvFormulaLibrary::get_ID(BSTR* pVal) {
    return GetText("CMvFormulaLibrary::get_ID", m_ID, pVal);
}
HRESULT CMvFormulaLibrary::put_ID(BSTR newVal) {
    return MvPutTextProperty("CMvFormulaLibrary::put_ID", m_ID, newVal);
}
HRESULT CMvFormulaLibrary::get_Password(LONG* pVal) {
    return GetNumber("CMvFormulaLibrary::get_Password", m_Password, pVal);
}
HRESULT CMvFormulaLibrary::put_Password(LONG newVal) {
    return MvPutNumberProperty("CMvFormulaLibrary::put_Password", m_Password, newVal);
}
HRESULT CMvFormulaLibrary::get_EditOwner(BSTR* pVal) {
    return GetText("CMvFormulaLibrary::get_EditOwner", m_EditOwner, pVal);
}
HRESULT CMvFormulaLibrary::put_EditOwner(BSTR newVal) {
    return MvPutTextProperty("CMvFormulaLibrary::put_EditOwner", m_EditOwner, newVal);
}
HRESULT CMvFormulaLibrary::get_Name(BSTR* pVal) {
    return GetText("CMvFormulaLibrary::get_Name", m_Name, pVal);
}
HRESULT CMvFormulaLibrary::put_Name(BSTR newVal) {
    return MvPutTextProperty("CMvFormulaLibrary::put_Name", m_Name, newVal);
}

HRESULT CMvFormulaLibrary::get_Formulas(IMvObjCollection** pVal) {
    return MvMethodFrame("CMvFormulaLibrary::get_Formulas", [&] {
        if (!pVal) return E_POINTER;
        return m_Formulas.CopyTo(pVal);
    });
}

HRESULT CMvFormulaLibrary::AddFormula(BSTR Name, IMvCalculation** pFormula) {
    return MvMethodFrame("CMvFormulaLibrary::AddFormula", [&]() -> HRESULT {
        // Checked before anything is filed, so a call that cannot hand the
        // formula out leaves the library as it was.
        if (!pFormula) return E_POINTER;
        return MvObjCollection_AddNew<CMvCalculation>(m_Formulas.get(), Name, pFormula);
    });
}

HRESULT CMvFormulaLibrary::GetFormula(BSTR Name, IMvCalculation** pFormula) {
    return MvMethodFrame("CMvFormulaLibrary::GetFormula", [&]() -> HRESULT {
        if (!pFormula) return E_POINTER;
        return MvObjCollection_GetAs(m_Formulas.get(), Name, pFormula);
    });
}

HRESULT CMvFormulaLibrary::FormulaDetailArray(VARIANT* pDetailArray) {
    return MvMethodFrame("CMvFormulaLibrary::FormulaDetailArray", [&]() -> HRESULT {
        if (!pDetailArray) return E_POINTER;
        VariantClear(pDetailArray);
        std::vector<mv::ComPtr<IDispatch>> members;
        (void)MvObjCollection_Snapshot(m_Formulas.get(), &members);
        if (members.empty()) return S_OK;
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(members.size()));
        if (!array) return S_OK;
        HRESULT hr = S_OK;
        for (LONG index = 0; index < static_cast<LONG>(members.size()); ++index) {
            mv::ComPtr<IMvCalculation> formula;
            if (!members[index] ||
                FAILED(members[index]->QueryInterface(IID_IMvCalculation, formula.PutVoid())))
                continue;
            mv::Variant details;
            (void)formula->FormulaDetailsArray(&details);
            hr = SafeArrayPutElement(array, &index, &details);
        }
        pDetailArray->vt = VT_ARRAY | VT_VARIANT;
        pDetailArray->parray = array;
        return hr;
    });
}

HRESULT CMvFormulaLibrary::ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) {
    return MvMethodFrame("CMvFormulaLibrary::ClearFormulaRef", [&] {
        // A snapshot: the formulas' references are shared with other
        // threads, which may change the collection meanwhile.
        std::vector<mv::ComPtr<IDispatch>> members;
        (void)MvObjCollection_Snapshot(m_Formulas.get(), &members);
        for (const auto& member : members) {
            mv::ComPtr<IMvCalculation> formula;
            if (member && SUCCEEDED(member->QueryInterface(IID_IMvCalculation, formula.PutVoid())))
                (void)formula->ClearFormulaRef(LibraryName, FormulaName);
        }
    });
}
