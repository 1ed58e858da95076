// CMvParameter: one named input or output of a calculation. Calculations
// hold their parameters in a named collection; the run, the formula
// executors and the bindings read and write them through IMvParameter.
//
// The class's members are implemented in several files:
//   parameter.cpp             construction, getters, setters, property map
//   parameter_values.cpp      the value and quality operations, GetDetails
//   parameter_units.cpp       the unit conversion
//   parameter_binding.cpp     binding set-up through a historian map
//   parameter_validation.cpp  validation against the historian or a
//                             process-data source
//
// Locking: every field is read and written under the object's own lock, so
// a getter on one thread never copies a text or variant that a setter on
// another thread is replacing. The lock is recursive and no member calls out
// of the object while holding it, except to add a reference to SampleInfo.
// Level, a single number, is also held atomically, so that a run folding the
// levels of its inputs reads each without taking the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvParameter.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"
#include "persistence/property_map.h"

struct IMvEngUnit;
struct IMvEngUnitType;

class CMvParameter : public mv::ComObjectRoot<CMvParameter>,
                     public mv::DispatchImpl<IMvParameter>,
                     public mv::SupportErrorInfoImpl<IMvParameter>,
                     public IMvPersistStreamImpl<CMvParameter>,
                     public IMvPersistXMLImpl<CMvParameter>,
                     public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvParameter, mv::Via<IDispatch, IMvParameter>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvCalcName>;
    static constexpr const CLSID& kClsid = CLSID_MvParameter;
    static constexpr const char* kMvClassName = "CMvParameter";
    static constexpr const char16_t* kProgId = u"Morva.Calc.Parameter.1";

    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvParameter; }

    CMvParameter() noexcept;
    ~CMvParameter() override;

    // IMvParameter, in interface order.
    HRESULT get_Description(BSTR* pVal) override;
    HRESULT put_Description(BSTR newVal) override;
    HRESULT get_Default(VARIANT* pVal) override;
    HRESULT put_Default(VARIANT newVal) override;
    HRESULT get_Type(LONG* pVal) override;
    HRESULT put_Type(LONG newVal) override;
    HRESULT get_TypeText(BSTR* pVal) override;
    HRESULT put_TypeText(BSTR newVal) override;
    HRESULT get_Units(BSTR* pVal) override;
    HRESULT put_Units(BSTR newVal) override;
    HRESULT get_UnitConversionMultiplier(DOUBLE* pVal) override;
    HRESULT put_UnitConversionMultiplier(DOUBLE newVal) override;
    HRESULT get_UnitConversionOffset(DOUBLE* pVal) override;
    HRESULT put_UnitConversionOffset(DOUBLE newVal) override;
    HRESULT get_ParameterType(LONG* pVal) override;
    HRESULT put_ParameterType(LONG newVal) override;
    HRESULT get_ParameterTypeText(BSTR* pVal) override;
    HRESULT put_ParameterTypeText(BSTR newVal) override;
    HRESULT get_Source(BSTR* pVal) override;
    HRESULT put_Source(BSTR newVal) override;
    HRESULT get_SampleInfo(IUnknown** pVal) override;
    HRESULT put_SampleInfo(IUnknown* newVal) override;
    HRESULT get_SpreadSheetName(BSTR* pVal) override;
    HRESULT put_SpreadSheetName(BSTR newVal) override;
    HRESULT get_SpreadSheetRow(LONG* pVal) override;
    HRESULT put_SpreadSheetRow(LONG newVal) override;
    HRESULT get_SpreadSheetColumn(LONG* pVal) override;
    HRESULT put_SpreadSheetColumn(LONG newVal) override;
    HRESULT get_SpreadSheetMethod(BSTR* pVal) override;
    HRESULT put_SpreadSheetMethod(BSTR newVal) override;
    HRESULT get_EXE_RuntimeArgument(BSTR* pVal) override;
    HRESULT put_EXE_RuntimeArgument(BSTR newVal) override;
    HRESULT get_Value(VARIANT* pVal) override;
    HRESULT put_Value(VARIANT newVal) override;
    HRESULT get_Level(SHORT* pVal) override;
    HRESULT put_Level(SHORT newVal) override;
    HRESULT get_Status(SHORT* pVal) override;
    HRESULT put_Status(SHORT newVal) override;
    HRESULT get_TimeStamp(DATE* pVal) override;
    HRESULT put_TimeStamp(DATE newVal) override;
    HRESULT get_Record_ID(LONG* pVal) override;
    HRESULT put_Record_ID(LONG newVal) override;
    HRESULT get_Field_ID(LONG* pVal) override;
    HRESULT put_Field_ID(LONG newVal) override;
    HRESULT get_StatusField_ID(LONG* pVal) override;
    HRESULT put_StatusField_ID(LONG newVal) override;
    HRESULT get_HistoryField_ID(LONG* pVal) override;
    HRESULT put_HistoryField_ID(LONG newVal) override;
    HRESULT get_NodeName(BSTR* pVal) override;
    HRESULT put_NodeName(BSTR newVal) override;
    HRESULT get_GroupNumber(LONG* pVal) override;
    HRESULT put_GroupNumber(LONG newVal) override;
    HRESULT get_RecordName(BSTR* pVal) override;
    HRESULT put_RecordName(BSTR newVal) override;
    HRESULT get_FieldName(BSTR* pVal) override;
    HRESULT put_FieldName(BSTR newVal) override;
    HRESULT get_BoundUnits(BSTR* pVal) override;
    HRESULT put_BoundUnits(BSTR newVal) override;
    HRESULT get_BindingType(LONG* pVal) override;
    HRESULT put_BindingType(LONG newVal) override;
    HRESULT get_BindingTypeText(BSTR* pVal) override;
    HRESULT put_BindingTypeText(BSTR newVal) override;
    HRESULT get_FieldType(LONG* pVal) override;
    HRESULT put_FieldType(LONG newVal) override;
    HRESULT get_Use_QT_Format(LONG* pVal) override;
    HRESULT put_Use_QT_Format(LONG newVal) override;
    HRESULT get_DefinitionRecord_ID(LONG* pVal) override;
    HRESULT put_DefinitionRecord_ID(LONG newVal) override;
    HRESULT get_HistoryFieldName(BSTR* pVal) override;
    HRESULT put_HistoryFieldName(BSTR newVal) override;
    HRESULT get_CalculationName(BSTR* pVal) override;
    HRESULT put_CalculationName(BSTR newVal) override;
    HRESULT get_DataSetName(BSTR* pVal) override;
    HRESULT put_DataSetName(BSTR newVal) override;
    HRESULT get_ColumnName(BSTR* pVal) override;
    HRESULT put_ColumnName(BSTR newVal) override;
    HRESULT get_RowNumber(LONG* pVal) override;
    HRESULT put_RowNumber(LONG newVal) override;
    HRESULT get_ItemName(BSTR* pVal) override;
    HRESULT put_ItemName(BSTR newVal) override;
    HRESULT get_ItemID(LONG* pVal) override;
    HRESULT put_ItemID(LONG newVal) override;
    HRESULT get_ParameterName(BSTR* pVal) override;
    HRESULT put_ParameterName(BSTR newVal) override;
    HRESULT get_ParameterID(LONG* pVal) override;
    HRESULT put_ParameterID(LONG newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    // parameter_values.cpp
    HRESULT SetParameterValues(VARIANT* pnewVal, SHORT* pnewLevel, SHORT* pnewStatus,
                               DATE* pnewTimestamp) override;
    HRESULT GetParameterValues(VARIANT* pVal, SHORT* pLevel, SHORT* pStatus,
                               DATE* pTimestamp) override;
    HRESULT SetParameterRecFld(LONG* pRecord_ID, LONG* pField_ID, LONG* pHistoryField_ID) override;
    HRESULT GetParameterRecFld(LONG* pRecord_ID, LONG* pField_ID, LONG* pHistoryField_ID) override;
    HRESULT GetDetails(BSTR* pName, BSTR* pTypeText, BSTR* pParameterTypeText, VARIANT* pDefault,
                       BSTR* pSource, VARIANT* pValue, SHORT* pStatus, BSTR* pUnits) override;
    HRESULT get_CellText(BSTR* pVal) override;
    HRESULT put_CellText(BSTR newVal) override;
    // parameter_binding.cpp
    HRESULT ChangeServerName(BSTR OldServer, LONG OldGroup, BSTR NewServer, LONG NewGroup) override;
    // parameter_validation.cpp
    HRESULT Validate(BSTR* ErrorText) override;
    HRESULT get_Changed(LONG* pVal) override;
    HRESULT put_Changed(LONG newVal) override;
    // parameter_validation.cpp
    HRESULT Validate2(VARIANT_BOOL CheckUnits, BSTR* ErrorText) override;
    // parameter_units.cpp
    HRESULT SetUnitConversionFactor() override;
    // parameter_binding.cpp
    HRESULT SetUsingMap(BSTR ServerName, BSTR RecordName, BSTR MapName, BSTR* ErrorText) override;
    HRESULT get_Extrapolate(VARIANT_BOOL* pVal) override;
    HRESULT put_Extrapolate(VARIANT_BOOL newVal) override;
    // parameter_binding.cpp
    HRESULT SetUsingDataSourceAndMap(BSTR DataSourceName, BSTR TagName, BSTR MapName,
                                     BSTR* ErrorText) override;
    HRESULT get_Interpolate(LONG* pVal) override;
    HRESULT put_Interpolate(LONG newVal) override;
    HRESULT putref_Value(VARIANT* newVal) override;
    HRESULT get_DataSource(BSTR* pVal) override;
    HRESULT put_DataSource(BSTR newVal) override;

    // IMvCalcName: the parameter's Name, through its own IMvParameter.
    HRESULT get_ObjectName(BSTR* pName) override;
    HRESULT put_ObjectName(BSTR name) override;

    // The Level that get_Level gives, for the run's own steps while no method
    // is traced (get_Level itself traces).
    SHORT CurrentLevel() const noexcept { return m_Level.load(std::memory_order_relaxed); }

private:
    // parameter_units.cpp. Both leave the out pointers as the caller set
    // them when nothing is found; what they hand out is counted.
    HRESULT GetUnitByName(BSTR unitName, IMvEngUnit** unit, IMvEngUnitType** unitType);
    HRESULT GetUnitType(LONG index, IMvEngUnitType** unitType);

    // parameter_binding.cpp. Identifiers of 0 or less mean "not found".
    LONG GetRecordID(bool local, BSTR recordName, BSTR* errorText);
    LONG GetDefaultMap(bool local, LONG recordId);
    LONG GetFieldMapRecord(LONG definitionId, LONG fieldTag);

    // parameter_validation.cpp.
    HRESULT Local_Validate(BSTR* errorText);
    HRESULT CheckEngUnits(BSTR* errorText);
    // Fills `units` (capacity `unitsSize` bytes, zero-ended) with the units
    // text of the field; a failed read leaves it empty.
    void ReadEngUnits(LONG recordId, LONG fieldTag, char* units, std::size_t unitsSize);

    // Field access for the members of every file. Texts and variants are
    // copied under the object lock.
    std::string TextOf(const CharString& field);
    void AssignText(CharString& field, BSTR text);
    HRESULT GetText(const CharString& field, BSTR* pVal);
    HRESULT PutText(CharString& field, BSTR newVal);
    // Defined here: the value operations in another file use them too.
    template <class T>
    HRESULT GetNumber(const T& field, T* pVal) {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        *pVal = field;
        return S_OK;
    }
    template <class T>
    HRESULT PutNumber(T& field, T newVal) {
        mv::ObjectLock lock(this);
        field = newVal;
        return S_OK;
    }
    HRESULT EnumTextGet(const LONG& field, const char* const* table, SHORT count, BSTR* pVal);
    HRESULT EnumTextPut(LONG& field, BSTR text, const char* const* table, SHORT count,
                        const char16_t* error);
    // Under the object lock: VT_NULL empties the value, anything else is
    // copied with references resolved; sets Changed. E_OUTOFMEMORY when the
    // copy ran out of memory, else S_OK (any other failed copy is passed over).
    HRESULT StoreValueLocked(const VARIANT& newVal) noexcept;

    // Fields, each named by the property it backs; initial values as a new
    // parameter reads them.
    VARIANT m_Value;    // never VT_BYREF
    VARIANT m_Default;  // never VT_BYREF
    DOUBLE m_UnitConversionMultiplier = 0.0;
    DOUBLE m_UnitConversionOffset = 0.0;
    DATE m_TimeStamp = 0.0;
    CharString m_Name;
    CharString m_Description;
    LONG m_Type = mvcVariant;
    CharString m_Units;
    LONG m_ParameterType = mvcUnUsed;
    CharString m_Source;
    CharString m_SpreadSheetName;
    LONG m_SpreadSheetRow = 0;
    LONG m_SpreadSheetColumn = 0;
    CharString m_SpreadSheetMethod;
    CharString m_EXE_RuntimeArgument;
    std::atomic<SHORT> m_Level{0};  // written under the lock
    SHORT m_Status = 0;
    LONG m_Record_ID = 0;
    LONG m_Field_ID = 0;
    LONG m_StatusField_ID = 0;
    LONG m_HistoryField_ID = 0;
    LONG m_BindingType = mvcNone;
    CharString m_NodeName;
    LONG m_GroupNumber = 0;
    CharString m_RecordName;
    CharString m_FieldName;
    CharString m_BoundUnits;
    LONG m_FieldType = 0;
    CharString m_HistoryFieldName;
    LONG m_Use_QT_Format = 0;
    CharString m_DataSource;
    CharString m_CalculationName;
    CharString m_DataSetName;
    CharString m_ColumnName;
    LONG m_RowNumber = 0;
    CharString m_ItemName;
    LONG m_ItemID = 0;
    CharString m_ParameterName;
    LONG m_ParameterID = 0;
    LONG m_Changed = 0;
    // Not counted: the client that attaches the object keeps it alive while
    // it is attached (a counted pointer would close a cycle with the
    // sample-information object's own counted pointer to its parameter).
    IUnknown* m_SampleInfo = nullptr;
    VARIANT_BOOL m_Extrapolate = VARIANT_FALSE;
    LONG m_Interpolate = 0;
};
