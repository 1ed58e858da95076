// CMvFormulaLibrary: a named, persistable set of formulas, each a complete
// calculation filed by name (letter case ignored) in the library's Formulas
// collection. The environment loads libraries from "Lib/<name>.mvc" and
// caches them; editors fill them through AddFormula and the property puts.
// The document file holds the record stream as "F".
#pragma once

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvFormulaLibrary.h"
#include "persistence/persist_file.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvFormulaLibrary : public mv::ComObjectRoot<CMvFormulaLibrary>,
                          public mv::SupportErrorInfoImpl<IMvFormulaLibrary>,
                          public mv::DispatchImpl<IMvFormulaLibrary>,
                          public IMvPersistStreamImpl<CMvFormulaLibrary>,
                          public IMvCalcName,
                          public IMvPersistXMLImpl<CMvFormulaLibrary>,
                          public IMvPersistFileImpl<CMvFormulaLibrary, 'F'> {
public:
    using InterfaceMap =
        mv::Interfaces<ISupportErrorInfo, IMvFormulaLibrary, mv::Via<IDispatch, IMvFormulaLibrary>,
                       IPersistStream, IMvCalcName, IMvPersistXML, IMvPersistFile>;
    static constexpr const char* kMvClassName = "CMvFormulaLibrary";
    static constexpr const CLSID& kClsid = CLSID_MvFormulaLibrary;
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvFormulaLibrary; }

    // Creates the Formulas collection; its failure discards the new library.
    HRESULT FinalConstruct();

    // IMvFormulaLibrary. A null out pointer gives E_POINTER and writes
    // nothing.
    HRESULT get_Description(BSTR* pVal) override;
    HRESULT put_Description(BSTR newVal) override;
    HRESULT get_CreationDate(DATE* pVal) override;
    HRESULT put_CreationDate(DATE newVal) override;
    HRESULT get_ModifiedDate(DATE* pVal) override;
    HRESULT put_ModifiedDate(DATE newVal) override;
    HRESULT get_ID(BSTR* pVal) override;
    HRESULT put_ID(BSTR newVal) override;
    HRESULT get_Password(LONG* pVal) override;
    HRESULT put_Password(LONG newVal) override;
    HRESULT get_EditOwner(BSTR* pVal) override;
    HRESULT put_EditOwner(BSTR newVal) override;
    HRESULT get_Formulas(IMvObjCollection** pVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    // A name already filed (letter case ignored) is refused with the
    // collection's failure; the library keeps the first formula.
    HRESULT AddFormula(BSTR Name, IMvCalculation** pFormula) override;
    // The library's own formula object, not a copy.
    HRESULT GetFormula(BSTR Name, IMvCalculation** pFormula) override;
    // Per formula, in collection order from 0, the formula's own details
    // (an array of Name, Description and type text from 1); empty when the
    // library has no formulas.
    HRESULT FormulaDetailArray(VARIANT* pDetailArray) override;
    // Has every formula drop what its references hold of the named library
    // formula; never fails.
    HRESULT ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) override;

    // IMvCalcName: the library's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // No lock of its own: the collection guards its list, and the thread that
    // edits or loads a library serialises its puts.
    CharString m_Description;
    CharString m_Name;
    DATE m_CreationDate = 0.0;
    DATE m_ModifiedDate = 0.0;
    CharString m_ID;
    LONG m_Password = 0;
    CharString m_EditOwner;
    mv::ComPtr<IMvObjCollection> m_Formulas;  // set for the object's whole life
};
