// The hosted-server stand-ins: the spreadsheet server, the registration of
// all five and the process-wide record of their calls.
#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "hosted_internal.h"
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

}  // namespace hosted

MV_IID_OF(hosted::IHostedExcelServer, IID_IHostedExcelServer);

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

namespace detail {

namespace {

constexpr const char* kProgIds[kServerCount] = {
    "MvFunctions.clsExcelServer", "MvFunctions.clsAdoServer", "MvDRVSVR.IConfiguration",
    "MvDRVSVR.IControlRecipe", "MvDRVSVR.IDataAccess"};

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
    if (a.byValue) return;
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

}  // namespace

State& S() {
    static State* s = new State;  // never destroyed: objects may outlive static destruction
    return *s;
}

HRESULT Serve(Server server, REFIID iid, DISPID id, std::initializer_list<Arg> args,
              VARIANT* result, const Behaviour& real) {
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
    if (real && !s.rewrite) {
        lock.unlock();
        return real(result);
    }
    if (server == Server::Ado && id == 0x60030000) {
        result->vt = VT_DISPATCH;
        result->pdispVal = nullptr;
    }
    return S_OK;
}

bool Refused(Server server, DISPID id, std::u16string* text) {
    State& s = S();
    std::lock_guard lock(s.m);
    auto r = s.refusals.find({Index(server), id});
    if (r == s.refusals.end()) return false;
    *text = r->second;
    return true;
}

HRESULT ProgIdOf(Server s, BSTR* progId) {
    if (!progId) return E_POINTER;
    *progId = SysAllocString(mv::ToUtf16(kProgIds[Index(s)]).c_str());
    return *progId ? S_OK : E_OUTOFMEMORY;
}

void SetErrorText(BSTR* errorText, std::u16string_view text) {
    if (!errorText || text.empty()) return;
    SysFreeString(*errorText);
    *errorText = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

namespace {

// Turns a workbook answer into the method's result: a failure text raises
// a dispatch exception of the server.
template <class Work>
Behaviour Answer(Work work) {
    return [work](VARIANT* result) -> HRESULT {
        std::u16string failure = work(result);
        if (failure.empty()) return S_OK;
        return mv::ReportError(u"MvFunctions.clsExcelServer", IID_IHostedExcelServer, failure,
                               E_FAIL);
    };
}

class CHostedExcelServer : public mv::ComObjectRoot<CHostedExcelServer>,
                           public mv::DispatchImpl<IHostedExcelServer>,
                           private Counted<Server::Excel> {
public:
    using InterfaceMap = mv::Interfaces<IHostedExcelServer, mv::Via<IDispatch, IHostedExcelServer>>;
    HRESULT FinalConstruct() { return Construct(); }
    void FinalRelease() { Destruct(); }

    HRESULT OpenWorkbook(BSTR* workbook, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030004, {A(workbook)}, result,
                     Answer([=](VARIANT* r) { return ExcelOpen(*workbook, r); }));
    }
    HRESULT CloseWorkbook(BSTR* workbook, VARIANT_BOOL* save, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030005, {A(workbook), ABool(save)},
                     result, Answer([=](VARIANT*) { return ExcelClose(*workbook); }));
    }
    HRESULT PutCell(BSTR* workbook, BSTR* sheet, SHORT* row, SHORT* column, VARIANT* value,
                    VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030007,
                     {A(workbook), A(sheet), A(row), A(column), A(value)}, result,
                     Answer([=](VARIANT* r) {
                         return ExcelPutCell(*workbook, *sheet, *row, *column, value, r);
                     }));
    }
    HRESULT Recalculate(BSTR* workbook, BSTR* sheet, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030008, {A(workbook), A(sheet)},
                     result, Answer([=](VARIANT*) { return ExcelRecalculate(*workbook, *sheet); }));
    }
    HRESULT GetCell(BSTR* workbook, BSTR* sheet, SHORT* row, SHORT* column,
                    VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030009,
                     {A(workbook), A(sheet), A(row), A(column)}, result, Answer([=](VARIANT* r) {
                         return ExcelGetCell(*workbook, *sheet, *row, *column, r);
                     }));
    }
    HRESULT RunCommand(BSTR* workbook, BSTR* sheet, BSTR* command, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x6003000A,
                     {A(workbook), A(sheet), A(command)}, result, Answer([=](VARIANT* r) {
                         return ExcelCommand(*workbook, *sheet, *command, r);
                     }));
    }
    HRESULT PutRange(BSTR* workbook, BSTR* sheet, BSTR* name, VARIANT* value,
                     VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x6003000E,
                     {A(workbook), A(sheet), A(name), A(value)}, result, Answer([=](VARIANT* r) {
                         return ExcelPutName(*workbook, *sheet, *name, value, r);
                     }));
    }
    HRESULT GetRange(BSTR* workbook, BSTR* sheet, BSTR* name, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x6003000F,
                     {A(workbook), A(sheet), A(name)}, result,
                     Answer([=](VARIANT* r) { return ExcelGetName(*workbook, *sheet, *name, r); }));
    }
    HRESULT GetNames(BSTR* workbook, BSTR* sheet, VARIANT* result) override {
        return Serve(Server::Excel, IID_IHostedExcelServer, 0x60030010, {A(workbook), A(sheet)},
                     result, Answer([=](VARIANT* r) { return ExcelNames(*workbook, *sheet, r); }));
    }
};

HRESULT MakeClassObject(Server s, IUnknown** out) {
    switch (s) {
        case Server::Excel:
            return mv::CreateClassFactory<CHostedExcelServer>(IID_IUnknown,
                                                              reinterpret_cast<void**>(out));
        case Server::Ado:
            return MakeAdoClassObject(out);
        default:
            return MakeRecipeClassObject(s, out);
    }
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
}  // namespace detail

using namespace detail;

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

int CallCount(Server server, DISPID id) {
    State& s = S();
    std::lock_guard lock(s.m);
    return static_cast<int>(std::count_if(s.calls.begin(), s.calls.end(), [&](const Call& c) {
        return c.server == server && c.id == id;
    }));
}

int Count(Counter c) {
    return S().counters[static_cast<int>(c)].load();
}

void SetRefusal(Server server, DISPID id, bool on, std::u16string text) {
    State& s = S();
    std::lock_guard lock(s.m);
    if (on)
        s.refusals[{Index(server), id}] = std::move(text);
    else
        s.refusals.erase({Index(server), id});
}

void Reset() {
    State& s = S();
    std::map<std::pair<int, DISPID>, mv::Variant> results;
    std::map<std::tuple<SHORT, SHORT, SHORT>, mv::Variant> values;
    {
        std::lock_guard lock(s.m);
        s.calls.clear();
        s.createFailure.fill(S_OK);
        std::swap(results, s.results);
        s.failures.clear();
        s.refusals.clear();
        s.rewrite = false;
        s.creations.fill(0);
        for (Counter c : {Counter::AdoConnects, Counter::AdoQueries, Counter::AdoFetches})
            s.counters[static_cast<int>(c)] = 0;
        s.controlIds.clear();
        std::swap(values, s.recipeValues);
    }
    ResetWorkbooks();
    // Held objects are released outside the lock.
}

}  // namespace hosted
