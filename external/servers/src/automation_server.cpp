// The general automation server for tests: members declared at run time,
// a hand-written IDispatch over them, failure injection and observation.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "automation_server_sim.h"
#include "exceptions.h"
#include "sys.h"

MV_DEFINE_GUID(CLSID_AutomationTestServer, 0x5B0D7C1E, 0x3A41, 0x4F6C, 0x9E, 0x52, 0x71, 0xC8, 0x0B,
               0x6D, 0x2F, 0x94);

namespace autoserver {
namespace {

std::u16string Folded(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

struct Member {
    bool method = false;
    mv::Variant initial;  // a property's declared value
    MethodBody body;
    DISPID id = DISPID_UNKNOWN;  // given at the first lookup
    int lookups = 0;
    int invocations = 0;
    HRESULT failure = S_OK;
    std::u16string description;
    Throw thrown = Throw::None;
    std::string text;
    HRESULT code = E_FAIL;
};

class CAutomationObject;

struct State {
    std::mutex m;
    std::map<std::u16string, Member> members;  // by folded name
    DISPID nextId = 1;
    int creations = 0;
    HRESULT creationFailure = S_OK;
    std::string lookupThrow;
    std::vector<CAutomationObject*> live;
    DWORD cookie = 0;
};

State& S() {
    static State* state = new State;  // outlives every object of any test
    return *state;
}

Member* ById(State& s, DISPID id) {
    for (auto& [name, member] : s.members)
        if (member.id == id) return &member;
    return nullptr;
}

class TestFrameworkException : public CException {
public:
    explicit TestFrameworkException(std::string text) : m_Text(std::move(text)) {}

protected:
    std::string Message() const override { return m_Text; }

private:
    std::string m_Text;
};

[[noreturn]] void ThrowInjected(const Member& m) {
    switch (m.thrown) {
        case Throw::Dispatch:
            throw COleDispatchException(m.code, mv::ToUtf16(m.text), u"MvTest.Automation");
        case Throw::Framework:
            throw TestFrameworkException(m.text);
        case Throw::Logic:
            throw std::logic_error(m.text);
        case Throw::Runtime:
            throw std::runtime_error(m.text);
        case Throw::Long:
            throw static_cast<long>(m.code);
        case Throw::Int:
            throw static_cast<int>(m.code);
        case Throw::Text: {
            static thread_local std::string text;
            text = m.text;
            throw text.c_str();
        }
        default:
            throw 1.5;
    }
}

class CAutomationObject : public mv::ComObjectRoot<CAutomationObject>,
                          public IDispatch,
                          public Instance {
public:
    using InterfaceMap = mv::Interfaces<IDispatch>;

    HRESULT FinalConstruct() {
        State& s = S();
        std::lock_guard lock(s.m);
        if (FAILED(s.creationFailure)) return s.creationFailure;
        m_Serial = ++s.creations;
        m_Creator = std::this_thread::get_id();
        s.live.push_back(this);
        m_Counted = true;
        return S_OK;
    }
    void FinalRelease() {
        if (!m_Counted) return;
        State& s = S();
        std::lock_guard lock(s.m);
        s.live.erase(std::find(s.live.begin(), s.live.end(), this));
    }

    InstanceInfo Info() const { return {m_Serial, m_Creator, static_cast<ULONG>(refs_.load())}; }

    // Instance
    int Serial() const override { return m_Serial; }
    mv::Variant Get(std::u16string_view property) const override {
        std::lock_guard lock(m_Lock);
        auto it = m_Properties.find(Folded(property));
        if (it != m_Properties.end()) return it->second;
        State& s = S();
        std::lock_guard members(s.m);
        auto declared = s.members.find(Folded(property));
        return declared != s.members.end() ? declared->second.initial : mv::Variant();
    }
    void Set(std::u16string_view property, const VARIANT& value) override {
        mv::Variant copy;
        VariantCopyInd(&copy, &value);
        std::lock_guard lock(m_Lock);
        m_Properties[Folded(property)] = std::move(copy);
    }

    // IDispatch
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (!ppTInfo) return E_POINTER;
        *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                          DISPID* rgDispId) override {
        if (!rgszNames || !rgDispId) return E_POINTER;
        State& s = S();
        std::lock_guard lock(s.m);
        if (!s.lookupThrow.empty()) throw std::runtime_error(s.lookupThrow);
        HRESULT hr = S_OK;
        for (UINT i = 0; i < cNames; ++i) {
            rgDispId[i] = DISPID_UNKNOWN;
            auto it = s.members.find(Folded(rgszNames[i] ? rgszNames[i] : u""));
            if (it == s.members.end()) {
                hr = DISP_E_UNKNOWNNAME;
                continue;
            }
            Member& m = it->second;
            ++m.lookups;
            if (m.id == DISPID_UNKNOWN) m.id = s.nextId++;
            rgDispId[i] = m.id;
        }
        return hr;
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT*) override {
        if (!pDispParams) return E_INVALIDARG;
        std::u16string name;
        Member member;
        {
            State& s = S();
            std::lock_guard lock(s.m);
            Member* found = ById(s, dispIdMember);
            if (!found) return DISP_E_MEMBERNOTFOUND;
            ++found->invocations;
            member = *found;
            for (auto& [key, m] : s.members)
                if (&m == found) name = key;
        }
        if (member.thrown != Throw::None) ThrowInjected(member);
        if (FAILED(member.failure)) {
            if (pExcepInfo && !member.description.empty()) {
                pExcepInfo->bstrDescription = SysAllocString(member.description.c_str());
                pExcepInfo->bstrSource = SysAllocString(u"MvTest.Automation");
                pExcepInfo->bstrHelpFile = SysAllocString(u"automation.hlp");
                pExcepInfo->scode = member.failure;
            }
            return member.failure;
        }
        if (member.method) {
            if (!(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
            mv::Variant result;
            HRESULT hr = member.body ? member.body(*this, *pDispParams, &result) : S_OK;
            if (pVarResult && SUCCEEDED(hr)) *pVarResult = result.Detach();
            return hr;
        }
        if (wFlags & DISPATCH_PROPERTYGET) {
            if (pDispParams->cArgs != 0) return DISP_E_BADPARAMCOUNT;
            if (!pVarResult) return E_INVALIDARG;
            *pVarResult = Get(name).Detach();
            return S_OK;
        }
        if (wFlags & DISPATCH_PROPERTYPUT) {
            if (pDispParams->cArgs != 1) return DISP_E_BADPARAMCOUNT;
            if (pDispParams->cNamedArgs != 1 || !pDispParams->rgdispidNamedArgs ||
                pDispParams->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
                return DISP_E_PARAMNOTFOUND;
            Set(name, pDispParams->rgvarg[0]);
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    int m_Serial = 0;
    std::thread::id m_Creator;
    bool m_Counted = false;
    mutable std::mutex m_Lock;
    std::map<std::u16string, mv::Variant> m_Properties;
};

Member& Declared(State& s, std::u16string_view name) {
    return s.members[Folded(name)];
}

}  // namespace

const CLSID& ClassId() {
    return CLSID_AutomationTestServer;
}

HRESULT Register() {
    const std::string key = mv::ToUtf8(kProgId) + "\\CLSID";
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    const std::string text = mv::GuidToString(ClassId());
    rc = RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    State& s = S();
    std::lock_guard lock(s.m);
    if (s.cookie != 0) return S_OK;
    return mv::RegisterClassObject<CAutomationObject>(ClassId(), &s.cookie);
}

void Revoke() {
    DWORD cookie = 0;
    {
        State& s = S();
        std::lock_guard lock(s.m);
        cookie = std::exchange(s.cookie, 0);
    }
    if (cookie) CoRevokeClassObject(cookie);
    const std::string progId = mv::ToUtf8(kProgId);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, (progId + "\\CLSID").c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, progId.c_str());
}

void Reset() {
    State& s = S();
    std::lock_guard lock(s.m);
    s.members.clear();
    s.nextId = 1;
    s.creations = 0;
    s.creationFailure = S_OK;
    s.lookupThrow.clear();
}

void DeclareProperty(std::u16string_view name, const VARIANT& initial) {
    State& s = S();
    std::lock_guard lock(s.m);
    Member& m = Declared(s, name);
    m.method = false;
    m.initial = mv::Variant(initial);
}

void DeclareMethod(std::u16string_view name, MethodBody body) {
    State& s = S();
    std::lock_guard lock(s.m);
    Member& m = Declared(s, name);
    m.method = true;
    m.body = std::move(body);
}

int Lookups(std::u16string_view name) {
    State& s = S();
    std::lock_guard lock(s.m);
    auto it = s.members.find(Folded(name));
    return it == s.members.end() ? 0 : it->second.lookups;
}

int Invocations(std::u16string_view name) {
    State& s = S();
    std::lock_guard lock(s.m);
    auto it = s.members.find(Folded(name));
    return it == s.members.end() ? 0 : it->second.invocations;
}

int Creations() {
    State& s = S();
    std::lock_guard lock(s.m);
    return s.creations;
}

std::vector<InstanceInfo> LiveInstances() {
    State& s = S();
    std::lock_guard lock(s.m);
    std::vector<InstanceInfo> out;
    for (const CAutomationObject* object : s.live) out.push_back(object->Info());
    return out;
}

void FailCreation(HRESULT hr) {
    State& s = S();
    std::lock_guard lock(s.m);
    s.creationFailure = hr;
}

void FailInvoke(std::u16string_view name, HRESULT hr, std::u16string_view description) {
    State& s = S();
    std::lock_guard lock(s.m);
    Member& m = Declared(s, name);
    m.failure = hr;
    m.description = std::u16string(description);
}

void ThrowFromInvoke(std::u16string_view name, Throw kind, std::string text, HRESULT code) {
    State& s = S();
    std::lock_guard lock(s.m);
    Member& m = Declared(s, name);
    m.thrown = kind;
    m.text = std::move(text);
    m.code = code;
}

void ThrowFromLookup(std::string text) {
    State& s = S();
    std::lock_guard lock(s.m);
    s.lookupThrow = std::move(text);
}

}  // namespace autoserver
