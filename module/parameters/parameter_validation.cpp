// Validation of a parameter's binding against its source: a historian
// binding is resolved again (and, on request, its engineering units read);
// a process-data binding asks the data source whether the tag exists.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "frame/keldrin_client.h"
#include "frame/trace.h"
#include "parameters/parameter.h"
#include "parameters/parameter_historian.h"
#include "sources/data_manager.h"
#include "sources/keldrin_servers.h"

using namespace parameter_historian;

namespace {

// The most characters of units text read from the historian.
constexpr SHORT kUnitsCapacity = 64;

// What validation compares before and after the names are resolved.
struct Resolved {
    LONG recordId, fieldId, statusFieldId, historyFieldId, fieldType;
    DOUBLE multiplier, offset;
};

bool SameIdentifiers(const Resolved& a, const Resolved& b) {
    return a.recordId == b.recordId && a.fieldId == b.fieldId &&
           a.statusFieldId == b.statusFieldId && a.historyFieldId == b.historyFieldId &&
           a.fieldType == b.fieldType;
}

// Doubles compare as numbers, so a NaN always counts as changed.
bool SameFactors(const Resolved& a, const Resolved& b) {
    return a.multiplier == b.multiplier && a.offset == b.offset;
}

// The units text of a field with trailing blanks dropped; false when the
// read fails, whatever it wrote.
bool ReadUnitsText(LONG recordId, LONG fieldTag, std::string* units) {
    char text[kUnitsCapacity] = {};
    SHORT length = 0;
    KeldrinErrorBlock err{};
    RDBASCII(recordId, fieldTag, text, kUnitsCapacity, &length, &err);
    if (err.ERRORCODE != 0) return false;
    std::size_t n = static_cast<std::size_t>(std::clamp<SHORT>(length, 0, kUnitsCapacity));
    while (n > 0 && text[n - 1] == ' ') --n;
    units->assign(text, n);
    return true;
}

// ReadUnitsText in the frame of CMvParameter::ReadEngUnits, whose trace
// lines the units check writes too.
bool ReadEngUnitsFramed(LONG recordId, LONG fieldTag, std::string* units) {
    bool read = false;
    MvMethodFrame("CMvParameter::ReadEngUnits",
                  [&] { read = ReadUnitsText(recordId, fieldTag, units); });
    return read;
}

Resolved Snapshot(IMvParameter* p) {
    Resolved r{};
    p->get_Record_ID(&r.recordId);
    p->get_Field_ID(&r.fieldId);
    p->get_StatusField_ID(&r.statusFieldId);
    p->get_HistoryField_ID(&r.historyFieldId);
    p->get_FieldType(&r.fieldType);
    p->get_UnitConversionMultiplier(&r.multiplier);
    p->get_UnitConversionOffset(&r.offset);
    return r;
}

// Resolves "<record> <field>" and the history field name into the
// parameter's identifiers, stopping at the first failure, whose text goes to
// *failure.
bool ResolveNames(IMvParameter* p, const Calls& calls, const std::string& record,
                  const std::string& field, const std::string& historyField, std::string* failure) {
    KeldrinErrorBlock err{};
    const std::string recordAndField = record + " " + field;
    if (!FitsNameLength(recordAndField.size())) {
        p->put_Record_ID(0);
        *failure = kNameTooLongText;
        return false;
    }
    LONG recordId = 0, fieldId = 0;
    p->get_Record_ID(&recordId);
    p->get_Field_ID(&fieldId);
    calls.decodraf(recordAndField.c_str(), static_cast<SHORT>(recordAndField.size()), &recordId,
                   &fieldId, &err);
    p->put_Field_ID(fieldId);
    if (err.ERRORCODE != 0) {
        p->put_Record_ID(0);
        *failure = KeldrinErrorMessage(&err, calls.local);
        return false;
    }
    p->put_Record_ID(recordId);

    unsigned char info[KELDRIN_FIELDINFO_SIZE] = {};
    LONG valueSize = 0;
    calls.fielddefninfo(recordId, fieldId, -1, info, &valueSize, &err);
    if (err.ERRORCODE != 0) {
        *failure = KeldrinErrorMessage(&err, calls.local);
        return false;
    }
    p->put_StatusField_ID(static_cast<LONG>(Word32(info + KELDRIN_FI_STATUSFIELD)));
    p->put_FieldType(Word16(info + KELDRIN_FI_FIELDTYPE));
    p->put_Record_ID(static_cast<LONG>(static_cast<uint32_t>(recordId) & 0x801FFFFFu));

    if (historyField.empty()) {
        p->put_HistoryField_ID(0);
        return true;
    }
    if (!FitsNameLength(historyField.size())) {
        p->put_HistoryField_ID(0);
        *failure = kNameTooLongText;
        return false;
    }
    LONG historyFieldId = 0;
    p->get_HistoryField_ID(&historyFieldId);
    calls.decodft(historyField.c_str(), static_cast<SHORT>(historyField.size()), &historyFieldId,
                  &err);
    p->put_HistoryField_ID(historyFieldId);
    if (err.ERRORCODE != 0) {
        *failure = KeldrinErrorMessage(&err, calls.local);
        return false;
    }
    return true;
}

std::string FailedText(const std::string& name) {
    return "Failed to validate parameter " + Quoted(name);
}

}  // namespace

