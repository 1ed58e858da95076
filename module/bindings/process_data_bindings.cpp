// Process-data bindings of a run: each process-data parameter becomes a
// definition of the run's process-data set, inputs are read through the
// calculation's data manager after the input walk and outputs written after
// the output walk, with unit factors, time and quality.
#include <cmath>
#include <string>

#include "calculation/calculation.h"
#include "frame/trace.h"
#include "sources/time_conversion_interface.h"

namespace {

bool IsNumber(VARTYPE vt) {
    return vt == VT_I2 || vt == VT_I4 || vt == VT_R4 || vt == VT_R8;
}

// A numeric value becomes the VT_R8 `scale(x)` when the multiplier is not
// 0.0; anything else stays as it is.
template <class Scale>
void ConvertUnits(VARIANT& value, double multiplier, Scale scale) {
    if (!IsNumber(value.vt)) return;
    mv::Variant number;
    if (FAILED(VariantChangeTypeEx(&number, &value, 1033, 0, VT_R8)) || number.vt != VT_R8 ||
        multiplier == 0.0)
        return;
    VariantClear(&value);
    value.vt = VT_R8;
    value.dblVal = scale(number.dblVal);
}

void PutDate(VARIANT& target, DATE date) {
    VariantClear(&target);
    target.vt = VT_DATE;
    target.date = date;
}

void Moved(BindingDefinition& d) {
    d.Flags = (d.Flags & ~kBindingInBatch) | kBindingMoved;
}

// The time of an output: its own, or "now" as a local OLE date when it lies
// within a thousandth of a day of the zero date. The time-conversion
// component gives the instant of the COM clock; without it the calendar
// time of the run's clock stands.
DATE OutputTime(const VARIANT& stamp) {
    DATE time = stamp.vt == VT_DATE ? stamp.date : 0.0;
    if (std::trunc(1000.0 * time) != 0.0) return time;
    time = CMvCalculation::CurrentDateTime();
    FILETIME now{};
    CoFileTimeNow(&now);
    mv::ComPtr<IMvTimeConversion> conversion;
    if (SUCCEEDED(CoCreateInstance(CLSID_MvTimeConversion, nullptr, CLSCTX_SERVER,
                                   IID_IMvTimeConversion, conversion.PutVoid())) &&
        conversion)
        conversion->FileTimeToLocalDate(now.dwLowDateTime, now.dwHighDateTime, &time);
    return time;
}

DWORD Number(IMvParameter* parameter, HRESULT (IMvParameter::*get)(LONG*)) {
    LONG value = 0;
    (parameter->*get)(&value);
    return static_cast<DWORD>(value);
}

}  // namespace

void CMvCalculation::ProcessDataBindingHandler(const MvBindingCall& call) {
    call.Calculation->ProcessProcessDataBindingDefinitions(*call.Table, call.Pass, call.Count,
                                                           call.Record, call.Ordinal);
}

void CMvCalculation::ProcessDataBatchStep(const MvBindingCall& call) {
    if (call.Pass == INPUT_PASS)
        call.Calculation->ReadProcessDataBindings(*call.Table, call.Level, call.Status);
    else
        call.Calculation->WriteProcessDataBindings(*call.Table);
}

void CMvCalculation::ProcessProcessDataBindingDefinitions(const ParamInfoTable& table,
                                                          LONG direction, LONG count,
                                                          const ParamInfo* record, LONG ordinal) {
    MvStepFrame step("CMvCalculation::ProcessProcessDataBindingDefinitions");
    BindingDefinitionSet* set = table.ProcessDataBindingSet.get();
    if (!set) return;
    const int which = direction == 0 ? 0 : 1;
    BindingDefinition* list = which == 0 ? set->GetInputs(count) : set->GetOutputs(count);
    const LONG size = which == 0 ? set->InputCount() : set->OutputCount();
    if (set->IsListUsed(which)) {
        if (!list) SetError("Error Processing Process Data Bindings.\n");
        return;
    }
    if (!list || !record || !record->Parameter || ordinal < 0 || ordinal >= size) {
        SetError("Error Accessing Process Data Binding Definitions.\n");
        return;
    }
    BindingDefinition& d = list[ordinal];
    IMvParameter* parameter = record->Parameter.get();
    d.Name = record->Name;
    d.ServerIndex = 0;
    d.IsLocal = 0;
    d.Flags = kBindingDefined;
    d.UnitConversionMultiplier = record->UnitConversionMultiplier;
    d.UnitConversionOffset = record->UnitConversionOffset;
    d.Parameter = parameter;
    d.RecordIdPending = 1;
    d.Complete = 0;
    d.NodeName = BoundName(parameter, &IMvParameter::get_NodeName);
    LONG group = 0;
    parameter->get_GroupNumber(&group);
    d.GroupNumber = group;
    d.RecordName = BoundName(parameter, &IMvParameter::get_RecordName);
    d.FieldName = BoundName(parameter, &IMvParameter::get_FieldName);
    d.Record_ID = Number(parameter, &IMvParameter::get_Record_ID) & kRecordIdMask;
    d.Field_ID = Number(parameter, &IMvParameter::get_Field_ID);
    d.StatusField_ID = Number(parameter, &IMvParameter::get_StatusField_ID);
    d.HistoryField_ID = Number(parameter, &IMvParameter::get_HistoryField_ID);
    d.FieldType = static_cast<LONG>(Number(parameter, &IMvParameter::get_FieldType));
    d.HistoryFieldName = BoundName(parameter, &IMvParameter::get_HistoryFieldName);
}

