// Historian current-value bindings of a run: each bound parameter's
// definition is filled and resolved once (node, record, field), then every
// pending definition of a server is read or written in one batched call.
#include <cstring>

#include "bindings/keldrin_values.h"
#include "calculation/calculation.h"
#include "environment/calc_environment.h"
#include "frame/keldrin_client.h"
#include "parameters/parameter_historian.h"
#include "sources/keldrin_servers.h"

static_assert(sizeof(RecordField) == sizeof(KeldrinRecField) &&
              offsetof(RecordField, Field_ID) == offsetof(KeldrinRecField, FieldId));

namespace {

using parameter_historian::CallsFor;
using parameter_historian::FitsNameLength;
using parameter_historian::IsLocalNode;

// A batch's count is 16-bit: more definitions of one server go into a
// further batch.
constexpr LONG kMaxBatch = 0x7FFF;

LONG Number(IMvParameter* parameter, HRESULT (IMvParameter::*get)(LONG*)) {
    LONG value = 0;
    (parameter->*get)(&value);
    return value;
}

std::string NodeGroup(const BindingDefinition& d) {
    return d.NodeName + " Group " + std::to_string(d.GroupNumber);
}

bool Connected(const BindingDefinition& d) {
    return d.IsLocal == 1 || d.ServerIndex > 0;
}

// Connected, with its record and field found.
bool Movable(const BindingDefinition& d) {
    return Connected(d) && d.Record_ID != 0 && d.Field_ID != 0;
}

// One batch of a list: the definitions of one server (or of the local
// historian) still pending, in list order, marked in the batch.
struct Batch {
    SHORT Count = 0;
    bool Local = false;
    LONG Server = 0;
};

// Forms the next batch. A pending definition that is not connected, or whose
// record or field was not found, leaves the pass (it stays unread or
// unwritten, its failure already in the error text) without stopping the
// definitions of other servers.
Batch FormBatch(BindingDefinition* list, LONG n, RecordField* pairs, SHORT* types) {
    Batch batch;
    LONG first = -1;
    for (LONG i = 0; i < n; ++i) {
        BindingDefinition& d = list[i];
        if (!(d.Flags & kBindingPending)) continue;
        if (!Movable(d)) {
            d.Flags &= ~kBindingPending;
            continue;
        }
        first = i;
        break;
    }
    if (first < 0) return batch;
    batch.Local = list[first].IsLocal == 1;
    batch.Server = list[first].ServerIndex;
    for (LONG i = first; i < n && batch.Count < kMaxBatch; ++i) {
        BindingDefinition& d = list[i];
        if (!(d.Flags & kBindingPending) || !Movable(d)) continue;
        if (batch.Local ? d.IsLocal != 1 : (d.IsLocal == 1 || d.ServerIndex != batch.Server))
            continue;
        d.Flags = (d.Flags & ~kBindingPending) | kBindingInBatch;
        pairs[batch.Count] = RecordField{d.Record_ID, d.Field_ID};
        types[batch.Count] = static_cast<SHORT>(d.FieldType);
        ++batch.Count;
    }
    return batch;
}

void LeaveBatch(BindingDefinition* list, LONG n) {
    for (LONG i = 0; i < n; ++i) list[i].Flags &= ~kBindingInBatch;
}

// Forms the batches of a list one after the other, selecting each remote
// batch's server, and hands each to `move`; the error block is cleared once,
// before the first batch. The result is 1 when any batch failed.
template <class Move>
LONG MoveBatches(BindingDefinition* list, LONG n, RecordField* pairs, SHORT* types, Move move) {
    EnsureKeldrinClientStarted();
    KeldrinErrorBlock err{};
    LONG result = 0;
    for (;;) {
        Batch batch = FormBatch(list, n, pairs, types);
        if (batch.Count == 0) break;
        if (batch.Server != 0) DaSetDefaultServer(static_cast<SHORT>(batch.Server), &err);
        if (move(batch, err) != 0) result = 1;
        LeaveBatch(list, n);
    }
    return result;
}

const KeldrinRecField* Pairs(const RecordField* pairs) {
    return reinterpret_cast<const KeldrinRecField*>(pairs);
}

}  // namespace

void CMvCalculation::AppendErrorQuietly(const std::string& text, bool append) {
    mv::ObjectLock lock(this);
    if (!text.empty()) m_Failed = true;
    if (append)
        m_ErrorText += text;
    else
        m_ErrorText = text;
}

void CMvCalculation::KeldrinBindingHandler(const MvBindingCall& call) {
    if (call.Record)
        call.Calculation->ProcessKeldrinBindingDefinitions(*call.Table, call.Pass, call.Count,
                                                           *call.Record, call.Ordinal);
}

