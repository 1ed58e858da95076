// The hosted-server stand-ins: five classes, their registration and the
// process-wide record of their calls.
#include <array>
#include <atomic>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "hosted_servers_sim.h"
#include "sys.h"

// Class identifiers of the stand-ins (their own; the servers' ProgIDs are
// what the module knows).
MV_DEFINE_GUID(CLSID_HostedExcelServer, 0x06BD5844, 0x7087, 0x4F12, 0xAD, 0x76, 0xB7, 0x8E, 0x12,
               0x4B, 0x03, 0x91);
MV_DEFINE_GUID(CLSID_HostedAdoServer, 0x1DFD123F, 0xBC51, 0x47A1, 0xA6, 0xB3, 0x4E, 0x07, 0x00,
               0xC7, 0x7B, 0x99);
MV_DEFINE_GUID(CLSID_HostedConfiguration, 0xC18FBB87, 0xB22C, 0x4B18, 0xB5, 0x9B, 0x49, 0x6A, 0x20,
               0x3F, 0xBF, 0x7F);
MV_DEFINE_GUID(CLSID_HostedControlRecipe, 0x0E6763B6, 0x058C, 0x4635, 0xA4, 0x1D, 0x5C, 0x83, 0x3C,
               0xA3, 0xCB, 0x53);
MV_DEFINE_GUID(CLSID_HostedDataAccess, 0x98302B41, 0xA595, 0x45EB, 0xB2, 0x74, 0x2B, 0xF6, 0xB0,
               0xF4, 0x93, 0x72);
MV_DEFINE_GUID(IID_IHostedExcelServer, 0xC95FF9BC, 0xB033, 0x459C, 0x9B, 0xA9, 0x9B, 0x73, 0xFC,
               0x57, 0x9D, 0x7C);
MV_DEFINE_GUID(IID_IHostedAdoServer, 0xC62AA4A7, 0xC7C3, 0x4333, 0xAA, 0x1E, 0x95, 0xE5, 0x9C, 0xB5,
               0x20, 0x1E);
MV_DEFINE_GUID(IID_IHostedRecipeServer, 0xD1E6BBE7, 0x855B, 0x41D0, 0xBB, 0x5D, 0x4F, 0x85, 0xDB,
               0x1C, 0xBF, 0x8A);

namespace hosted {

// The spreadsheet server's methods, every parameter by reference.
struct IHostedExcelServer : IDispatch {
    virtual HRESULT OpenWorkbook(BSTR* workbook, VARIANT* result) = 0;
    virtual HRESULT CloseWorkbook(BSTR* workbook, VARIANT_BOOL* save, VARIANT* result) = 0;
    virtual HRESULT PutCell(BSTR* workbook, BSTR* sheet, SHORT* row, SHORT* column, VARIANT* value,
                            VARIANT* result) = 0;
    virtual HRESULT Recalculate(BSTR* workbook, BSTR* sheet, VARIANT* result) = 0;
    virtual HRESULT GetCell(BSTR* workbook, BSTR* sheet, SHORT* row, SHORT* column,
                            VARIANT* result) = 0;
    virtual HRESULT RunCommand(BSTR* workbook, BSTR* sheet, BSTR* command, VARIANT* result) = 0;
    virtual HRESULT PutRange(BSTR* workbook, BSTR* sheet, BSTR* name, VARIANT* value,
                             VARIANT* result) = 0;
    virtual HRESULT GetRange(BSTR* workbook, BSTR* sheet, BSTR* name, VARIANT* result) = 0;
    virtual HRESULT GetNames(BSTR* workbook, BSTR* sheet, VARIANT* result) = 0;
};

// The ADO server's methods, every parameter by reference.
struct IHostedAdoServer : IDispatch {
    virtual HRESULT Query(BSTR* connection, BSTR* query, VARIANT* errorText, VARIANT* result) = 0;
    virtual HRESULT Connect(BSTR* connection, BSTR* user, BSTR* password, LONG* options,
                            VARIANT* result) = 0;
    virtual HRESULT Disconnect(BSTR* connection, VARIANT* result) = 0;
    virtual HRESULT FieldInfo(IDispatch** recordSet, VARIANT* names, VARIANT* types,
                              VARIANT* result) = 0;
    virtual HRESULT ReadRows(IDispatch** recordSet, VARIANT_BOOL* flag, VARIANT* rows,
                             VARIANT* result) = 0;
};

struct IHostedRecipeServer : IDispatch {
    virtual HRESULT get_ProgID(BSTR* progId) = 0;
};

}  // namespace hosted