HRESULT CMvParameter::Validate(BSTR* ErrorText) {
    return MvMethodFrame("CMvParameter::Validate", [&]() -> HRESULT {
        if (!ErrorText) return E_POINTER;
        LONG binding = mvcNone;
        get_BindingType(&binding);
        if (binding == mvcKeldrin) {
            // Only a library that some set-up already loaded serves the
            // local node; validation does not load it.
            if (g_hKeldcore.load() && IsLocalNode(TextOf(m_NodeName)))
                return Local_Validate(ErrorText);
            return Validate2(VARIANT_FALSE, ErrorText);
        }
        if (binding == mvcProcessData) return Validate2(VARIANT_FALSE, ErrorText);
        return S_OK;
    });
}

HRESULT CMvParameter::Validate2(VARIANT_BOOL CheckUnits, BSTR* ErrorText) {
    static constexpr char kName[] = "CMvParameter::Validate2";
    return MvMethodFrame(kName, [&]() -> HRESULT {
        if (!ErrorText) return E_POINTER;
        *ErrorText = nullptr;
        try {
            const std::string node = TextOf(m_NodeName);
            const std::string record = TextOf(m_RecordName);
            const std::string field = TextOf(m_FieldName);
            if (node.empty() || record.empty() || field.empty()) return S_FALSE;
            LONG binding = mvcNone;
            get_BindingType(&binding);

            if (binding == mvcKeldrin) {
                KeldrinErrorBlock err{};
                std::string connectText;
                const LONG serverIndex = ConnectKeldrinNode(node, &err, &connectText);
                if (serverIndex <= 0) {
                    *ErrorText = NewBstr(FailedText(TextOf(m_Name)) + ", failed to add server" +
                                         Bracketed(connectText));
                    return S_FALSE;
                }
                const Resolved before = Snapshot(this);
                DaSetDefaultServer(static_cast<SHORT>(serverIndex), &err);
                DaSelectServer(static_cast<SHORT>(serverIndex), &err);
                std::string failure;
                if (!ResolveNames(this, CallsFor(false), record, field, TextOf(m_HistoryFieldName),
                                  &failure))
                    *ErrorText = NewBstr(FailedText(TextOf(m_Name)) + ": " + failure);
                else if (CheckUnits == VARIANT_TRUE)
                    CheckEngUnits(ErrorText);
                const Resolved after = Snapshot(this);
                return SameIdentifiers(before, after) && SameFactors(before, after) ? S_FALSE
                                                                                    : S_OK;
            }
            if (binding == mvcProcessData) {
                MvDataManager manager;
                mv::Bstr dataSource{std::string_view(node)};
                mv::Bstr tag{std::string_view(record)};
                if (FAILED(manager.CheckTagValid(dataSource.get(), tag.get()))) {
                    *ErrorText = NewBstr(FailedText(TextOf(m_Name)) + ": Tag is not valid");
                    return S_OK;
                }
                return S_FALSE;
            }
            return S_FALSE;
        } catch (...) {
            MvLogErrorHr(kName, E_UNEXPECTED);
            return S_FALSE;
        }
    });
}

