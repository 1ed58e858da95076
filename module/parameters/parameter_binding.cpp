// A parameter's historian binding: set-up from a server, record and map name
// or from a data source of the directory, the historian look-ups behind it,
// and moving historian bindings to another server.
#include <cstring>
#include <new>

#include "frame/keldrin_client.h"
#include "frame/trace.h"
#include "parameters/parameter.h"
#include "parameters/parameter_historian.h"
#include "sources/data_source_locator.h"
#include "sources/keldrin_servers.h"

namespace parameter_historian {

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

constexpr Calls kLocalCalls = {true,      L_DECODNAM, L_DECODFT, L_DECODRAF, L_FIELDDEFNINFO,
                               L_DEFINID, L_DB2SHRT,  L_MRDBVALS};
constexpr Calls kRemoteCalls = {false,         DECODNAM, DECODFT, DECODRAF,
                                FIELDDEFNINFO, DEFINID,  DB2SHRT, MRDBVALS};

// Records per search call.
constexpr LONG kSearchCapacity = 10;

}  // namespace

const Calls& CallsFor(bool local) {
    return local ? kLocalCalls : kRemoteCalls;
}

bool IsLocalNode(std::string_view node) {
    // An unreadable computer name is empty and matches no node.
    return SameNoCase(node, "localhost") ||
           (g_szComputerName[0] != '\0' && SameNoCase(node, g_szComputerName));
}

LONG SearchMapRecords(bool local, LONG mapDefinition, LONG definitionId,
                      const std::function<LONG(const LONG*, LONG)>& batch) {
    LONG major = 0, minor = 0;
    GetKeldrinDbVersion(local, &major, &minor);
    auto search = local                                      ? L_GETRECORDLIST_LNAME
                  : KeldrinVersionHasLongNames(major, minor) ? GETRECORDLIST_LNAME
                                                             : GETRECORDLIST;
    const LONG block[9] = {0, 0, 0, 0, 1, kMapDefinitionField, 1, 0, definitionId & 0x1FFFFF};
    LONG continuation = 0;
    for (;;) {
        LONG records[kSearchCapacity] = {};
        LONG count = 0;
        search(2, mapDefinition, 0, 1, 0, block, kSearchCapacity, &continuation, records, 0, 0, 0,
               &count);
        if (count < 0 || count > kSearchCapacity) return 0;
        if (LONG found = batch(records, count); found > 0) return found;
        if (count != kSearchCapacity) return 0;
    }
}

std::string Quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

std::string Bracketed(std::string_view text) {
    return text.empty() ? std::string() : " ( " + std::string(text) + " )";
}

BSTR NewBstr(std::string_view text) {
    std::u16string wide = mv::ToUtf16(text);
    BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!b) throw std::bad_alloc();
    return b;
}

}  // namespace parameter_historian

using namespace parameter_historian;

namespace {

// The text after "Could not find ...": the name quoted, and the historian's
// message bracketed when the look-up gave one.
std::string NotFound(const char* what, BSTR name, BSTR lookupText) {
    return std::string("Could not find ") + what + " " + Quoted(mv::ToUtf8(name)) +
           Bracketed(mv::ToUtf8(lookupText));
}

}  // namespace

LONG CMvParameter::GetRecordID(bool local, BSTR recordName, BSTR* errorText) {
    MvStepFrame step("CMvParameter::GetRecordID");
    if (errorText) {
        SysFreeString(*errorText);
        *errorText = nullptr;
    }
    const std::string name = mv::ToUtf8(recordName);
    if (!FitsNameLength(name.size())) {
        if (errorText) *errorText = NewBstr(kNameTooLongText);
        return 0;
    }
    const Calls& calls = CallsFor(local);
    LONG recordId = 0;
    KeldrinErrorBlock err{};
    calls.decodnam(name.c_str(), static_cast<SHORT>(name.size()), &recordId, &err);
    if (err.ERRORCODE != 0 && errorText) *errorText = NewBstr(KeldrinErrorMessage(&err, local));
    return recordId;
}

