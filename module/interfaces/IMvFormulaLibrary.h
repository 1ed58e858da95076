// IMvFormulaLibrary: a named, persistable set of formulas, each a complete
// calculation held in the library's Formulas collection. Formula libraries
// and editors compile against this header, so the members keep the order of
// the interface's function table (a property's getter right before its
// setter) and their signatures do not change.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvFormulaLibrary : IDispatch {
    // "Library description"
    virtual HRESULT get_Description(BSTR* pVal) = 0;
    virtual HRESULT put_Description(BSTR newVal) = 0;
    // "Library creation date and time"
    virtual HRESULT get_CreationDate(DATE* pVal) = 0;
    virtual HRESULT put_CreationDate(DATE newVal) = 0;
    // "Library last modified date"
    virtual HRESULT get_ModifiedDate(DATE* pVal) = 0;
    virtual HRESULT put_ModifiedDate(DATE newVal) = 0;
    // "Library user ID"
    virtual HRESULT get_ID(BSTR* pVal) = 0;
    virtual HRESULT put_ID(BSTR newVal) = 0;
    // "Library encrypted password"
    virtual HRESULT get_Password(LONG* pVal) = 0;
    virtual HRESULT put_Password(LONG newVal) = 0;
    // "Library edit owner"
    virtual HRESULT get_EditOwner(BSTR* pVal) = 0;
    virtual HRESULT put_EditOwner(BSTR newVal) = 0;
    // "Formulas collection"
    virtual HRESULT get_Formulas(IMvObjCollection** pVal) = 0;
    // "Library Name"
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // "Add a formula"
    virtual HRESULT AddFormula(BSTR Name, IMvCalculation** pFormula) = 0;
    // "Get a formula by name"
    virtual HRESULT GetFormula(BSTR Name, IMvCalculation** pFormula) = 0;
    // "Return array of formula details"
    virtual HRESULT FormulaDetailArray(VARIANT* pDetailArray) = 0;
    // "Clear all references to a formuula"
    virtual HRESULT ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) = 0;

protected:
    ~IMvFormulaLibrary() = default;
};
MV_IID_OF(IMvFormulaLibrary, IID_IMvFormulaLibrary);

enum : DISPID {
    DISPID_MvFormulaLibrary_Description = 0xDA,
    DISPID_MvFormulaLibrary_CreationDate = 0xD4,
    DISPID_MvFormulaLibrary_ModifiedDate = 0xF6,
    DISPID_MvFormulaLibrary_ID = 0xED,
    DISPID_MvFormulaLibrary_Password = 0x102,
    DISPID_MvFormulaLibrary_EditOwner = 0xDC,
    DISPID_MvFormulaLibrary_Formulas = 0x7D6,
    DISPID_MvFormulaLibrary_Name = 0xF8,
    DISPID_MvFormulaLibrary_AddFormula = 1,
    DISPID_MvFormulaLibrary_GetFormula = 2,
    DISPID_MvFormulaLibrary_FormulaDetailArray = 3,
    DISPID_MvFormulaLibrary_ClearFormulaRef = 4,
};

#define MV_FORMULA_LIBRARY_PROP(Name, ...)                                      \
    mv::PropGet<&IMvFormulaLibrary::get_##Name __VA_OPT__(, ) __VA_ARGS__>(     \
        DISPID_MvFormulaLibrary_##Name, u## #Name),                             \
        mv::PropPut<&IMvFormulaLibrary::put_##Name __VA_OPT__(, ) __VA_ARGS__>( \
            DISPID_MvFormulaLibrary_##Name, u## #Name)

MV_DISPATCH_TABLE(
    IMvFormulaLibrary, MV_FORMULA_LIBRARY_PROP(Description),
    MV_FORMULA_LIBRARY_PROP(CreationDate, VT_DATE), MV_FORMULA_LIBRARY_PROP(ModifiedDate, VT_DATE),
    MV_FORMULA_LIBRARY_PROP(ID), MV_FORMULA_LIBRARY_PROP(Password),
    MV_FORMULA_LIBRARY_PROP(EditOwner),
    mv::PropGet<&IMvFormulaLibrary::get_Formulas>(DISPID_MvFormulaLibrary_Formulas, u"Formulas"),
    MV_FORMULA_LIBRARY_PROP(Name),
    mv::Method<&IMvFormulaLibrary::AddFormula>(DISPID_MvFormulaLibrary_AddFormula, u"AddFormula")
        .Names(u"Name"),
    mv::Method<&IMvFormulaLibrary::GetFormula>(DISPID_MvFormulaLibrary_GetFormula, u"GetFormula")
        .Names(u"Name"),
    mv::MethodByRef<&IMvFormulaLibrary::FormulaDetailArray>(
        DISPID_MvFormulaLibrary_FormulaDetailArray, u"FormulaDetailArray")
        .Names(u"pDetailArray"),
    mv::Method<&IMvFormulaLibrary::ClearFormulaRef>(DISPID_MvFormulaLibrary_ClearFormulaRef,
                                                    u"ClearFormulaRef")
        .Names(u"LibraryName,FormulaName"))

#undef MV_FORMULA_LIBRARY_PROP