HRESULT CMvParameter::Local_Validate(BSTR* errorText) {
    static constexpr char kName[] = "CMvParameter::Local_Validate";
    return MvMethodFrame(kName, [&]() -> HRESULT {
        if (!errorText) return E_POINTER;
        *errorText = nullptr;
        try {
            const std::string record = TextOf(m_RecordName);
            const std::string field = TextOf(m_FieldName);
            if (TextOf(m_NodeName).empty() || record.empty() || field.empty()) return S_FALSE;
            const Resolved before = Snapshot(this);
            std::string failure;
            if (!ResolveNames(this, CallsFor(true), record, field, TextOf(m_HistoryFieldName),
                              &failure))
                *errorText = NewBstr(FailedText(TextOf(m_Name)) + ": " + failure);
            return SameIdentifiers(before, Snapshot(this)) ? S_FALSE : S_OK;
        } catch (...) {
            MvLogErrorHr(kName, E_UNEXPECTED);
            return S_FALSE;
        }
    });
}

HRESULT CMvParameter::CheckEngUnits(BSTR* errorText) {
    return MvMethodFrame("CMvParameter::CheckEngUnits", [&]() -> HRESULT {
        LONG recordId = 0, fieldId = 0;
        get_Record_ID(&recordId);
        get_Field_ID(&fieldId);
        const LONG mapId = GetFieldMapRecord(DEFINID(recordId), fieldId);
        if (mapId <= 0) return S_OK;
        KeldrinErrorBlock err{};
        LONG reference = 0, fieldNumber = 0;
        DB2REID(mapId, kMapUnitsField, &reference, &err);
        if (err.ERRORCODE != 0 || reference == 0) return S_OK;
        DB2LONG(reference, kFieldNumberField, &fieldNumber, &err);
        if (err.ERRORCODE != 0) return S_OK;

        // A failed read keeps the units and factors the parameter has.
        std::string units;
        const LONG unitsTag = static_cast<LONG>(static_cast<uint32_t>(fieldNumber) << 16);
        if (!ReadEngUnitsFramed(recordId, unitsTag, &units)) return S_OK;
        put_BoundUnits(mv::Bstr(std::string_view(units)).get());
        static_cast<IMvParameter*>(this)->SetUnitConversionFactor();

        DOUBLE multiplier = 0.0, offset = 0.0;
        get_UnitConversionMultiplier(&multiplier);
        get_UnitConversionOffset(&offset);
        if (multiplier == 0.0 && offset > 0.0 && errorText) {
            SysFreeString(*errorText);
            *errorText = nullptr;
            *errorText = NewBstr(
                FailedText(TextOf(m_Name)) + ": " +
                (offset == 1.0 ? "Invalid Engineering Unit" : "Incompatible Engineering Units"));
        }
        return S_OK;
    });
}

void CMvParameter::ReadEngUnits(LONG recordId, LONG fieldTag, char* units, std::size_t unitsSize) {
    if (!units || unitsSize == 0) return;
    units[0] = '\0';
    std::string text;
    if (!ReadEngUnitsFramed(recordId, fieldTag, &text)) return;
    const std::size_t n = std::min(text.size(), unitsSize - 1);
    std::memcpy(units, text.data(), n);
    units[n] = '\0';
}
