#include "scheduling/schedule_group.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "frame/tls_slots.h"
#include "frame/trace.h"
#include "oleaut.h"
#include "parameters/eng_unit.h"
#include "persistence/obj_collection.h"
#include "scheduling/calculation_ref.h"
#include "sys_thread.h"

namespace {

constexpr LONG kDailyBuiltinSchedule = 864000;

constexpr PropertyMapEntry kScheduleGroupMap[] = {
    MvPropertyRow(u"Name", DISPID_MvScheduleGroup_Name),
    MvPropertyRow(u"BuiltinSchedule", DISPID_MvScheduleGroup_BuiltinSchedule),
    MvPropertyRow(u"ScheduleDayOfMonth", DISPID_MvScheduleGroup_ScheduleDayOfMonth),
    MvPropertyRow(u"ScheduleDayOfWeek", DISPID_MvScheduleGroup_ScheduleDayOfWeek),
    MvPropertyRow(u"ScheduleRate", DISPID_MvScheduleGroup_ScheduleRate),
    MvPropertyRow(u"ScheduleOffset", DISPID_MvScheduleGroup_ScheduleOffset),
    MvPropertyRow(u"LastRunTime", DISPID_MvScheduleGroup_LastRunTime),
    MvPropertyRow(u"NextRunTime", DISPID_MvScheduleGroup_NextRunTime),
    MvPropertyRow(u"RunTimeRate", DISPID_MvScheduleGroup_RunTimeRate),
    MvPropertyRow(u"ExecutionTime", DISPID_MvScheduleGroup_ExecutionTime),
    MvPropertyRow(u"*ProcessingPriority", DISPID_MvScheduleGroup_ProcessingPriority),
    MvPropertyRow(u"ComputedRunTime", DISPID_MvScheduleGroup_ComputedRunTime),
    MvPropertyRow(u"Next_GMT_RunTime", DISPID_MvScheduleGroup_Next_GMT_RunTime),
    MvPropertyRow(u"Last_GMT_RunTime", DISPID_MvScheduleGroup_Last_GMT_RunTime),
    MvPropertyRow(u"Calculations", DISPID_MvScheduleGroup_Calculations),
    MvPropertyRow(u"Last_GMT_ModifiedTime", DISPID_MvScheduleGroup_Last_GMT_ModifiedTime),
    MvPropertyMapEnd(),
};

using Members = std::vector<mv::ComPtr<IDispatch>>;

bool StillFiled(const Members& now, IDispatch* member) {
    return std::any_of(now.begin(), now.end(),
                       [member](const mv::ComPtr<IDispatch>& m) { return m.get() == member; });
}

}  // namespace

const PropertyMapEntry* CMvScheduleGroup::GetPropertyMap() {
    return kScheduleGroupMap;
}

HRESULT CMvScheduleGroup::FinalConstruct() {
    return MvObjCollection_Create(&m_Calculations);
}

DATE CMvScheduleGroup::GetCurrentGmtTime() {
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    DATE date = 0.0;
    (void)SystemTimeToVariantTime(&now, &date);
    return date;
}

template <class T>
HRESULT CMvScheduleGroup::GetField(const char* method, const T& field, T* out) {
    return MvMethodFrame(method, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        mv::ObjectLock lock(this);
        *out = field;
        return S_OK;
    });
}

template <class T>
HRESULT CMvScheduleGroup::PutField(const char* method, T& field, T value) {
    return MvMethodFrame(method, [&] {
        mv::ObjectLock lock(this);
        field = value;
    });
}

#define MV_SCHEDULE_GROUP_FIELD(Type, Name)                                \
    HRESULT CMvScheduleGroup::get_##Name(Type* pVal) {                     \
        return GetField("CMvScheduleGroup::get_" #Name, m_##Name, pVal);   \
    }                                                                      \
    HRESULT CMvScheduleGroup::put_##Name(Type newVal) {                    \
        return PutField("CMvScheduleGroup::put_" #Name, m_##Name, newVal); \
    }

MV_SCHEDULE_GROUP_FIELD(LONG, BuiltinSchedule)
MV_SCHEDULE_GROUP_FIELD(LONG, ScheduleDayOfMonth)
MV_SCHEDULE_GROUP_FIELD(LONG, ScheduleDayOfWeek)
MV_SCHEDULE_GROUP_FIELD(DATE, ScheduleRate)
MV_SCHEDULE_GROUP_FIELD(DATE, ScheduleOffset)
MV_SCHEDULE_GROUP_FIELD(DATE, LastRunTime)
MV_SCHEDULE_GROUP_FIELD(DATE, NextRunTime)
MV_SCHEDULE_GROUP_FIELD(DATE, RunTimeRate)
MV_SCHEDULE_GROUP_FIELD(LONG, ExecutionTime)
MV_SCHEDULE_GROUP_FIELD(LONG, ProcessingPriority)
MV_SCHEDULE_GROUP_FIELD(DATE, ComputedRunTime)
MV_SCHEDULE_GROUP_FIELD(DATE, Next_GMT_RunTime)
MV_SCHEDULE_GROUP_FIELD(DATE, Last_GMT_RunTime)
MV_SCHEDULE_GROUP_FIELD(DATE, FirstRunTime)
MV_SCHEDULE_GROUP_FIELD(DATE, Last_GMT_ModifiedTime)

