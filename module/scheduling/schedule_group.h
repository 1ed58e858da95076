// CMvScheduleGroup: a named, persisted list of calculation references that
// share one schedule. Its properties are plain stores (no put computes
// anything); the operations add, find, remove and list members, run every
// member in turn and pass store-and-forward on to them.
//
// The group's lock guards its fields and is held for the copy or store of an
// accessor only. The member loops walk a counted snapshot of the members and
// run each member without the group's lock, skipping one that another thread
// removed meanwhile. The lock ranks before the active-calculation cache's and
// any calculation's lock.
#pragma once

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvScheduleGroup.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvScheduleGroup : public mv::ComObjectRoot<CMvScheduleGroup>,
                         public mv::SupportErrorInfoImpl<IMvScheduleGroup>,
                         public mv::DispatchImpl<IMvScheduleGroup>,
                         public IMvPersistStreamImpl<CMvScheduleGroup>,
                         public IMvPersistXMLImpl<CMvScheduleGroup>,
                         public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvScheduleGroup, mv::Via<IDispatch, IMvScheduleGroup>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvCalcName>;
    static constexpr const CLSID& kClsid = CLSID_MvScheduleGroup;
    static constexpr const char* kMvClassName = "CMvScheduleGroup";
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvScheduleGroup; }

    // Creates the member collection; its failure fails the group's creation.
    HRESULT FinalConstruct();

    // Runs every member's store-and-forward: the check (Check non-zero) or
    // the calculate form, passing this group; S_OK.
    virtual HRESULT CheckOrCalculateStoreForward(VARIANT_BOOL Enabled, VARIANT_BOOL Check,
                                                 VARIANT_BOOL ForceChecking);

    // The current UTC time as an OLE date.
    static DATE GetCurrentGmtTime();

    // IMvScheduleGroup
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_BuiltinSchedule(LONG* pVal) override;
    HRESULT put_BuiltinSchedule(LONG newVal) override;
    HRESULT get_ScheduleDayOfMonth(LONG* pVal) override;
    HRESULT put_ScheduleDayOfMonth(LONG newVal) override;
    HRESULT get_ScheduleDayOfWeek(LONG* pVal) override;
    HRESULT put_ScheduleDayOfWeek(LONG newVal) override;
    HRESULT get_ScheduleRate(DATE* pVal) override;
    HRESULT put_ScheduleRate(DATE newVal) override;
    HRESULT get_ScheduleOffset(DATE* pVal) override;
    HRESULT put_ScheduleOffset(DATE newVal) override;
    HRESULT get_LastRunTime(DATE* pVal) override;
    HRESULT put_LastRunTime(DATE newVal) override;
    HRESULT get_NextRunTime(DATE* pVal) override;
    HRESULT put_NextRunTime(DATE newVal) override;
    HRESULT get_RunTimeRate(DATE* pVal) override;
    HRESULT put_RunTimeRate(DATE newVal) override;
    HRESULT get_ExecutionTime(LONG* pVal) override;
    HRESULT put_ExecutionTime(LONG newVal) override;
    HRESULT get_ProcessingPriority(LONG* pVal) override;
    HRESULT put_ProcessingPriority(LONG newVal) override;
    HRESULT get_ComputedRunTime(DATE* pVal) override;
    HRESULT put_ComputedRunTime(DATE newVal) override;
    HRESULT get_Next_GMT_RunTime(DATE* pVal) override;
    HRESULT put_Next_GMT_RunTime(DATE newVal) override;
    HRESULT get_Last_GMT_RunTime(DATE* pVal) override;
    HRESULT put_Last_GMT_RunTime(DATE newVal) override;
    HRESULT get_Calculations(IMvObjCollection** pVal) override;
    HRESULT AddCalculation(BSTR Name, IMvCalculationRef** pCalcRef) override;
    HRESULT GetCalculation(BSTR Name, IMvCalculationRef** pCalcRef) override;
    HRESULT Calculate() override;
    HRESULT RemoveCalculation(BSTR Name) override;
    HRESULT SetOnSchedule() override;
    HRESULT ListContents(VARIANT* Contents) override;
    HRESULT get_OdmStatusXml(BSTR* pVal) override;
    HRESULT put_OdmStatusXml(BSTR newVal) override;
    HRESULT CalculateStoreForward(VARIANT_BOOL Enabled) override;
    HRESULT IsScheduleDay(VARIANT_BOOL* ReturnValue) override;
    HRESULT IsDayWeekOrMonth(VARIANT_BOOL* ReturnValue) override;
    HRESULT CalculateMissingHistory(VARIANT_BOOL Enabled) override;
    HRESULT get_FirstRunTime(DATE* pVal) override;
    HRESULT put_FirstRunTime(DATE newVal) override;
    HRESULT CheckStoreForward(VARIANT_BOOL Enabled, VARIANT_BOOL ForceChecking) override;
    HRESULT get_Last_GMT_ModifiedTime(DATE* pVal) override;
    HRESULT put_Last_GMT_ModifiedTime(DATE newVal) override;

    // IMvCalcName: the group's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    template <class T>
    HRESULT GetField(const char* method, const T& field, T* out);
    template <class T>
    HRESULT PutField(const char* method, T& field, T value);
    // Runs `call` on every member still filed when its turn comes, without
    // the group's lock, with this group in the thread's running-group slot.
    template <class Call>
    void ForEachMember(Call&& call);

    CharString m_Name;
    CharString m_OdmStatusXml;
    LONG m_BuiltinSchedule = 0;
    LONG m_ScheduleDayOfMonth = 0;
    LONG m_ScheduleDayOfWeek = 0;
    DATE m_ScheduleRate = 0.0;
    DATE m_ScheduleOffset = 0.0;
    DATE m_LastRunTime = 0.0;
    DATE m_NextRunTime = 0.0;
    DATE m_RunTimeRate = 0.0;
    LONG m_ExecutionTime = 0;
    LONG m_ProcessingPriority = mvcNormal;
    DATE m_ComputedRunTime = 0.0;
    DATE m_Next_GMT_RunTime = 0.0;
    DATE m_Last_GMT_RunTime = 0.0;
    DATE m_FirstRunTime = 0.0;
    DATE m_Last_GMT_ModifiedTime = 0.0;
    mv::ComPtr<IMvObjCollection> m_Calculations;  // set for the object's whole life
};
