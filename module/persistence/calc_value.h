// CMvCalcValue (one value with quality and time) and CMvCalcValues (a
// 1-based list of them). Both are created by clients through their ProgIDs;
// neither is persisted nor filed in a named collection.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalcValue.h"
#include "persistence/calc_value_list.h"

class CMvCalcValue : public mv::ComObjectRoot<CMvCalcValue>,
                     public mv::DispatchImpl<IMvCalcValue>,
                     public mv::SupportErrorInfoImpl<IMvCalcValue> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalcValue, mv::Via<IDispatch, IMvCalcValue>, ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcValue;

    CMvCalcValue() noexcept;
    ~CMvCalcValue() override;

    HRESULT get_Value(VARIANT* pVal) override;
    HRESULT put_Value(VARIANT newVal) override;
    HRESULT get_Level(SHORT* pVal) override;
    HRESULT put_Level(SHORT newVal) override;
    HRESULT get_Status(SHORT* pVal) override;
    HRESULT put_Status(SHORT newVal) override;
    HRESULT get_TimeStamp(DATE* pVal) override;
    HRESULT put_TimeStamp(DATE newVal) override;
    HRESULT SetParameterValues(VARIANT* pnewVal, SHORT* pnewLevel, SHORT* pnewStatus,
                               DATE* pnewTimestamp) override;

private:
    // Under the object lock: VT_NULL empties the value, anything else is
    // copied with references resolved. E_OUTOFMEMORY when the copy ran out
    // of memory, else S_OK (any other failed copy is passed over).
    HRESULT StoreValueLocked(const VARIANT& newVal) noexcept;

    VARIANT m_Value;  // guarded by the object lock; never VT_BYREF
    DATE m_TimeStamp = 0.0;
    SHORT m_Level = 0;
    SHORT m_Status = 0;
};

class CMvCalcValues : public mv::ComObjectRoot<CMvCalcValues>,
                      public mv::DispatchImpl<IMvCalcValues>,
                      public mv::SupportErrorInfoImpl<IMvCalcValues> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalcValues, mv::Via<IDispatch, IMvCalcValues>, ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcValues;

    HRESULT FinalConstruct();
    void FinalRelease();

    HRESULT Add(IMvCalcValue* Value) override;
    HRESULT get_Count(LONG* pVal) override;
    HRESULT Item(LONG Index, IMvCalcValue** pItem) override;
    HRESULT RemoveAll() override;
    HRESULT SetSize(LONG newMax) override;

private:
    // The work of SetSize; *traced receives the result the method frame
    // reports, which for a failed creation differs from the one returned.
    HRESULT ResizeAndFill(LONG newMax, HRESULT* traced);

    // A slot is empty only when a SetSize could not create its element.
    MvCountedList<IMvCalcValue> m_Values;
};
