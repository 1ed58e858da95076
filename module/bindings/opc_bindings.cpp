// OPC bindings of a run: after the dispatcher's walk, each data source's
// items are read (input pass) or written (output pass) through the shared
// server of the data source; a server that failed is dropped from the
// registry so that the next pass connects afresh.
#include "bindings/opc_bindings.h"

#include <memory>

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/opc_registry.h"
#include "sources/opc_da_server.h"
#include "sources/opc_servers.h"

namespace {

constexpr const char kNoRegistry[] = "OPCServers object not created.";

// The OLE date of a UTC FILETIME in the process's local time; 0.0 when a
// conversion step fails.
DATE LocalDate(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME st{};
    DOUBLE date = 0.0;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st) ||
        !SystemTimeToVariantTime(&st, &date))
        return 0.0;
    return date;
}

// The registry's server of the data source, or null with the registry's
// text in the error text. The share keeps the server alive for this pass's
// read or write even when another thread drops it from the registry.
std::shared_ptr<COPCDAServer> ServerOf(CMvCalculation& calc, const std::string& dataSource) {
    std::string errorText;
    std::shared_ptr<COPCDAServer> server =
        g_OPCServers->GetOrCreateOpcServer(dataSource, errorText);
    if (!server) calc.SetError(errorText);
    return server;
}

// After a failed read or write: the server leaves the registry (unless
// another thread has replaced it) and its text becomes the error text.
void DropFailed(CMvCalculation& calc, const std::string& dataSource,
                const std::shared_ptr<COPCDAServer>& server, const std::string& errorText) {
    g_OPCServers->RemoveServer(dataSource, server);
    calc.SetError(errorText);
}

IMvParameter* ParameterAt(const ParamInfoTable& table, LONG index) {
    if (index < 0 || static_cast<std::size_t>(index) >= table.Records.size()) return nullptr;
    return table.Records[static_cast<std::size_t>(index)].Parameter.get();
}

}  // namespace

void MapOpcQuality(WORD quality, SHORT* status, SHORT* level) noexcept {
    switch (quality & OPC_QUALITY_MASK) {
        case OPC_QUALITY_GOOD:
            *status = -1;
            *level = 0;
            break;
        case OPC_QUALITY_UNCERTAIN:
            *status = -3;
            *level = 1;
            break;
        default:  // bad, and the class 0x80 that OPC does not define
            *status = -6;
            *level = 2;
            break;
    }
}

HRESULT CMvCalculation::ReadOpcBindings(const ParamInfoTable& table, const OpcBindingMap& map,
                                        SHORT* worstLevel, SHORT* worstStatus) {
    if (!g_OPCServers) {
        SetError(kNoRegistry);
        return S_OK;
    }
    for (const auto& [name, items] : map) {
        std::vector<mv::Variant> values;
        std::vector<WORD> qualities;
        std::vector<FILETIME> stamps;
        std::string errorText;
        std::shared_ptr<COPCDAServer> server = ServerOf(*this, items.DataSourceName);
        if (!server) break;
        if (FAILED(server->ReadOpcItems(items.ItemIDs, values, qualities, stamps, errorText))) {
            DropFailed(*this, items.DataSourceName, server, errorText);
            break;
        }
        const std::size_t n = items.ParameterIndexes.size();
        for (std::size_t i = 0;
             i < n && i < values.size() && i < qualities.size() && i < stamps.size(); ++i) {
            IMvParameter* p = ParameterAt(table, items.ParameterIndexes[i]);
            if (!p) continue;
            // A value that could not be stored for lack of memory fails the
            // run rather than leave the old one with the new time and quality.
            MvThrowIfOutOfMemory(p->put_Value(values[i]));
            p->put_TimeStamp(LocalDate(stamps[i]));
            SHORT status = 0, level = 0;
            MapOpcQuality(qualities[i], &status, &level);
            p->put_Status(status);
            p->put_Level(level);
            if (worstLevel && worstStatus && level > *worstLevel) {
                *worstLevel = level;
                *worstStatus = status;
            }
        }
    }
    return S_OK;
}

HRESULT CMvCalculation::WriteOpcBindings(const ParamInfoTable& table, const OpcBindingMap& map) {
    if (!g_OPCServers) {
        SetError(kNoRegistry);
        return S_OK;
    }
    for (const auto& [name, items] : map) {
        OpcValueArray values(items.ParameterIndexes.size());
        for (std::size_t i = 0; i < values.Size(); ++i)
            if (IMvParameter* p = ParameterAt(table, items.ParameterIndexes[i]))
                MvThrowIfOutOfMemory(p->get_Value(&values[i]));  // else Empty is written
        std::string errorText;
        std::shared_ptr<COPCDAServer> server = ServerOf(*this, items.DataSourceName);
        if (!server) break;
        if (FAILED(server->WriteOpcItems(items.ItemIDs, values.Data(), errorText))) {
            DropFailed(*this, items.DataSourceName, server, errorText);
            break;
        }
    }
    return S_OK;
}

void CMvCalculation::OpcBatchStep(const MvBindingCall& call) {
    if (!call.OpcBatches) return;
    OpcBindingMap map;
    for (const auto& [name, entries] : *call.OpcBatches) {
        OpcServerItems& items = map[name];
        items.DataSourceName = name;
        for (const auto& [item, index] : entries) {
            items.ItemIDs.push_back(item);
            items.ParameterIndexes.push_back(index);
        }
    }
    if (call.Pass == INPUT_PASS)
        call.Calculation->ReadOpcBindings(*call.Table, map, call.Level, call.Status);
    else
        call.Calculation->WriteOpcBindings(*call.Table, map);
}
