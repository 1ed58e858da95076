// Recipe bindings of a run: a parameter bound to one parameter of one item
// of the calculation's control recipe is read in the input pass and written
// in the output pass through the control-recipe server. Failures are
// appended to the run's error text, one line each, so that every failing
// recipe parameter of a pass shows.
#include <new>
#include <string>

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/hosted_servers.h"
#include "frame/object_server.h"
#include "frame/trace.h"
#include "sources/dravik_connect.h"

namespace {

constexpr const char* kNoConnection = "Failed to connect to Morva Process Recipe Data Source";
constexpr const char* kNoServer = "GetDravikRecipeDispatch failed";

// The connection the run uses, with a reference of the run's own: the one
// held, or a new one when none is held and a connection attempt is allowed.
// A failed attempt disallows further ones until the next input pass; its
// text goes to `error`.
mv::ComPtr<IDispatch> Connection(IMvDravikConnect* recipe, std::string& error) {
    mv::ComPtr<IDispatch> connection;
    if (!recipe) return connection;
    recipe->get_DravikDataConnection(connection.Put());
    if (connection || recipe->TryDravikConnect() != S_OK) return connection;
    mv::Bstr text;
    if (recipe->DravikOpenConnection(text.Out()) == S_OK)
        recipe->get_DravikDataConnection(connection.Put());
    else
        recipe->DisableDravikConnect();
    if (text.get() && SysStringLen(text.get()) != 0) error = text.Utf8();
    return connection;
}

bool ShortId(LONG id) {
    return id >= -32768 && id <= 32767;
}

}  // namespace

void CMvCalculation::DravikBindingHandler(const MvBindingCall& call) {
    if (call.Record)
        call.Calculation->ProcessDravikBinding(call.Pass, *call.Record, call.Level, call.Status);
}

void CMvCalculation::ProcessDravikBinding(LONG pass, const ParamInfo& record, SHORT* level,
                                          SHORT* status) {
    MvStepFrame step("CMvCalculation::ProcessDravikBinding");
    std::string error;
    bool outOfMemory = false;
    SHORT valueLevel = mvcNO_QLEVEL, valueStatus = mvcQSTATUS_NO_STATUS;
    mv::ComPtr<IMvDravikConnect> recipe;
    {
        mv::ObjectLock lock(this);
        recipe = mv::ComPtr<IMvDravikConnect>(m_DravikConnect);
    }
    mv::ComPtr<IDispatch> connection = Connection(recipe.get(), error);
    mv::ComPtr<IDispatch> server;
    if (!connection) {
        if (error.empty()) error = kNoConnection;
    } else if (server.Attach(ObjectServer_GetControlRecipeServer()), !server) {
        error = kNoServer;
    } else if (IMvParameter* parameter = record.Parameter.get()) {
        SHORT controlId = 0;
        recipe->get_DravikControlID(&controlId);
        LONG itemId = 0, parameterId = 0;
        parameter->get_ItemID(&itemId);
        parameter->get_ParameterID(&parameterId);
        const std::string prefix = record.Name + " Binding: ";
        mv::Bstr serverText;
        IDispatch* raw = connection.get();
        if (!ShortId(itemId) || !ShortId(parameterId)) {
            error = prefix + "item or parameter ID out of range";
        } else if (pass == INPUT_PASS) {
            mv::Variant value;
            if (ControlRecipeServer_Call60030000(
                    server.get(), &raw, controlId, static_cast<SHORT>(itemId),
                    static_cast<SHORT>(parameterId), &value, serverText.Out())) {
                // A value that does not convert is stored empty; running out
                // of memory fails the run once the connection is sorted out.
                mv::Variant converted;
                outOfMemory =
                    CalcVariantChangeType(&converted, &value, record.Type) == E_OUTOFMEMORY ||
                    parameter->SetParameterValues(&converted, &valueLevel, &valueStatus, nullptr) ==
                        E_OUTOFMEMORY;
                if (level && status) {
                    if (*level != mvcNO_QLEVEL) *level = WorseLevel(mvcNO_QLEVEL, *level);
                    *status = LevelToStatus(*level);
                }
            } else {
                error = prefix + serverText.Utf8();
            }
        } else {
            mv::Variant value;
            outOfMemory = parameter->get_Value(&value) == E_OUTOFMEMORY;
            if (!outOfMemory && !ControlRecipeServer_Call60030001(
                                    server.get(), &raw, controlId, static_cast<SHORT>(itemId),
                                    static_cast<SHORT>(parameterId), value, serverText.Out()))
                error = prefix + serverText.Utf8();
        }
        // A server that replaced the by-reference connection released the
        // run's reference to the old one and handed over one to the new.
        if (raw != connection.get()) {
            connection.Detach();
            connection.Attach(raw);
        }
    }
    if (outOfMemory) throw std::bad_alloc();
    if (!error.empty()) AppendErrorLine(error);
}