LONG CMvParameter::GetDefaultMap(bool local, LONG recordId) {
    MvStepFrame step("CMvParameter::GetDefaultMap");
    const Calls& calls = CallsFor(local);
    const LONG definition = calls.definid(recordId);
    mv::Bstr mapDefinitionName{std::string_view(kMapDefinitionName)};
    mv::Bstr ignored;
    const LONG mapDefinition = GetRecordID(local, mapDefinitionName.get(), ignored.Out());
    if (mapDefinition <= 0) return 0;

    // A definition with one map uses it, flagged or not; with several, the
    // first flagged one in search order.
    LONG seen = 0;
    return SearchMapRecords(local, mapDefinition, definition, [&](const LONG* records, LONG count) {
        if (count == 1 && seen == 0) return records[0];
        seen += count;
        for (LONG i = 0; i < count; ++i) {
            SHORT flag = 0;
            KeldrinErrorBlock err{};
            calls.db2shrt(records[i], kMapDefaultFlagField, &flag, &err);
            if (err.ERRORCODE == 0 && flag != 0) return records[i];
        }
        return LONG{0};
    });
}

LONG CMvParameter::GetFieldMapRecord(LONG definitionId, LONG fieldTag) {
    // Traced with the step lines, but under the "Methods" category.
    const bool trace = g_DiagnosticLog.IsOn(LogMethods);
    if (trace) g_DiagnosticLog.WriteLine(u"CMvParameter::GetFieldMapRecord( Function - Start )");
    LONG mapDefinition = 0;
    KeldrinErrorBlock err{};
    DECODNAM(kMapDefinitionName, static_cast<SHORT>(std::strlen(kMapDefinitionName)),
             &mapDefinition, &err);
    LONG found = 0;
    if (err.ERRORCODE == 0 && mapDefinition > 0) {
        const LONG fieldNumber = fieldTag >> 16;
        found = SearchMapRecords(false, mapDefinition, definitionId,
                                 [&](const LONG* records, LONG count) {
                                     for (LONG i = 0; i < count; ++i) {
                                         LONG reference = 0, number = 0;
                                         KeldrinErrorBlock e{};
                                         DB2REID(records[i], kMapValueField, &reference, &e);
                                         if (e.ERRORCODE != 0) continue;
                                         DB2LONG(reference, kFieldNumberField, &number, &e);
                                         if (e.ERRORCODE == 0 && number == fieldNumber)
                                             return records[i];
                                     }
                                     return LONG{0};
                                 });
    }
    if (trace) g_DiagnosticLog.WriteLine(u"CMvParameter::GetFieldMapRecord( Function - End )");
    return found;
}

