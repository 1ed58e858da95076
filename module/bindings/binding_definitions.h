// The resolved bindings of one outside store (the historian, process data):
// one definition per bound parameter, in an input list and an output list,
// with the scratch arrays a batched read or write of each list needs. A
// calculation owns one set per store for as long as its parameter table
// lives; a list keeps its size and its resolved definitions from run to run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "interfaces/IMvParameter.h"
#include "oleaut.h"

// Flags of a definition. Bits 0 to 15 are run state, cleared by each pass's
// marking; bits 16 to 31 persist.
constexpr DWORD kBindingDefined = 0x80000000u;  // filled from its parameter
constexpr DWORD kBindingPending = 0x00000001u;  // to move in this pass
constexpr DWORD kBindingInBatch = 0x00000002u;  // in the batch moving now
constexpr DWORD kBindingMoved = 0x00000004u;    // moved in this pass
constexpr DWORD kBindingRunBits = 0x0000FFFFu;
// The bits of a record identifier a definition keeps (bits 21 to 30 go).
constexpr DWORD kRecordIdMask = 0x801FFFFFu;

// The last time a read turned into a time stamp, and what that gave: a value
// read again with the same time, through the same library, in the same time
// form and under the same process time zone, takes the stamp from here
// instead of converting the time again. Kept only when every conversion
// succeeded.
struct StampMemo {
    bool Kept = false;
    bool Universal = false;  // the time as read is in the microsecond form
    bool Local = false;
    LONG UseQtFormat = 0;
    // The zone as tzset last set it: its two names and its offset.
    const char* ZoneNames[2] = {nullptr, nullptr};
    long ZoneOffset = 0;
    uint64_t Read = 0;  // the time's 8 bytes as read
    uint64_t Time = 0;  // the time as kept in Time
    VARTYPE Vt = VT_EMPTY;
    DATE Date = 0.0;
};

struct BindingDefinition {
    BindingDefinition() noexcept;
    ~BindingDefinition();
    BindingDefinition(const BindingDefinition&) = delete;
    BindingDefinition& operator=(const BindingDefinition&) = delete;

    std::string Name;
    std::string NodeName;
    LONG GroupNumber = 0;
    std::string RecordName;
    std::string FieldName;
    std::string HistoryFieldName;
    LONG ServerIndex = 0;  // 0: none
    LONG IsLocal = 0;      // 1: the historian on this computer
    DWORD Record_ID = 0;   // held masked with kRecordIdMask
    DWORD Field_ID = 0;
    DWORD StatusField_ID = 0;
    DWORD HistoryField_ID = 0;
    DWORD Flags = 0;
    LONG FieldType = 0;
    double UnitConversionMultiplier = 0.0;
    double UnitConversionOffset = 0.0;
    VARIANT Value;
    SHORT Level = 0;
    SHORT Status = 0;
    VARIANT TimeStamp;
    LONG RecordIdPending = 0;
    LONG Complete = 0;
    IMvParameter* Parameter = nullptr;  // no reference: the parameter table holds one
    uint64_t Time = ~uint64_t{0};       // the historian time of the last value; all bits: none
    StampMemo Stamp;
};

// A name of a bound parameter (its node, record, field or history field)
// read through `get`, as UTF-8. A name that cannot be copied for lack of
// memory throws std::bad_alloc: kept empty in a definition, it would fail
// every later run of the calculation.
std::string BoundName(IMvParameter* parameter, HRESULT (IMvParameter::*get)(BSTR*));

// One entry of a batched read or write: the record and field identifiers.
struct RecordField {
    DWORD Record_ID;
    DWORD Field_ID;
};

class BindingDefinitionSet {
public:
    BindingDefinitionSet() = default;
    BindingDefinitionSet(const BindingDefinitionSet&) = delete;
    BindingDefinitionSet& operator=(const BindingDefinitionSet&) = delete;

    // The input (output) list; the first call allocates it, and its three
    // scratch arrays, for max(n, 1) definitions and records that count;
    // later calls return it whatever n is. Null when the list cannot be
    // allocated (the count is recorded all the same).
    BindingDefinition* GetInputs(LONG n) {
        return m_Inputs.Definitions ? m_Inputs.Definitions.get() : Get(m_Inputs, n);
    }
    BindingDefinition* GetOutputs(LONG n) {
        return m_Outputs.Definitions ? m_Outputs.Definitions.get() : Get(m_Outputs, n);
    }
    LONG InputCount() const noexcept { return m_Inputs.Count; }
    LONG OutputCount() const noexcept { return m_Outputs.Count; }
    // which 0: whether a pass has marked the input list; else the output list.
    bool IsListUsed(int which) const noexcept {
        return which == 0 ? m_Inputs.Used : m_Outputs.Used;
    }
    // Clears the run bits of every input definition and makes each defined
    // one pending.
    void MarkInputsPending();
    // Clears the run bits of every output definition and makes each defined
    // one whose parameter reports Changed pending.
    void MarkChangedOutputsPending();

    // The scratch arrays of each list, one entry per definition.
    RecordField* InputRecordFields() noexcept { return m_Inputs.RecordFields.get(); }
    SHORT* InputFieldTypes() noexcept { return m_Inputs.FieldTypes.get(); }
    void** InputValuePointers() noexcept { return m_Inputs.ValuePointers.get(); }
    RecordField* OutputRecordFields() noexcept { return m_Outputs.RecordFields.get(); }
    SHORT* OutputFieldTypes() noexcept { return m_Outputs.FieldTypes.get(); }
    void** OutputValuePointers() noexcept { return m_Outputs.ValuePointers.get(); }

private:
    struct List {
        std::unique_ptr<RecordField[]> RecordFields;
        std::unique_ptr<SHORT[]> FieldTypes;
        std::unique_ptr<void*[]> ValuePointers;
        bool Used = false;
        std::unique_ptr<BindingDefinition[]> Definitions;
        LONG Count = 0;
    };
    static BindingDefinition* Get(List& list, LONG n);

    List m_Inputs;
    List m_Outputs;
};