MV_IID_OF(hosted::IHostedExcelServer, IID_IHostedExcelServer);
MV_IID_OF(hosted::IHostedAdoServer, IID_IHostedAdoServer);
MV_IID_OF(hosted::IHostedRecipeServer, IID_IHostedRecipeServer);

namespace hosted {

MV_DISPATCH_TABLE(
    IHostedExcelServer, mv::Method<&IHostedExcelServer::OpenWorkbook>(0x60030004, u"OpenWorkbook"),
    mv::Method<&IHostedExcelServer::CloseWorkbook, VT_EMPTY, VT_BOOL>(0x60030005, u"CloseWorkbook"),
    mv::Method<&IHostedExcelServer::PutCell>(0x60030007, u"PutCell"),
    mv::Method<&IHostedExcelServer::Recalculate>(0x60030008, u"Recalculate"),
    mv::Method<&IHostedExcelServer::GetCell>(0x60030009, u"GetCell"),
    mv::Method<&IHostedExcelServer::RunCommand>(0x6003000A, u"RunCommand"),
    mv::Method<&IHostedExcelServer::PutRange>(0x6003000E, u"PutRange"),
    mv::Method<&IHostedExcelServer::GetRange>(0x6003000F, u"GetRange"),
    mv::Method<&IHostedExcelServer::GetNames>(0x60030010, u"GetNames"))

MV_DISPATCH_TABLE(IHostedAdoServer, mv::Method<&IHostedAdoServer::Query>(0x60030000, u"Query"),
                  mv::Method<&IHostedAdoServer::Connect>(0x60030001, u"Connect"),
                  mv::Method<&IHostedAdoServer::Disconnect>(0x60030002, u"Disconnect"),
                  mv::Method<&IHostedAdoServer::FieldInfo>(0x60030003, u"FieldInfo"),
                  mv::Method<&IHostedAdoServer::ReadRows, VT_EMPTY, VT_BOOL>(0x60030004,
                                                                             u"ReadRows"))

MV_DISPATCH_TABLE(IHostedRecipeServer, mv::PropGet<&IHostedRecipeServer::get_ProgID>(1, u"ProgID"))

namespace {

constexpr const char* kProgIds[kServerCount] = {
    "MvFunctions.clsExcelServer", "MvFunctions.clsAdoServer", "MvDRVSVR.IConfiguration",
    "MvDRVSVR.IControlRecipe", "MvDRVSVR.IDataAccess"};

struct State {
    std::mutex m;
    std::vector<Call> calls;
    std::array<HRESULT, kServerCount> createFailure{};
    std::map<std::pair<int, DISPID>, mv::Variant> results;
    std::map<std::pair<int, DISPID>, std::pair<HRESULT, std::u16string>> failures;
    bool rewrite = false;
    std::array<std::atomic<int>, kServerCount> live{};
    std::array<int, kServerCount> creations{};
    std::array<DWORD, kServerCount> cookies{};  // class objects; 0 when not registered
};

State& S() {
    static State* s = new State;  // never destroyed: objects may outlive static destruction
    return *s;
}

int Index(Server s) {
    return static_cast<int>(s);
}

// One by-reference argument of a stand-in method.
struct Arg {
    enum Kind { Text, I2, I4, Bool, Var, Disp } kind;
    void* p;
};
Arg A(BSTR* p) {
    return {Arg::Text, p};
}
Arg A(SHORT* p) {
    return {Arg::I2, p};
}
Arg A(LONG* p) {
    return {Arg::I4, p};
}
Arg ABool(VARIANT_BOOL* p) {
    return {Arg::Bool, p};
}
Arg A(VARIANT* p) {
    return {Arg::Var, p};
}
Arg A(IDispatch** p) {
    return {Arg::Disp, p};
}

std::string Describe(const Arg& a) {
    switch (a.kind) {
        case Arg::Text: {
            BSTR b = *static_cast<BSTR*>(a.p);
            return b ? mv::ToUtf8(b) : "(null)";
        }
        case Arg::I2:
            return std::to_string(*static_cast<SHORT*>(a.p));
        case Arg::I4:
            return std::to_string(*static_cast<LONG*>(a.p));
        case Arg::Bool:
            return std::to_string(*static_cast<VARIANT_BOOL*>(a.p));
        case Arg::Var: {
            auto* v = static_cast<VARIANT*>(a.p);
            mv::Variant text;
            if (SUCCEEDED(VariantChangeType(&text, v, 0, VT_BSTR)) && text.vt == VT_BSTR)
                return mv::ToUtf8(text.bstrVal);
            return "vt=" + std::to_string(v->vt);
        }
        case Arg::Disp:
            return *static_cast<IDispatch**>(a.p) ? "object" : "(null)";
    }
    return {};
}

void Rewrite(const Arg& a) {
    switch (a.kind) {
        case Arg::Text: {
            auto* b = static_cast<BSTR*>(a.p);
            SysFreeString(*b);
            *b = SysAllocString(u"changed");
            break;
        }
        case Arg::I2:
            ++*static_cast<SHORT*>(a.p);
            break;
        case Arg::I4:
            ++*static_cast<LONG*>(a.p);
            break;
        case Arg::Bool: {
            auto* flag = static_cast<VARIANT_BOOL*>(a.p);
            *flag = *flag ? VARIANT_FALSE : VARIANT_TRUE;
            break;
        }
        case Arg::Var: {
            auto* v = static_cast<VARIANT*>(a.p);
            VariantClear(v);
            v->vt = VT_BSTR;
            v->bstrVal = SysAllocString(u"changed");
            break;
        }
        case Arg::Disp:
            break;
    }
}

// Records the call, then answers it as the control surface says.
HRESULT Serve(Server server, REFIID iid, DISPID id, std::initializer_list<Arg> args,
              VARIANT* result) {
    Call call{server, id, {}, std::this_thread::get_id()};
    for (const Arg& a : args) call.args.push_back(Describe(a));
    State& s = S();
    std::unique_lock lock(s.m);
    s.calls.push_back(std::move(call));
    auto key = std::make_pair(Index(server), id);
    if (auto f = s.failures.find(key); f != s.failures.end()) {
        std::u16string progId = mv::ToUtf16(kProgIds[Index(server)]);
        auto [code, text] = f->second;
        lock.unlock();
        return mv::ReportError(progId.c_str(), iid, text, code);
    }
    if (s.rewrite)
        for (const Arg& a : args) Rewrite(a);
    VariantInit(result);
    if (auto r = s.results.find(key); r != s.results.end()) return VariantCopy(result, &r->second);
    if (server == Server::Ado && id == 0x60030000) {
        result->vt = VT_DISPATCH;
        result->pdispVal = nullptr;
    }
    return S_OK;
}

// Counts the objects of one server; a creation failure set by a test makes
// the object's construction fail.
template <Server Kind>
class Counted {
protected:
    HRESULT Construct() {
        State& s = S();
        std::lock_guard lock(s.m);
        HRESULT hr = s.createFailure[Index(Kind)];
        if (FAILED(hr)) return hr;
        ++s.creations[Index(Kind)];
        ++s.live[Index(Kind)];
        counted_ = true;
        return S_OK;
    }
    void Destruct() {
        if (counted_) --S().live[Index(Kind)];
    }

private:
    bool counted_ = false;
};

class CHostedExcelServer : public mv::ComObjectRoot<CHostedExcelServer>,
                           public mv::DispatchImpl<IHostedExcelServer>,
                           private Counted<Server::Excel> {
public:
    using InterfaceMap = mv::Interfaces<IHostedExcelServer, mv::Via<IDispatch, IHostedExcelServer>>;
    HRESULT FinalConstruct() { return Construct(); }
    void FinalRelease() { Destruct(); }

    HRESULT OpenWorkbook(BSTR* workbook, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030004, {A(workbook)}, result);
    }
    HRESULT CloseWorkbook(BSTR* workbook, VARIANT_BOOL* save, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030005, {A(workbook), ABool(save)},
                     result);
    }
    HRESULT PutCell(BSTR* workbook, BSTR* sheet, SHORT* row, SHORT* column, VARIANT* value,
                    VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030007,
                     {A(workbook), A(sheet), A(row), A(column), A(value)}, result);
    }
    HRESULT Recalculate(BSTR* workbook, BSTR* sheet, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030008, {A(workbook), A(sheet)},
                     result);
    }
    HRESULT GetCell(BSTR* workbook, BSTR* sheet, SHORT* row, SHORT* column,
                    VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030009,
                     {A(workbook), A(sheet), A(row), A(column)}, result);
    }
    HRESULT RunCommand(BSTR* workbook, BSTR* sheet, BSTR* command, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x6003000A,
                     {A(workbook), A(sheet), A(command)}, result);
    }
    HRESULT PutRange(BSTR* workbook, BSTR* sheet, BSTR* name, VARIANT* value,
                     VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x6003000E,
                     {A(workbook), A(sheet), A(name), A(value)}, result);
    }
    HRESULT GetRange(BSTR* workbook, BSTR* sheet, BSTR* name, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x6003000F,
                     {A(workbook), A(sheet), A(name)}, result);
    }
    HRESULT GetNames(BSTR* workbook, BSTR* sheet, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030010, {A(workbook), A(sheet)},
                     result);
    }
};