void CMvCalculation::KeldrinBatchStep(const MvBindingCall& call) {
    if (call.Pass == INPUT_PASS)
        call.Calculation->ReadKeldrinBindings(*call.Table, call.Level, call.Status);
    else
        call.Calculation->WriteKeldrinBindings(*call.Table,
                                               static_cast<const KeldrinUst*>(call.StoreTime));
}

void CMvCalculation::ProcessKeldrinBindingDefinitions(const ParamInfoTable& table, LONG direction,
                                                      LONG count, const ParamInfo& record,
                                                      LONG ordinal) {
    BindingDefinitionSet* set = table.KeldrinBindingSet.get();
    if (!set) return;
    const int which = direction == 0 ? 0 : 1;
    const bool used = set->IsListUsed(which);
    BindingDefinition* list = nullptr;
    try {
        list = which == 0 ? set->GetInputs(count) : set->GetOutputs(count);
    } catch (const std::bad_alloc&) {
        list = nullptr;
    }
    const LONG size = which == 0 ? set->InputCount() : set->OutputCount();
    if (!list || ordinal < 0 || ordinal >= size) {
        SetError(used ? "Error Processing Keldrin Bindings.\n"
                      : "Error Accessing Keldrin Binding Definitions.\n");
        return;
    }
    BindingDefinition& d = list[ordinal];
    IMvParameter* p = record.Parameter.get();
    if (!used) {
        d.Name = record.Name;
        d.ServerIndex = 0;
        d.IsLocal = 0;
        d.Flags = kBindingDefined;
        d.RecordIdPending = 1;
        d.Complete = 0;
        d.UnitConversionMultiplier = record.UnitConversionMultiplier;
        d.UnitConversionOffset = record.UnitConversionOffset;
        d.Parameter = p;
        d.NodeName = BoundName(p, &IMvParameter::get_NodeName);
        d.GroupNumber = Number(p, &IMvParameter::get_GroupNumber);
        d.RecordName = BoundName(p, &IMvParameter::get_RecordName);
        d.FieldName = BoundName(p, &IMvParameter::get_FieldName);
        d.Record_ID = static_cast<DWORD>(Number(p, &IMvParameter::get_Record_ID));
        d.Field_ID = static_cast<DWORD>(Number(p, &IMvParameter::get_Field_ID));
        d.StatusField_ID = static_cast<DWORD>(Number(p, &IMvParameter::get_StatusField_ID));
        d.HistoryField_ID = static_cast<DWORD>(Number(p, &IMvParameter::get_HistoryField_ID));
        d.FieldType = Number(p, &IMvParameter::get_FieldType);
        d.HistoryFieldName = BoundName(p, &IMvParameter::get_HistoryFieldName);
        d.Record_ID &= kRecordIdMask;
    } else if (d.Complete == 1) {
        return;
    }

    bool noNode = false;
    if (!Connected(d)) {
        if (d.NodeName.empty()) {
            // Not marked complete: the text returns on every run.
            SetError("Keldrin Binding: No Node Name Defined\n");
            noNode = true;
        } else if (g_hKeldcore.load() && IsLocalNode(d.NodeName)) {
            d.IsLocal = 1;
            d.ServerIndex = 0;
        } else {
            KeldrinErrorBlock err{};
            std::string clientText;
            d.ServerIndex = ConnectKeldrinNode(d.NodeName, &err, &clientText);
            d.IsLocal = 0;
            if (d.ServerIndex <= 0) {
                d.ServerIndex = 0;
                AppendErrorQuietly("Keldrin Binding: Can't Connect to Server '" + NodeGroup(d) +
                                       "'" + (clientText.empty() ? "" : " (" + clientText + " )") +
                                       "\n",
                                   false);
                return;
            }
        }
    }

    if (Connected(d) && (d.Record_ID == 0 || d.Field_ID == 0)) {
        d.RecordIdPending = 0;
        const bool local = d.IsLocal == 1;
        KeldrinErrorBlock err{};
        if (!local) {
            EnsureKeldrinClientStarted();
            DaSetDefaultServer(static_cast<SHORT>(d.ServerIndex), &err);
        }
        if (err.ERRORCODE != 0) {
            AppendErrorQuietly(
                "Keldrin Binding: Can't Select Keldrin Node '" + NodeGroup(d) + "'\n", true);
        } else {
            const auto& calls = CallsFor(local);
            LONG recordId = 0, fieldId = 0;
            if (!FitsNameLength(d.RecordName.size()) ||
                calls.decodnam(d.RecordName.c_str(), static_cast<SHORT>(d.RecordName.size()),
                               &recordId, &err) != 0 ||
                err.ERRORCODE != 0) {
                AppendErrorQuietly("Keldrin Binding: Tag '" + d.RecordName +
                                       "' Not Found on Node '" + NodeGroup(d) + "'\n",
                                   true);
                return;
            }
            d.Record_ID = static_cast<DWORD>(recordId) & kRecordIdMask;
            bool found = FitsNameLength(d.FieldName.size()) &&
                         calls.decodft(d.FieldName.c_str(), static_cast<SHORT>(d.FieldName.size()),
                                       &fieldId, &err) == 0 &&
                         err.ERRORCODE == 0;
            if (found) {
                d.Field_ID = static_cast<DWORD>(fieldId);
                BYTE info[KELDRIN_FIELDINFO_SIZE] = {};
                LONG valueSize = 0;
                calls.fielddefninfo(static_cast<LONG>(d.Record_ID), fieldId, -1, info, &valueSize,
                                    &err);
                SHORT type = 0;
                std::memcpy(&type, info + KELDRIN_FI_FIELDTYPE, sizeof type);
                // A type below -16 has no value layout: the field is not usable.
                if (err.ERRORCODE == 0 && type >= -16) {
                    LONG statusField = 0;
                    std::memcpy(&statusField, info + KELDRIN_FI_STATUSFIELD, sizeof statusField);
                    d.FieldType = type;
                    d.StatusField_ID = static_cast<DWORD>(statusField);
                    d.RecordIdPending = 1;
                } else {
                    d.FieldType = 0;
                    d.StatusField_ID = d.Record_ID = d.Field_ID = 0;
                    found = false;
                }
            }
            if (!found) {
                AppendErrorQuietly("Keldrin Binding: Error Looking up Field '" + d.FieldName +
                                       "' for Tag '" + d.RecordName + "' on Node '" + NodeGroup(d) +
                                       "'\n",
                                   true);
                return;
            }
        }
    }

    if (d.FieldType == -7) d.FieldType = -8;
    if (which == 1 && d.FieldType >= -16 && d.FieldType <= -13) d.FieldType += 4;
    if (noNode) return;

    if (d.RecordIdPending == 1) {
        p->put_Record_ID(
            DaEmbedServerIndex(static_cast<SHORT>(d.ServerIndex), static_cast<LONG>(d.Record_ID)));
        d.RecordIdPending = 0;
        d.Complete = 1;
    }
}