#undef MV_SCHEDULE_GROUP_FIELD

HRESULT CMvScheduleGroup::get_Name(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    return MvGetTextProperty("CMvScheduleGroup::get_Name", *this, m_Name, pVal);
}

HRESULT CMvScheduleGroup::put_Name(BSTR newVal) {
    return MvPutTextProperty("CMvScheduleGroup::put_Name", *this, m_Name, newVal);
}

HRESULT CMvScheduleGroup::get_OdmStatusXml(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    return MvGetTextProperty("CMvScheduleGroup::get_OdmStatusXml", *this, m_OdmStatusXml, pVal);
}

HRESULT CMvScheduleGroup::put_OdmStatusXml(BSTR newVal) {
    return MvPutTextProperty("CMvScheduleGroup::put_OdmStatusXml", *this, m_OdmStatusXml, newVal);
}

HRESULT CMvScheduleGroup::get_Calculations(IMvObjCollection** pVal) {
    return MvMethodFrame("CMvScheduleGroup::get_Calculations", [&]() -> HRESULT {
        if (!pVal) return E_POINTER;
        return m_Calculations.CopyTo(pVal);
    });
}

HRESULT CMvScheduleGroup::AddCalculation(BSTR Name, IMvCalculationRef** pCalcRef) {
    return MvMethodFrame("CMvScheduleGroup::AddCalculation", [&]() -> HRESULT {
        if (!pCalcRef) return E_POINTER;
        mv::ObjectLock lock(this);
        const HRESULT hr =
            MvObjCollection_AddNew<CMvCalculationRef>(m_Calculations.get(), Name, pCalcRef);
        if (SUCCEEDED(hr)) m_Last_GMT_ModifiedTime = GetCurrentGmtTime();
        return hr;
    });
}

HRESULT CMvScheduleGroup::GetCalculation(BSTR Name, IMvCalculationRef** pCalcRef) {
    return MvMethodFrame("CMvScheduleGroup::GetCalculation", [&]() -> HRESULT {
        if (!pCalcRef) return E_POINTER;
        *pCalcRef = nullptr;
        mv::ComPtr<IDispatch> member;
        {
            mv::ObjectLock lock(this);
            if (HRESULT hr = m_Calculations->ItemByName(Name, member.Put()); FAILED(hr)) return hr;
        }
        if (!member) return E_FAIL;
        return member->QueryInterface(IID_IMvCalculationRef, reinterpret_cast<void**>(pCalcRef));
    });
}

HRESULT CMvScheduleGroup::RemoveCalculation(BSTR Name) {
    return MvMethodFrame("CMvScheduleGroup::RemoveCalculation", [&]() -> HRESULT {
        mv::ObjectLock lock(this);
        return m_Calculations->Remove(Name);
    });
}

template <class Call>
void CMvScheduleGroup::ForEachMember(Call&& call) {
    Members members;
    {
        mv::ObjectLock lock(this);
        (void)MvObjCollection_Snapshot(m_Calculations.get(), &members);
    }
    (void)TlsSetValue(g_tlsRunningScheduleGroup, static_cast<IMvScheduleGroup*>(this));
    for (const mv::ComPtr<IDispatch>& member : members) {
        // A member removed while an earlier one ran is not run; the later
        // ones still are.
        Members now;
        {
            mv::ObjectLock lock(this);
            (void)MvObjCollection_Snapshot(m_Calculations.get(), &now);
        }
        if (!StillFiled(now, member.get())) continue;
        mv::ComPtr<IMvCalculationRef> ref;
        if (FAILED(member->QueryInterface(IID_IMvCalculationRef,
                                          reinterpret_cast<void**>(ref.Put()))) ||
            !ref)
            continue;
        (void)call(ref.get());
    }
    (void)TlsSetValue(g_tlsRunningScheduleGroup, nullptr);
}

HRESULT CMvScheduleGroup::Calculate() {
    return MvMethodFrame("CMvScheduleGroup::Calculate", [&] {
        ForEachMember([](IMvCalculationRef* ref) { return ref->Calculate(); });
    });
}