class CHostedAdoServer : public mv::ComObjectRoot<CHostedAdoServer>,
                         public mv::DispatchImpl<IHostedAdoServer>,
                         private Counted<Server::Ado> {
public:
    using InterfaceMap = mv::Interfaces<IHostedAdoServer, mv::Via<IDispatch, IHostedAdoServer>>;
    HRESULT FinalConstruct() { return Construct(); }
    void FinalRelease() { Destruct(); }

    HRESULT Query(BSTR* connection, BSTR* query, VARIANT* errorText, VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030000,
                     {A(connection), A(query), A(errorText)}, result);
    }
    HRESULT Connect(BSTR* connection, BSTR* user, BSTR* password, LONG* options,
                    VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030001,
                     {A(connection), A(user), A(password), A(options)}, result);
    }
    HRESULT Disconnect(BSTR* connection, VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030002, {A(connection)}, result);
    }
    HRESULT FieldInfo(IDispatch** recordSet, VARIANT* names, VARIANT* types,
                      VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030003,
                     {A(recordSet), A(names), A(types)}, result);
    }
    HRESULT ReadRows(IDispatch** recordSet, VARIANT_BOOL* flag, VARIANT* rows,
                     VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030004,
                     {A(recordSet), ABool(flag), A(rows)}, result);
    }
};

