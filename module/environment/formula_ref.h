// CMvFormulaRef: a calculation's named link to one formula of a formula
// library. It keeps the library's and the formula's names, fetches the
// formula through the library cache on first use, and lets a script call the
// formula like a function through its own IDispatch (one member, "function",
// DISPID 0). Each call runs on a free member of the formula's copy chain, so
// several threads and nested calls can run one formula at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvFormulaRef.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistXML.h"

class CMvFormulaRef : public mv::ComObjectRoot<CMvFormulaRef>,
                      public IMvFormulaRef,
                      public mv::SupportErrorInfoImpl<IMvFormulaRef>,
                      public IDispatch,
                      public IPersistStream,
                      public IMvCalcName,
                      public IMvPersistXML {
public:
    using InterfaceMap = mv::Interfaces<IMvFormulaRef, ISupportErrorInfo, IDispatch, IPersistStream,
                                        IMvCalcName, IMvPersistXML>;

    // IMvFormulaRef. The names and the held formula are guarded by the object
    // lock; InUse is not.
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_LibraryName(BSTR* pVal) override;
    HRESULT put_LibraryName(BSTR newVal) override;
    HRESULT get_Formula(IMvCalculation** pVal) override;
    HRESULT put_Formula(IMvCalculation* newVal) override;
    HRESULT ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) override;
    HRESULT get_InUse(LONG* pVal) override;
    HRESULT put_InUse(LONG newVal) override;

    // Holds `formula`, which a look-up found that began when g_LibraryDrops
    // read `drops`, in place of what is held; unless a library has been
    // dropped as stale since, so that a formula of a library dropped during
    // the look-up is never kept. True when it is held.
    bool HoldFound(IMvCalculation* formula, uint32_t drops);
    // Whether the reference let its formula go because its library was
    // reloaded, and has held none since.
    bool LostInReload() const { return m_LostInReload; }

    // IMvCalcName: the reference's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

    // IDispatch, without type information: "function" (DISPID 0) runs the
    // formula with the positional arguments.
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

    // IPersistStream: the two names as records 245 (LibraryName) and 248
    // (Name), an empty name left out, then the end marker.
    HRESULT GetClassID(CLSID* pClassID) override;
    HRESULT IsDirty() override { return S_OK; }
    HRESULT Load(IStream* pStm) override;
    HRESULT Save(IStream* pStm, BOOL fClearDirty) override;
    HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    // IMvPersistXML: elements "LibraryName" and "Name" holding the texts.
    HRESULT LoadXML(IXMLDOMNode* node) override;
    HRESULT SaveXML(IXMLDOMNode* node) override;

private:
    HRESULT InvokeFormula(DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo);
    // Fills the exception block (when given) with the text; DISP_E_EXCEPTION.
    // With trace and "Steps" on, the text is also written as an
    // "ExcepInfo:" line (the formula's own run failure is not).
    static HRESULT InvokeError(EXCEPINFO* excepInfo, const std::string& text, bool trace = true);
    static LONG NumberOfParameters(IMvCalculation* copy);

    // Moving the script's arguments into the copy's parameters and its
    // outputs back. A value that cannot be read or stored for lack of
    // memory throws std::bad_alloc: the call fails with E_OUTOFMEMORY rather
    // than pass an empty or old value on.
    static HRESULT SetInputParameters(IMvCalculation* copy, LONG cArgs, VARIANT* rgvarg);
    static HRESULT SetInputParam(IMvParameter* parameter, VARIANT* argument);
    static HRESULT SetDispInputParam(IMvParameter* parameter, IDispatch* object);
    static HRESULT GetOutputParameters(IMvCalculation* copy, LONG cArgs, VARIANT* rgvarg);
    static HRESULT GetOutputParam(IMvParameter* parameter, VARIANT* argument);
    static HRESULT GetDispOutputParam(IMvParameter* parameter, IDispatch* object);

    // Holds the formula with the current generation of LibraryName; the
    // caller holds the lock and releases `released` after it. False, and
    // nothing held, when g_LibraryDrops no longer reads `drops`.
    bool HoldLocked(IMvCalculation* formula, uint32_t drops, mv::ComPtr<IMvCalculation>& released);

    void SetText(CharString& field, BSTR text);
    std::string Text(const CharString& field);

    CharString m_Name;
    CharString m_LibraryName;
    mv::ComPtr<IMvCalculation> m_Formula;
    // The generation of the library the held formula came from, and its
    // value then: the formula is outdated once the generation moves on.
    const std::atomic<uint32_t>* m_Generation = nullptr;
    uint32_t m_FormulaGeneration = 0;
    std::atomic<bool> m_LostInReload{false};
    std::atomic<LONG> m_InUse{0};
};