HRESULT CMvScheduleGroup::SetOnSchedule() {
    return MvMethodFrame("CMvScheduleGroup::SetOnSchedule", [&] {
        Members members;
        mv::ObjectLock lock(this);
        (void)MvObjCollection_Snapshot(m_Calculations.get(), &members);
        for (const mv::ComPtr<IDispatch>& member : members) {
            mv::ComPtr<IMvCalculationRef> ref;
            if (SUCCEEDED(member->QueryInterface(IID_IMvCalculationRef,
                                                 reinterpret_cast<void**>(ref.Put()))) &&
                ref)
                (void)ref->SetOnSchedule();
        }
    });
}

HRESULT CMvScheduleGroup::ListContents(VARIANT* Contents) {
    return MvMethodFrame("CMvScheduleGroup::ListContents", [&]() -> HRESULT {
        if (!Contents) return E_POINTER;
        Members members;
        {
            mv::ObjectLock lock(this);
            (void)MvObjCollection_Snapshot(m_Calculations.get(), &members);
        }
        (void)VariantClear(Contents);
        if (members.empty()) return S_OK;
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(members.size()));
        if (!array) return S_OK;
        HRESULT hr = S_OK;
        LONG stored = 0;
        for (const mv::ComPtr<IDispatch>& member : members) {
            mv::ComPtr<IMvCalculationRef> ref;
            if (FAILED(member->QueryInterface(IID_IMvCalculationRef,
                                              reinterpret_cast<void**>(ref.Put()))) ||
                !ref)
                continue;
            VARIANT element;
            VariantInit(&element);
            LONG index = -1;
            (void)ref->GetCalculationIndex(&index);
            if (index >= 0) {
                element.vt = VT_I4;
                element.lVal = index;
            } else {
                element.vt = VT_BSTR;
                element.bstrVal = nullptr;
                (void)ref->get_Name(&element.bstrVal);
            }
            hr = SafeArrayPutElement(array, &stored, &element);
            (void)VariantClear(&element);
            ++stored;
        }
        SAFEARRAYBOUND bound = {static_cast<ULONG>(stored), 0};
        (void)SafeArrayRedim(array, &bound);
        Contents->vt = VT_ARRAY | VT_VARIANT;
        Contents->parray = array;
        return hr;
    });
}

HRESULT CMvScheduleGroup::CheckOrCalculateStoreForward(VARIANT_BOOL Enabled, VARIANT_BOOL Check,
                                                       VARIANT_BOOL ForceChecking) {
    return MvMethodFrame("CMvScheduleGroup::CheckOrCalculateStoreForward", [&] {
        IMvScheduleGroup* group = this;
        ForEachMember([&](IMvCalculationRef* ref) {
            return Check ? ref->CheckStoreForward(Enabled, group, ForceChecking)
                         : ref->CalculateStoreForward(Enabled, group);
        });
    });
}

HRESULT CMvScheduleGroup::CalculateStoreForward(VARIANT_BOOL Enabled) {
    return MvMethodFrame("CMvScheduleGroup::CalculateStoreForward", [&] {
        return CheckOrCalculateStoreForward(Enabled, VARIANT_FALSE, VARIANT_FALSE);
    });
}

HRESULT CMvScheduleGroup::CheckStoreForward(VARIANT_BOOL Enabled, VARIANT_BOOL ForceChecking) {
    return MvMethodFrame("CMvScheduleGroup::CheckStoreForward", [&] {
        return CheckOrCalculateStoreForward(Enabled, VARIANT_TRUE, ForceChecking);
    });
}

HRESULT CMvScheduleGroup::IsScheduleDay(VARIANT_BOOL* ReturnValue) {
    return MvMethodFrame("CMvScheduleGroup::IsScheduleDay", [&]() -> HRESULT {
        if (!ReturnValue) return E_POINTER;
        DATE rate = 0.0;
        LONG builtin = 0;
        (void)get_ScheduleRate(&rate);
        const HRESULT hr = get_BuiltinSchedule(&builtin);
        const bool daily =
            builtin == kDailyBuiltinSchedule || (std::trunc(rate) > 0.0 && builtin < 2);
        *ReturnValue = daily ? VARIANT_TRUE : VARIANT_FALSE;
        return hr;
    });
}

HRESULT CMvScheduleGroup::IsDayWeekOrMonth(VARIANT_BOOL* ReturnValue) {
    return MvMethodFrame("CMvScheduleGroup::IsDayWeekOrMonth", [&]() -> HRESULT {
        if (!ReturnValue) return E_POINTER;
        bool dayFields = false;
        {
            mv::ObjectLock lock(this);
            dayFields = m_ScheduleDayOfMonth != 0 || m_ScheduleDayOfWeek != 0;
        }
        if (!dayFields) return IsScheduleDay(ReturnValue);
        *ReturnValue = VARIANT_TRUE;
        return S_OK;
    });
}

HRESULT CMvScheduleGroup::CalculateMissingHistory(VARIANT_BOOL) {
    return E_NOTIMPL;
}