template <Server Kind>
class CHostedRecipeServer : public mv::ComObjectRoot<CHostedRecipeServer<Kind>>,
                            public mv::DispatchImpl<IHostedRecipeServer>,
                            private Counted<Kind> {
public:
    using InterfaceMap =
        mv::Interfaces<IHostedRecipeServer, mv::Via<IDispatch, IHostedRecipeServer>>;
    HRESULT FinalConstruct() { return this->Construct(); }
    void FinalRelease() { this->Destruct(); }

    HRESULT get_ProgID(BSTR* progId) override {
        if (!progId) return E_POINTER;
        *progId = SysAllocString(mv::ToUtf16(kProgIds[Index(Kind)]).c_str());
        return *progId ? S_OK : E_OUTOFMEMORY;
    }
};

HRESULT MakeClassObject(Server s, IUnknown** out) {
    void** pv = reinterpret_cast<void**>(out);
    switch (s) {
        case Server::Excel:
            return mv::CreateClassFactory<CHostedExcelServer>(IID_IUnknown, pv);
        case Server::Ado:
            return mv::CreateClassFactory<CHostedAdoServer>(IID_IUnknown, pv);
        case Server::Configuration:
            return mv::CreateClassFactory<CHostedRecipeServer<Server::Configuration>>(IID_IUnknown,
                                                                                      pv);
        case Server::ControlRecipe:
            return mv::CreateClassFactory<CHostedRecipeServer<Server::ControlRecipe>>(IID_IUnknown,
                                                                                      pv);
        case Server::DataAccess:
            return mv::CreateClassFactory<CHostedRecipeServer<Server::DataAccess>>(IID_IUnknown,
                                                                                   pv);
    }
    return E_INVALIDARG;
}

