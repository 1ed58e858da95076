// Data-set bindings: the input pass fills each data set of the calculation
// from its ADO query, then a parameter bound to a data set reads one cell of
// its rows. Data sets are input only.
#include <cstdio>
#include <exception>
#include <string>

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/hosted_servers.h"
#include "frame/object_server.h"
#include "frame/trace.h"

namespace {

// The text of a failed call's VARIANT: its string when it holds one.
std::string TextOf(const VARIANT& v) {
    return v.vt == VT_BSTR && v.bstrVal ? mv::ToUtf8(v.bstrVal) : std::string();
}

// Runs the query of a connected data set and stores its rows; the error
// text, or "" when the rows were stored. The record set is released here,
// also when a call throws.
std::string QueryRows(IDispatch* server, IMvDataSet* dataSet, BSTR connection, BSTR query) {
    mv::Variant errorText;
    mv::ComPtr<IDispatch> recordSet;
    recordSet.Attach(AdoServer_Call60030000(server, &connection, &query, &errorText));
    if (!recordSet) {
        // The next run connects again; a refusal without a text still
        // stops this run before the formula reads old rows.
        dataSet->put_AdoConnected(0);
        const std::string text = TextOf(errorText);
        return text.empty() ? "Query error." : text;
    }
    VARIANT_BOOL flag = VARIANT_FALSE;
    mv::Variant rows;
    IDispatch* set = recordSet.get();
    mv::Variant result = AdoServer_Call60030004(server, &set, &flag, &rows);
    if (result.vt == VT_BOOL) {
        dataSet->put_Data(rows);
        return {};
    }
    if (result.vt == VT_BSTR) return TextOf(result);
    mv::Variant code;
    if (FAILED(VariantChangeType(&code, &result, 0, VT_I4))) return "Query error.";
    return "Query error: " + std::to_string(code.lVal) + ".";
}

}  // namespace

void CMvCalculation::ReadAdoDataSets(CMvCalculation& calc, LONG mode, IMvDataSet* dataSet) {
    if (mode != 1 || !dataSet) return;
    MvStepFrame step("CMvCalculation::ReadAdoDataSets");
    std::string error;
    mv::Bstr connection;
    dataSet->get_ConnectionName(connection.Out());
    mv::ComPtr<IDispatch> server;
    server.Attach(ObjectServer_GetAdoServer());
    if (!server) {
        CharString text;
        const HRESULT hr = ObjectServer_CheckAdoServer(text);
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, " (code: 0x%lx).",
                      static_cast<unsigned long>(static_cast<ULONG>(hr)));
        error = "Failed to get COM dispatch interface. " + std::string(text.CStr()) + buffer;
    } else {
        try {
            LONG connected = 0;
            bool justConnected = false;
            mv::Bstr query;
            dataSet->get_AdoConnected(&connected);
            dataSet->get_QueryString(query.Out());
            if (connected == 0) {
                mv::Bstr user, password;
                LONG options = 0;
                dataSet->get_UserID(user.Out());
                dataSet->get_Password(password.Out());
                dataSet->get_Options(&options);
                BSTR name = connection.get(), userId = user.get(), word = password.get();
                mv::Variant result =
                    AdoServer_Call60030001(server.get(), &name, &userId, &word, &options);
                if (result.vt == VT_BOOL && result.boolVal) {
                    connected = 1;
                    justConnected = true;
                    dataSet->put_AdoConnected(1);
                } else {
                    error = "Error opening ADO connection.";
                    if (result.vt == VT_BSTR) error += " " + TextOf(result);
                }
            }
            if (connected != 0) {
                LONG staticData = 0;
                dataSet->get_StaticData(&staticData);
                if (justConnected || staticData == 0)
                    error = QueryRows(server.get(), dataSet, connection.get(), query.get());
            }
        } catch (...) {
            error = AdoServer_ExceptionText(std::current_exception());
        }
    }
    server.Reset();
    if (error.empty()) return;
    mv::Bstr name;
    dataSet->get_Name(name.Out());
    calc.SetError("Error invoking ADO query for connection " + connection.Utf8() +
                  " (Data set name: " + name.Utf8() + "). " + error);
}

void CMvCalculation::DataSetBindingHandler(const MvBindingCall& call) {
    if (call.Record)
        call.Calculation->ReadDataSetBinding(call.Pass, *call.Record, call.Level, call.Status);
}

void CMvCalculation::ReadDataSetBinding(LONG pass, const ParamInfo& record, SHORT* level,
                                        SHORT* status) {
    mv::Bstr setName, columnName;
    LONG row = 0;
    record.Parameter->get_DataSetName(setName.Out());
    record.Parameter->get_ColumnName(columnName.Out());
    record.Parameter->get_RowNumber(&row);
    mv::ComPtr<IMvDataSet> dataSet;
    GetDataSet(setName.get(), dataSet.Put());
    if (!dataSet) {
        SetError("Binding Error: DataSet '" + setName.Utf8() + "' Not Found.");
        return;
    }
    mv::ComPtr<IMvObjCollection> columns;
    LONG index = 0;
    dataSet->get_Columns(columns.Put());
    if (columns) columns->IndexFromName(columnName.get(), &index);
    --index;
    if (index < 0) {
        SetError("Binding Error: DataSet " + setName.Utf8() + " Column '" + columnName.Utf8() +
                 "' Not Found.");
        return;
    }
    if (pass != 0) return;
    mv::Variant value;
    SHORT valueLevel = -1, valueStatus = -2;
    // A value that cannot be read or converted is taken as it comes; running
    // out of memory fails the run instead of passing an empty or unconverted
    // value for the parameter's.
    MvThrowIfOutOfMemory(
        dataSet->GetDS_Values(row, index, record.Type, 0, 0, &value, &valueLevel, &valueStatus));
    if (record.UnitConversionMultiplier != 0.0 && !(value.vt & VT_ARRAY)) {
        mv::Variant number;
        if (SUCCEEDED(MvThrowIfOutOfMemory(VariantChangeType(&number, &value, 0, VT_R8)))) {
            number.dblVal =
                (number.dblVal - record.UnitConversionOffset) / record.UnitConversionMultiplier;
            MvThrowIfOutOfMemory(VariantChangeType(&value, &number, 0, value.vt));
        }
    }
    MvThrowIfOutOfMemory(
        record.Parameter->SetParameterValues(&value, &valueLevel, &valueStatus, nullptr));
    if (level && status) {
        *level = *level == -1 ? valueLevel : WorseLevel(*level, valueLevel);
        *status = LevelToStatus(*level);
    }
}
