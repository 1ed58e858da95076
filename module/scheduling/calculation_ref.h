// CMvCalculationRef: a schedule group's member, naming one calculation. The
// calculation is found through the active-calculation cache at each use
// (loaded from Calc/<name>.mvc when it is not yet loaded) and the call is
// passed on to it on the caller's thread.
//
// The reference keeps a counted share of its cache holder, so the holder
// outlives a clearing of the cache; a holder detached by a clearing is looked
// up again by name. Name and share sit under the reference's own leaf lock
// and are copied out to resolve; a new name drops the share of the old one.
// No method writes a log line.
#pragma once

#include <mutex>
#include <string>

#include "comobj.h"
#include "environment/calc_cache.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvCalculationRef.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvCalculationRef : public mv::ComObjectRoot<CMvCalculationRef>,
                          public mv::SupportErrorInfoImpl<IMvCalculationRef>,
                          public mv::DispatchImpl<IMvCalculationRef>,
                          public IMvPersistStreamImpl<CMvCalculationRef>,
                          public IMvCalcName,
                          public IMvPersistXMLImpl<CMvCalculationRef> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalculationRef, mv::Via<IDispatch, IMvCalculationRef>, ISupportErrorInfo,
                       IPersistStream, IMvCalcName, IMvPersistXML>;
    static constexpr const CLSID& kClsid = CLSID_MvCalculationRef;
    static constexpr const char* kMvClassName = "CMvCalculationRef";
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvCalculationRef; }

    // The referenced calculation with a reference for the caller: S_OK, or
    // E_FAIL (and null) when it has no cache holder or cannot be loaded.
    HRESULT GetCalculation(IMvCalculation** out);
    virtual HRESULT CheckOrCalculateStoreForward(VARIANT_BOOL Enabled,
                                                 IMvScheduleGroup* ScheduleGroup,
                                                 VARIANT_BOOL Check, VARIANT_BOOL ForceChecking);

    // IMvCalculationRef
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT Calculate() override;
    HRESULT SetOnSchedule() override;
    HRESULT GetCalculationIndex(LONG* Index) override;
    HRESULT CalculateStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup) override;
    HRESULT CalculateMissingHistory(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup) override;
    HRESULT CheckStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup,
                              VARIANT_BOOL ForceChecking) override;

    // IMvCalcName: the calculation's name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // The lookup's result (S_OK, or E_FAIL without a holder) and the
    // calculation, null when it cannot be loaded.
    // E_OUTOFMEMORY when the name cannot be copied.
    HRESULT Resolve(mv::ComPtr<IMvCalculation>* calc);
    HRESULT ResolveName(mv::ComPtr<IMvCalculation>* calc);

    std::mutex m_leaf;       // guards the two below; nothing is called under it
    std::string m_Name;      // UTF-8
    ActiveCalcShare m_Kept;  // the holder of m_Name, once looked up
};
