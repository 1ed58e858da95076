// IMvFormulaRef: a calculation's reference to a library formula by name. A
// custom interface (not dual): scripts reach a reference through its own
// IDispatch, whose one member "function" (DISPID 0) runs the formula.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvFormulaRef : IUnknown {
    // The formula's name in its library; also its name in FormulaRefs.
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // The library that holds the formula; empty for the temporary library.
    virtual HRESULT get_LibraryName(BSTR* pVal) = 0;
    virtual HRESULT put_LibraryName(BSTR newVal) = 0;
    // The library's formula object, fetched on first read.
    virtual HRESULT get_Formula(IMvCalculation** pVal) = 0;
    virtual HRESULT put_Formula(IMvCalculation* newVal) = 0;
    // Drops the held formula when both names match (a null name matches any).
    virtual HRESULT ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) = 0;
    // 0 when the reference is not in use.
    virtual HRESULT get_InUse(LONG* pVal) = 0;
    virtual HRESULT put_InUse(LONG newVal) = 0;

protected:
    ~IMvFormulaRef() = default;
};
MV_IID_OF(IMvFormulaRef, IID_IMvFormulaRef);

// The members' identifiers in the type library.
enum : DISPID {
    DISPID_MvFormulaRef_Name = 0x60010000,
    DISPID_MvFormulaRef_LibraryName = 0x60010002,
    DISPID_MvFormulaRef_Formula = 0x60010004,
    DISPID_MvFormulaRef_ClearFormulaRef = 0x60010006,
    DISPID_MvFormulaRef_InUse = 0x60010007,
};