LONG CMvCalculation::ReadKeldrinBindings(const ParamInfoTable& table, SHORT* level, SHORT* status) {
    BindingDefinitionSet* set = table.KeldrinBindingSet.get();
    if (!set) return 0;
    set->MarkInputsPending();
    if (LONG result = ReadKeldrinCurrentValues(*set)) return result;
    StoreKeldrinValues(*set, level, status);
    return 0;
}

LONG CMvCalculation::ReadKeldrinCurrentValues(BindingDefinitionSet& set) {
    const LONG n = set.InputCount();
    BindingDefinition* list = n > 0 ? set.GetInputs(n) : nullptr;
    if (!list) return 0;
    RecordField* pairs = set.InputRecordFields();
    SHORT* types = set.InputFieldTypes();
    void** values = set.InputValuePointers();
    return MoveBatches(list, n, pairs, types, [&](const Batch& batch, KeldrinErrorBlock& err) {
        BYTE* buffer = nullptr;
        if (err.ERRORCODE == 0 || batch.Local)
            buffer = LayoutKeldrinValueBuffer(batch.Count, types, values, true);
        if (!buffer) {
            SetError("Error reading Keldrin data");
            return 1;
        }
        SHORT failIndex = -1;
        if (batch.Local)
            L_MRDBVALS(batch.Count, Pairs(pairs), types, buffer, &failIndex, &err);
        else
            MRDBVALS(batch.Count, Pairs(pairs), types, buffer, &failIndex, &err);
        if (err.ERRORCODE != 0) {
            FormatKeldrinError(*this, err, batch.Count, Pairs(pairs), failIndex, "reading",
                               batch.Local);
            return 1;
        }
        const LONG size = TlsExecutionBufferSize();
        SHORT k = 0;
        for (LONG i = 0; i < n && k < batch.Count; ++i) {
            BindingDefinition& d = list[i];
            if (!(d.Flags & kBindingInBatch)) continue;
            d.Flags |= kBindingMoved;
            StoreKeldrinValue(d, types[k], static_cast<const BYTE*>(values[k]), buffer, size);
            ++k;
        }
        return 0;
    });
}