HRESULT CMvParameter::SetUsingMap(BSTR ServerName, BSTR RecordName, BSTR MapName, BSTR* ErrorText) {
    return MvMethodFrame("CMvParameter::SetUsingMap", [&]() -> HRESULT {
        if (!ErrorText) return E_POINTER;
        *ErrorText = nullptr;
        const std::string server = mv::ToUtf8(ServerName);
        LoadKeldcoreLibrary();
        const bool local = IsLocalNode(server);
        const Calls& calls = CallsFor(local);

        LONG serverIndex = 0;
        if (!local) {
            KeldrinErrorBlock err{};
            std::string connectText;
            serverIndex = ConnectKeldrinNode(server, &err, &connectText);
            if (err.ERRORCODE == 0) DaSelectServer(static_cast<SHORT>(serverIndex), &err);
            if (err.ERRORCODE != 0 || serverIndex == 0) {
                *ErrorText = NewBstr("Could not connect to server " + Quoted(server) +
                                     Bracketed(connectText));
                return S_OK;
            }
        }

        mv::Bstr lookupText;
        const LONG recordId = GetRecordID(local, RecordName, lookupText.Out());
        if (recordId <= 0) {
            *ErrorText = NewBstr(NotFound("record", RecordName, lookupText.get()));
            static constexpr char kOp[] = "CMvParameter::SetUsingMap";
            MvLogErrorA(kOp, {"Could not find record: Name: ", RecordName});
            MvLogErrorA(kOp, {"Could not find record: DataSource: ", server});
            MvLogErrorA(kOp, {"Could not find record: IsLocal: ", local ? "True" : "False"});
            MvLogErrorA(kOp, {"Could not find record: ServerIndex: ",
                              MvLogNumberText("%lld", serverIndex)});
            MvLogErrorA(kOp, {"Could not find record: User: ", MvLogUserName()});
            return S_OK;
        }

        LONG mapId = 0;
        mv::Bstr mapText;
        if (SysStringLen(MapName) == 0)
            mapId = GetDefaultMap(local, recordId);
        else
            mapId = GetRecordID(local, MapName, mapText.Out());
        if (mapId <= 0) {
            *ErrorText = NewBstr(NotFound("map", MapName, mapText.get()));
            return S_OK;
        }

        // The map's references to the records describing its value and
        // history fields, then the field numbers those records hold.
        const std::string quotedMap = Quoted(mv::ToUtf8(MapName));
        KeldrinErrorBlock err{};
        SHORT failIndex = 0;
        const KeldrinRecField references[2] = {{mapId, kMapValueField}, {mapId, kMapHistoryField}};
        const SHORT referenceTypes[2] = {-1, -1};
        unsigned char referenceValues[8] = {};
        calls.mrdbvals(2, references, referenceTypes, referenceValues, &failIndex, &err);
        if (err.ERRORCODE != 0) {
            *ErrorText = NewBstr("Could not read map fields for " + quotedMap);
            return S_OK;
        }
        const KeldrinRecField numbers[2] = {
            {static_cast<LONG>(Word32(referenceValues)), kFieldNumberField},
            {static_cast<LONG>(Word32(referenceValues + 4)), kFieldNumberField}};
        const SHORT numberTypes[2] = {-3, -3};
        unsigned char numberValues[4] = {};
        calls.mrdbvals(2, numbers, numberTypes, numberValues, &failIndex, &err);
        if (err.ERRORCODE != 0) {
            *ErrorText = NewBstr("Could not read map fields ID for " + quotedMap);
            return S_OK;
        }

        const LONG fieldId = FieldTagOf(Word16(numberValues));
        put_NodeName(ServerName);
        put_RecordName(RecordName);
        put_Record_ID(recordId);
        put_Field_ID(fieldId);
        put_HistoryField_ID(FieldTagOf(Word16(numberValues + 2)));

        unsigned char info[KELDRIN_FIELDINFO_SIZE] = {};
        LONG valueSize = 0;
        KeldrinErrorBlock infoErr{};
        calls.fielddefninfo(recordId, fieldId, -1, info, &valueSize, &infoErr);
        if (infoErr.ERRORCODE == 0) {
            put_FieldType(Word16(info + KELDRIN_FI_FIELDTYPE));
            put_StatusField_ID(static_cast<LONG>(Word32(info + KELDRIN_FI_STATUSFIELD)));
        }

        mv::ObjectLock lock(this);
        m_BindingType = mvcKeldrin;
        return S_OK;
    });
}

HRESULT CMvParameter::SetUsingDataSourceAndMap(BSTR DataSourceName, BSTR TagName, BSTR MapName,
                                               BSTR* ErrorText) {
    return MvMethodFrame("CMvParameter::SetUsingDataSourceAndMap", [&]() -> HRESULT {
        if (!ErrorText) return E_POINTER;
        *ErrorText = nullptr;
        DataSourceLocator locator;
        put_GroupNumber(200);
        mv::Bstr host;
        if (!locator.ReadDataSourceProperty("{8fa3c7e0-5e2e-11d3-b365-0008c7a0de24}",
                                            mv::ToUtf8(DataSourceName).c_str(), "Host",
                                            host.Out())) {
            *ErrorText = NewBstr("Data source not found");
            return S_OK;
        }
        return static_cast<IMvParameter*>(this)->SetUsingMap(host.get(), TagName, MapName,
                                                             ErrorText);
    });
}

HRESULT CMvParameter::ChangeServerName(BSTR OldServer, LONG OldGroup, BSTR NewServer,
                                       LONG NewGroup) {
    return MvMethodFrame("CMvParameter::ChangeServerName", [&]() -> HRESULT {
        const std::string oldServer = mv::ToUtf8(OldServer);
        {
            mv::ObjectLock lock(this);
            if (m_BindingType != mvcKeldrin || m_GroupNumber != OldGroup ||
                m_NodeName.CompareNoCase(oldServer.c_str()) != 0)
                return S_FALSE;
        }
        put_NodeName(NewServer);
        put_GroupNumber(NewGroup);
        return S_OK;
    });
}