HRESULT WriteProgIdKey(Server s) {
    std::string path = std::string(kProgIds[Index(s)]) + "\\CLSID";
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    std::string text = mv::GuidToString(ClassId(s));
    rc = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

}  // namespace

const char* ProgId(Server s) {
    return kProgIds[Index(s)];
}

const CLSID& ClassId(Server s) {
    static const CLSID* const ids[kServerCount] = {
        &CLSID_HostedExcelServer, &CLSID_HostedAdoServer, &CLSID_HostedConfiguration,
        &CLSID_HostedControlRecipe, &CLSID_HostedDataAccess};
    return *ids[Index(s)];
}

HRESULT RegisterServers(unsigned mask) {
    HRESULT first = S_OK;
    State& s = S();
    for (int i = 0; i < kServerCount; ++i) {
        auto server = static_cast<Server>(i);
        if (!(mask & Bit(server))) continue;
        HRESULT hr = WriteProgIdKey(server);
        {
            std::lock_guard lock(s.m);
            if (SUCCEEDED(hr) && s.cookies[i] == 0) {
                IUnknown* factory = nullptr;
                hr = MakeClassObject(server, &factory);
                if (SUCCEEDED(hr)) {
                    hr = CoRegisterClassObject(ClassId(server), factory, CLSCTX_INPROC_SERVER,
                                               REGCLS_MULTIPLEUSE, &s.cookies[i]);
                    factory->Release();
                }
            }
        }
        if (FAILED(hr) && first == S_OK) first = hr;
    }
    return first;
}

void RevokeServers() {
    State& s = S();
    std::array<DWORD, kServerCount> cookies{};
    {
        std::lock_guard lock(s.m);
        std::swap(cookies, s.cookies);
    }
    for (int i = 0; i < kServerCount; ++i) {
        if (cookies[i]) CoRevokeClassObject(cookies[i]);
        std::string progId = kProgIds[i];
        RegDeleteKeyA(HKEY_CLASSES_ROOT, (progId + "\\CLSID").c_str());
        RegDeleteKeyA(HKEY_CLASSES_ROOT, progId.c_str());
    }
}

std::vector<Call> Calls() {
    State& s = S();
    std::lock_guard lock(s.m);
    return s.calls;
}

void SetCreateFailure(Server server, HRESULT hr) {
    State& s = S();
    std::lock_guard lock(s.m);
    s.createFailure[Index(server)] = hr;
}

void SetResult(Server server, DISPID id, const VARIANT& result) {
    mv::Variant copy(result);
    State& s = S();
    std::lock_guard lock(s.m);
    s.results[{Index(server), id}] = std::move(copy);
}

void SetFailure(Server server, DISPID id, HRESULT code, std::u16string description) {
    State& s = S();
    std::lock_guard lock(s.m);
    s.failures[{Index(server), id}] = {code, std::move(description)};
}

void SetRewriteArguments(bool on) {
    State& s = S();
    std::lock_guard lock(s.m);
    s.rewrite = on;
}

int LiveObjects(Server server) {
    return S().live[Index(server)].load();
}

int Creations(Server server) {
    State& s = S();
    std::lock_guard lock(s.m);
    return s.creations[Index(server)];
}

void Reset() {
    State& s = S();
    std::map<std::pair<int, DISPID>, mv::Variant> results;
    {
        std::lock_guard lock(s.m);
        s.calls.clear();
        s.createFailure.fill(S_OK);
        std::swap(results, s.results);
        s.failures.clear();
        s.rewrite = false;
        s.creations.fill(0);
    }
    // Held objects are released outside the lock.
}

}  // namespace hosted