LONG CMvCalculation::ReadProcessDataBindings(const ParamInfoTable& table, SHORT* level,
                                             SHORT* status) {
    MvStepFrame step("CMvCalculation::ReadProcessDataBindings");
    BindingDefinitionSet* set = table.ProcessDataBindingSet.get();
    if (!set) return 0;
    set->MarkInputsPending();
    return ReadProcessDataValues(*set, level, status);
}

LONG CMvCalculation::ReadProcessDataValues(BindingDefinitionSet& set, SHORT* level, SHORT* status) {
    MvStepFrame step("CMvCalculation::ReadProcessDataValues");
    const LONG count = set.InputCount();
    BindingDefinition* list = count > 0 ? set.GetInputs(count) : nullptr;
    for (LONG i = 0; list && i < count; ++i) {
        BindingDefinition& d = list[i];
        mv::Variant value;
        LONG valueLevel = 0, valueStatus = 0;
        DATE time = 0.0;
        const HRESULT hr = m_ProcessDataManager.GetAttributeValue(
            mv::Bstr(std::string_view(d.NodeName)).get(),
            mv::Bstr(std::string_view(d.RecordName)).get(),
            mv::Bstr(std::string_view(d.FieldName)).get(),
            mv::Bstr(std::string_view(d.HistoryFieldName)).get(), &time, &value, &valueLevel,
            &valueStatus);
        m_ProcessDataManager.FreeTags();
        if (FAILED(hr)) {
            SetError("Error getting attribute value for tag " + d.RecordName + ".\n");
            return -1;
        }
        Moved(d);
        const double multiplier = d.UnitConversionMultiplier;
        const double offset = d.UnitConversionOffset;
        ConvertUnits(value, multiplier, [&](double x) { return (x - offset) / multiplier; });
        MvCopyVariantOrThrow(&d.Value, &value);
        d.Level = static_cast<SHORT>(valueLevel);
        d.Status = static_cast<SHORT>(valueStatus);
        PutDate(d.TimeStamp, time);
        DATE stamp = d.TimeStamp.date;
        if (!d.Parameter ||
            FAILED(d.Parameter->SetParameterValues(&d.Value, &d.Level, &d.Status, &stamp))) {
            SetError("Error setting Parameters for tag : " + d.RecordName + ".\n");
            return -1;
        }
        if (level && status) {
            *level = *level == mvcNO_QLEVEL ? d.Level : WorseLevel(d.Level, *level);
            *status = LevelToStatus(*level);
        }
    }
    return 0;
}

LONG CMvCalculation::WriteProcessDataBindings(const ParamInfoTable& table) {
    MvStepFrame step("CMvCalculation::WriteProcessDataBindings");
    BindingDefinitionSet* set = table.ProcessDataBindingSet.get();
    if (!set) return 0;
    set->MarkChangedOutputsPending();
    const LONG gathered = GatherProcessDataValues(*set);
    const LONG written = WriteProcessDataValues(*set);
    return gathered | written;
}

LONG CMvCalculation::GatherProcessDataValues(BindingDefinitionSet& set) {
    MvStepFrame step("CMvCalculation::GatherProcessDataValues");
    const LONG count = set.OutputCount();
    BindingDefinition* list = count > 0 ? set.GetOutputs(count) : nullptr;
    LONG result = 0;
    for (LONG i = 0; list && i < count; ++i) {
        BindingDefinition& d = list[i];
        if (!(d.Flags & kBindingDefined)) continue;
        DATE date = 0.0;
        if (!d.Parameter ||
            FAILED(d.Parameter->GetParameterValues(&d.Value, &d.Level, &d.Status, &date))) {
            // The output is then written stamped with the current time.
            SetError("Error getting parameter values : " + d.RecordName + ".\n");
            result = -1;
            date = 0.0;
        }
        PutDate(d.TimeStamp, date);
    }
    return result;
}

LONG CMvCalculation::WriteProcessDataValues(BindingDefinitionSet& set) {
    MvStepFrame step("CMvCalculation::WriteProcessDataValues");
    const LONG count = set.OutputCount();
    BindingDefinition* list = count > 0 ? set.GetOutputs(count) : nullptr;
    LONG result = 0;
    for (LONG i = 0; list && i < count; ++i) {
        BindingDefinition& d = list[i];
        Moved(d);
        const DATE time = OutputTime(d.TimeStamp);
        mv::Variant value;
        MvCopyVariantOrThrow(&value, &d.Value);
        const double multiplier = d.UnitConversionMultiplier;
        const double offset = d.UnitConversionOffset;
        ConvertUnits(value, multiplier, [&](double x) { return x * multiplier + offset; });
        const HRESULT hr =
            m_ProcessDataManager.SetValue(mv::Bstr(std::string_view(d.NodeName)).get(),
                                          mv::Bstr(std::string_view(d.RecordName)).get(),
                                          mv::Bstr(std::string_view(d.FieldName)).get(),
                                          mv::Bstr(std::string_view(d.HistoryFieldName)).get(),
                                          &value, d.Level, d.Status, time, VARIANT_TRUE);
        m_ProcessDataManager.FreeTags();
        if (FAILED(hr)) {
            SetError("Access Denied Tag : " + d.RecordName + ".\n");
            result = -1;
        }
    }
    return result;
}