void CMvCalculation::StoreKeldrinValues(BindingDefinitionSet& set, SHORT* level, SHORT* status) {
    const LONG n = set.InputCount();
    BindingDefinition* list = n > 0 ? set.GetInputs(n) : nullptr;
    for (LONG i = 0; list && i < n; ++i) {
        BindingDefinition& d = list[i];
        if (!(d.Flags & kBindingMoved) || !d.Parameter) continue;
        DATE stamp = d.TimeStamp.vt == VT_DATE ? d.TimeStamp.date
                     : d.TimeStamp.vt == VT_R8 ? d.TimeStamp.dblVal
                                               : 0.0;
        d.Parameter->SetParameterValues(&d.Value, &d.Level, &d.Status, &stamp);
        if (level && status) {
            *level = *level == -1 ? d.Level : WorseLevel(*level, d.Level);
            *status = LevelToStatus(*level);
        }
    }
}

LONG CMvCalculation::WriteKeldrinBindings(const ParamInfoTable& table,
                                          const KeldrinUst* storeTime) {
    BindingDefinitionSet* set = table.KeldrinBindingSet.get();
    if (!set) return 0;
    set->MarkChangedOutputsPending();
    PrepareKeldrinWrite(*set);
    return WriteKeldrinValues(*set, storeTime);
}

void CMvCalculation::PrepareKeldrinWrite(BindingDefinitionSet& set) {
    const LONG n = set.OutputCount();
    BindingDefinition* list = n > 0 ? set.GetOutputs(n) : nullptr;
    for (LONG i = 0; list && i < n; ++i) {
        BindingDefinition& d = list[i];
        if (!(d.Flags & kBindingDefined) || !d.Parameter) continue;
        DATE date = 0.0;
        VariantClear(&d.Value);
        d.Parameter->GetParameterValues(&d.Value, &d.Level, &d.Status, &date);
        VariantClear(&d.TimeStamp);
        d.TimeStamp.vt = VT_DATE;
        d.TimeStamp.date = date;
    }
}

LONG CMvCalculation::WriteKeldrinValues(BindingDefinitionSet& set, const KeldrinUst* storeTime) {
    const LONG n = set.OutputCount();
    BindingDefinition* list = n > 0 ? set.GetOutputs(n) : nullptr;
    if (!list) return 0;
    RecordField* pairs = set.OutputRecordFields();
    SHORT* types = set.OutputFieldTypes();
    void** values = set.OutputValuePointers();
    // A two-integer field is written only from a pair; anything else stays
    // out of its batch rather than overwriting the field with zeros.
    for (LONG i = 0; i < n; ++i) {
        BindingDefinition& d = list[i];
        LONG first = 0, second = 0;
        if ((d.Flags & kBindingPending) && d.FieldType == -2 &&
            VariantToKeldrinPair(d.Value, &first, &second) != S_OK) {
            d.Flags &= ~kBindingPending;
            SetError("Error writing Keldrin field \"" + d.FieldName +
                     "\":value is not a pair of integers");
        }
    }
    return MoveBatches(list, n, pairs, types, [&](const Batch& batch, KeldrinErrorBlock& err) {
        BYTE* buffer = nullptr;
        if (err.ERRORCODE == 0 || batch.Local)
            buffer = LayoutKeldrinValueBuffer(batch.Count, types, values, storeTime != nullptr);
        if (!buffer) {
            SetError("Error writing to Keldrin");
            return 1;
        }
        SHORT k = 0;
        for (LONG i = 0; i < n && k < batch.Count; ++i) {
            BindingDefinition& d = list[i];
            if (!(d.Flags & kBindingInBatch)) continue;
            // A batch with a value lost for lack of memory is not written.
            if (PutKeldrinValue(d, types[k], static_cast<BYTE*>(values[k]), buffer, storeTime) ==
                E_OUTOFMEMORY) {
                SetError("Error writing to Keldrin");
                return 1;
            }
            d.Flags |= kBindingMoved;
            ++k;
        }
        SHORT failIndex = -1;
        if (batch.Local)
            L_MWDBVALS(batch.Count, Pairs(pairs), types, buffer, &failIndex, &err);
        else
            MWDBVALS(batch.Count, Pairs(pairs), types, buffer, &failIndex, &err);
        if (err.ERRORCODE == 0) return 0;
        FormatKeldrinError(*this, err, batch.Count, Pairs(pairs), failIndex, "writing",
                           batch.Local);
        return 1;
    });
}
