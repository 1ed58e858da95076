// The environment's ADO bridge: editors open and close ADO connections and
// learn a query's fields through the ADO server that the object-server
// thread hosts. Every outcome lies in ErrorText; each method returns S_OK.
#include <exception>

#include "environment/calc_environment.h"
#include "frame/hosted_servers.h"
#include "frame/object_server.h"
#include "frame/trace.h"
#include "persistence/calc_value_list.h"

namespace {

// Runs `call` with the ADO server, or records why there is none: the
// thread's text, or VT_I4 187 without one. ErrorText is cleared first, so an
// earlier value is never left behind or leaked.
template <class Call>
void WithAdoServer(VARIANT* errorText, Call&& call) {
    MvRequirePointer(errorText);
    VariantClear(errorText);
    mv::ComPtr<IDispatch> server;
    server.Attach(ObjectServer_GetAdoServer());
    if (!server) {
        CharString text;
        ObjectServer_CheckAdoServer(text);
        mv::Variant reason =
            *text.CStr() ? mv::Variant(mv::ToUtf16(text.CStr())) : mv::Variant(LONG{187});
        *errorText = reason.Detach();
        return;
    }
    mv::Variant result;
    try {
        result = call(server.get());
    } catch (...) {
        result = mv::Variant(mv::ToUtf16(AdoServer_ExceptionText(std::current_exception())));
    }
    VariantClear(errorText);
    *errorText = result.Detach();
}

}  // namespace

HRESULT CMvCalcEnvironment::AdoConnect(BSTR* Connect, BSTR* UserID, BSTR* Password, LONG Options,
                                       VARIANT* ErrorText) {
    return MvMethodFrame("CMvCalcEnvironment::AdoConnect", [&] {
        WithAdoServer(ErrorText, [&](IDispatch* server) {
            return AdoServer_Call60030001(server, Connect, UserID, Password, &Options);
        });
    });
}

HRESULT CMvCalcEnvironment::AdoClose(BSTR* Connection, VARIANT* ErrorText) {
    return MvMethodFrame("CMvCalcEnvironment::AdoClose", [&] {
        WithAdoServer(ErrorText, [&](IDispatch* server) {
            return AdoServer_Call60030002(server, Connection);
        });
    });
}

HRESULT CMvCalcEnvironment::AdoQueryInfo(BSTR* Connection, BSTR* QueryDefinition,
                                         VARIANT* FieldNames, VARIANT* FieldTypes,
                                         VARIANT* ErrorText) {
    return MvMethodFrame("CMvCalcEnvironment::AdoQueryInfo", [&] {
        MvRequirePointer(FieldNames);
        MvRequirePointer(FieldTypes);
        WithAdoServer(ErrorText, [&](IDispatch* server) {
            // The server may leave its refusal in ErrorText; the record set
            // is released also when the field call throws.
            mv::Variant error;
            mv::ComPtr<IDispatch> recordSet;
            recordSet.Attach(AdoServer_Call60030000(server, Connection, QueryDefinition, &error));
            if (!recordSet) return error;
            IDispatch* set = recordSet.get();
            return AdoServer_Call60030003(server, &set, FieldNames, FieldTypes);
        });
    });
}
