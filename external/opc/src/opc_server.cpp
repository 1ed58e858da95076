// The simulated OPC DA 2.0 server: server, group and browser objects over
// one process-wide model of nodes, items, records and injected failures.
#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "opc_server_sim.h"
#include "sys.h"

MV_DEFINE_GUID(CLSID_MvOpcSimServer, 0x7FB23138, 0x346A, 0x45BE, 0x96, 0x06, 0x79, 0x56, 0xBB, 0x19,
               0xAC, 0x05);

namespace opcsim {

namespace {

constexpr int kCallCount = 5;

struct Item {
    mv::Variant value;
    WORD quality = OPC_QUALITY_GOOD;
    FILETIME stamp{};
    HRESULT readError = S_OK;
    HRESULT writeError = S_OK;
};

struct Node {
    std::map<std::string, Item> items;
    std::array<HRESULT, kCallCount> failures{};
    std::array<bool, kCallCount> throws{};
    int failEvery = 0;
    HRESULT failEveryCode = S_OK;
    HRESULT readResult = S_OK;
    bool browser = true;
    Counters counters;
};

struct State {
    std::mutex m;
    std::map<std::string, Node> nodes;  // by lower-cased name
    std::map<HRESULT, std::u16string> errorStrings;
    std::vector<GroupCall> groups;
    std::vector<ItemCall> items;
    std::vector<IoCall> reads;
    std::vector<IoCall> writes;
    DWORD serverCookie = 0;
    DWORD browserCookie = 0;
};

State& S() {
    static State* s = new State;  // never destroyed: objects may outlive static destruction
    return *s;
}

// Under S().m.
Node& NodeOf(const std::string& node) {
    std::string key = node;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return S().nodes[key];
}

HRESULT Failure(Node& n, Call call) {
    return n.failures[static_cast<int>(call)];
}

// The node whose object is being created on this thread (kLocalNode for
// objects the class table makes).
thread_local std::string t_creatingNode;

template <class T>
T* TaskArray(DWORD count) {
    auto* p = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (count ? count : 1)));
    if (p) std::fill_n(reinterpret_cast<BYTE*>(p), sizeof(T) * (count ? count : 1), BYTE{0});
    return p;
}

std::string Text(const VARIANT& v) {
    mv::Variant text;
    if (SUCCEEDED(VariantChangeType(&text, &v, 0, VT_BSTR)) && text.vt == VT_BSTR)
        return mv::ToUtf8(text.bstrVal);
    return "vt=" + std::to_string(v.vt);
}

// Counts one object of a node alive while it exists.
class NodeObject {
protected:
    void Join(const std::string& node, int Counters::*live) {
        std::lock_guard lock(S().m);
        node_ = node;
        live_ = live;
        ++(NodeOf(node).counters.*live);
    }
    void Leave() {
        if (!live_) return;
        std::lock_guard lock(S().m);
        --(NodeOf(node_).counters.*live_);
    }
    std::string node_;

private:
    int Counters::*live_ = nullptr;
};

class CSimGroup : public mv::ComObjectRoot<CSimGroup>,
                  public IOPCItemMgt,
                  public IOPCSyncIO,
                  private NodeObject {
public:
    using InterfaceMap = mv::Interfaces<IOPCItemMgt, IOPCSyncIO>;
    void FinalRelease() { Leave(); }
    void Init(const std::string& node) { Join(node, &Counters::liveGroups); }

    HRESULT AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results,
                     HRESULT** errors) override {
        if (!results || !errors || (count && !defs)) return E_INVALIDARG;
        *results = nullptr;
        *errors = nullptr;
        std::lock_guard lock(S().m);
        Node& n = NodeOf(node_);
        const HRESULT failure = Failure(n, Call::AddItems);
        const bool served = failure == S_OK;
        auto* r = served ? TaskArray<OPCITEMRESULT>(count) : nullptr;
        auto* e = served ? TaskArray<HRESULT>(count) : nullptr;
        if (served && (!r || !e)) {
            CoTaskMemFree(r);
            CoTaskMemFree(e);
            return E_OUTOFMEMORY;
        }
        HRESULT hr = failure;
        for (DWORD i = 0; i < count; ++i) {
            const OPCITEMDEF& d = defs[i];
            std::string id = mv::ToUtf8(d.szItemID);
            HRESULT itemHr = failure;
            if (served) {
                auto it = n.items.find(id);
                itemHr = it == n.items.end() ? OPC_E_UNKNOWNITEMID : S_OK;
                if (SUCCEEDED(itemHr)) {
                    OPCHANDLE handle = next_++;
                    handles_[handle] = {id, d.hClient};
                    r[i].hServer = handle;
                    r[i].vtCanonicalDataType = it->second.value.vt;
                    r[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
                } else {
                    hr = S_FALSE;
                }
                e[i] = itemHr;
            }
            S().items.push_back({node_, mv::ToUtf8(d.szAccessPath), id, d.bActive, d.hClient,
                                 d.dwBlobSize, d.vtRequestedDataType, itemHr});
        }
        *results = r;
        *errors = e;
        return hr;
    }
    HRESULT ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override {
        return E_NOTIMPL;
    }
    HRESULT RemoveItems(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    HRESULT SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
    HRESULT SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override {
        return E_NOTIMPL;
    }
    HRESULT SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
    HRESULT CreateEnumerator(REFIID, IUnknown** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

    HRESULT Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                 HRESULT** errors) override {
        if (!states || !errors || (count && !handles)) return E_INVALIDARG;
        *states = nullptr;
        *errors = nullptr;
        std::lock_guard lock(S().m);
        Node& n = NodeOf(node_);
        int number = ++n.counters.reads;
        S().reads.push_back({node_, source, Ids(count, handles), {}});
        if (n.throws[static_cast<int>(Call::Read)])
            throw std::runtime_error("simulated read fault");
        if (HRESULT hr = Failure(n, Call::Read); hr != S_OK) return hr;
        if (n.failEvery > 0 && number % n.failEvery == 0) return n.failEveryCode;
        auto* st = TaskArray<OPCITEMSTATE>(count);
        auto* e = TaskArray<HRESULT>(count);
        if (!st || !e) {
            CoTaskMemFree(st);
            CoTaskMemFree(e);
            return E_OUTOFMEMORY;
        }
        HRESULT hr = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            VariantInit(&st[i].vDataValue);
            st[i].wQuality = OPC_QUALITY_BAD;
            const Item* item = Find(n, handles[i], &st[i].hClient);
            e[i] = !item ? OPC_E_INVALIDHANDLE : item->readError;
            if (SUCCEEDED(e[i])) {
                st[i].wQuality = item->quality;
                st[i].ftTimeStamp = item->stamp;
                VariantCopy(&st[i].vDataValue, &item->value);
            } else {
                hr = S_FALSE;
            }
        }
        *states = st;
        *errors = e;
        return n.readResult != S_OK ? n.readResult : hr;
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override {
        if (!errors || (count && (!handles || !values))) return E_INVALIDARG;
        *errors = nullptr;
        std::lock_guard lock(S().m);
        Node& n = NodeOf(node_);
        ++n.counters.writes;
        IoCall call{node_, OPC_DS_DEVICE, Ids(count, handles), {}};
        for (DWORD i = 0; i < count; ++i) call.values.push_back(Text(values[i]));
        S().writes.push_back(std::move(call));
        if (n.throws[static_cast<int>(Call::Write)])
            throw std::runtime_error("simulated write fault");
        if (HRESULT hr = Failure(n, Call::Write); hr != S_OK) return hr;
        auto* e = TaskArray<HRESULT>(count);
        if (!e) return E_OUTOFMEMORY;
        HRESULT hr = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            OPCHANDLE client = 0;
            Item* item = Find(n, handles[i], &client);
            e[i] = !item ? OPC_E_INVALIDHANDLE : item->writeError;
            if (SUCCEEDED(e[i]))
                item->value = mv::Variant(values[i]);
            else
                hr = S_FALSE;
        }
        *errors = e;
        return hr;
    }

private:
    struct Handle {
        std::string itemId;
        OPCHANDLE client;
    };

    // Under S().m.
    Item* Find(Node& n, OPCHANDLE handle, OPCHANDLE* client) {
        auto h = handles_.find(handle);
        if (h == handles_.end()) return nullptr;
        *client = h->second.client;
        auto it = n.items.find(h->second.itemId);
        return it == n.items.end() ? nullptr : &it->second;
    }
    std::vector<std::string> Ids(DWORD count, const OPCHANDLE* handles) const {
        std::vector<std::string> ids;
        for (DWORD i = 0; i < count; ++i) {
            auto h = handles_.find(handles[i]);
            ids.push_back(h == handles_.end() ? "?" : h->second.itemId);
        }
        return ids;
    }

    std::map<OPCHANDLE, Handle> handles_;  // under S().m
    OPCHANDLE next_ = 1;
};

class CSimServer : public mv::ComObjectRoot<CSimServer>, public IOPCServer, private NodeObject {
public:
    using InterfaceMap = mv::Interfaces<IOPCServer>;
    HRESULT FinalConstruct() {
        {
            std::lock_guard lock(S().m);
            Node& n = NodeOf(t_creatingNode);
            if (HRESULT hr = Failure(n, Call::Create); FAILED(hr)) return hr;
            ++n.counters.creations;
        }
        Join(t_creatingNode, &Counters::liveServers);
        return S_OK;
    }
    void FinalRelease() { Leave(); }

    HRESULT AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE clientGroup, LONG* timeBias,
                     FLOAT* deadBand, DWORD locale, OPCHANDLE* serverGroup, DWORD* revisedRate,
                     REFIID riid, IUnknown** out) override {
        if (!out || !serverGroup || !revisedRate) return E_INVALIDARG;
        *out = nullptr;
        {
            std::lock_guard lock(S().m);
            S().groups.push_back({node_, mv::ToUtf8(name), active, rate, clientGroup,
                                  timeBias != nullptr, deadBand ? *deadBand : -1.0f, locale});
            if (HRESULT hr = Failure(NodeOf(node_), Call::AddGroup); hr != S_OK) return hr;
        }
        mv::ComPtr<mv::ComObject<CSimGroup>> group;
        HRESULT hr = mv::MakeComObject<CSimGroup>(&group);
        if (FAILED(hr)) return hr;
        group->Init(node_);
        *serverGroup = ++groupHandles_;
        *revisedRate = rate;
        return group->QueryInterface(riid, reinterpret_cast<void**>(out));
    }
    HRESULT GetErrorString(HRESULT code, LCID, LPWSTR* text) override {
        if (!text) return E_INVALIDARG;
        *text = nullptr;
        std::u16string found;
        {
            std::lock_guard lock(S().m);
            auto it = S().errorStrings.find(code);
            if (it == S().errorStrings.end()) return E_INVALIDARG;
            found = it->second;
        }
        *text = TaskArray<OLECHAR>(static_cast<DWORD>(found.size() + 1));
        if (!*text) return E_OUTOFMEMORY;
        std::copy(found.begin(), found.end(), *text);
        return S_OK;
    }
    HRESULT GetGroupByName(LPCWSTR, REFIID, IUnknown** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetStatus(OPCSERVERSTATUS** status) override {
        if (status) *status = nullptr;
        return E_NOTIMPL;
    }
    HRESULT RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
    HRESULT CreateGroupEnumerator(OPCENUMSCOPE, REFIID, IUnknown** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

private:
    std::atomic<OPCHANDLE> groupHandles_{0};
};

class CSimBrowser : public mv::ComObjectRoot<CSimBrowser>, public IOPCServerList {
public:
    using InterfaceMap = mv::Interfaces<IOPCServerList>;
    HRESULT FinalConstruct() {
        std::lock_guard lock(S().m);
        Node& n = NodeOf(t_creatingNode);
        if (!n.browser) return REGDB_E_CLASSNOTREG;
        ++n.counters.browserCreations;
        return S_OK;
    }
    HRESULT EnumClassesOfCategories(ULONG, CLSID*, ULONG, CLSID*, IEnumGUID** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetClassDetails(REFCLSID, LPOLESTR* progId, LPOLESTR* userType) override {
        if (progId) *progId = nullptr;
        if (userType) *userType = nullptr;
        return E_NOTIMPL;
    }
    // The node knows the stand-in's ProgID and no other.
    HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) override {
        if (!progId || !clsid) return E_INVALIDARG;
        bool known = mv::EqualsNoCase(mv::ToUtf8(progId), kProgId);
        *clsid = known ? ClassId() : CLSID_NULL;
        return known ? S_OK : CO_E_CLASSSTRING;
    }
};

// Creates the server or the browser of `node`, as a remote node's activation
// does.
HRESULT CreateOnNode(const std::string& node, REFCLSID clsid, IUnknown** out) {
    struct Creating {
        explicit Creating(const std::string& node) { t_creatingNode = node; }
        ~Creating() { t_creatingNode.clear(); }
    } creating(node);
    void** pv = reinterpret_cast<void**>(out);
    if (IsEqualGUID(clsid, ClassId()))
        return mv::CreateComObject<CSimServer>(nullptr, IID_IUnknown, pv);
    if (IsEqualGUID(clsid, CLSID_OpcServerList))
        return mv::CreateComObject<CSimBrowser>(nullptr, IID_IUnknown, pv);
    return REGDB_E_CLASSNOTREG;
}

std::string ProgIdKey() {
    return std::string(kProgId) + "\\CLSID";
}

}  // namespace

const CLSID& ClassId() {
    return CLSID_MvOpcSimServer;
}

HRESULT Register() {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, ProgIdKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    std::string text = mv::GuidToString(ClassId());
    rc = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    State& s = S();
    std::lock_guard lock(s.m);
    HRESULT hr = S_OK;
    if (!s.serverCookie) hr = mv::RegisterClassObject<CSimServer>(ClassId(), &s.serverCookie);
    if (SUCCEEDED(hr) && !s.browserCookie)
        hr = mv::RegisterClassObject<CSimBrowser>(CLSID_OpcServerList, &s.browserCookie);
    return hr;
}

void Revoke() {
    DWORD cookies[2] = {};
    {
        std::lock_guard lock(S().m);
        cookies[0] = std::exchange(S().serverCookie, 0);
        cookies[1] = std::exchange(S().browserCookie, 0);
    }
    for (DWORD cookie : cookies)
        if (cookie) CoRevokeClassObject(cookie);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, ProgIdKey().c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kProgId);
}

void RegisterNode(const std::string& node) {
    mv::RegisterRemoteHostForTesting(mv::ToUtf16(node), [node](REFCLSID clsid, IUnknown** out) {
        return CreateOnNode(node, clsid, out);
    });
}

void UnregisterNode(const std::string& node) {
    mv::RegisterRemoteHostForTesting(mv::ToUtf16(node), {});
}

void Reset() {
    std::map<std::string, Node> old;
    {
        std::lock_guard lock(S().m);
        State& s = S();
        for (auto& [name, n] : s.nodes) {
            Node fresh;
            fresh.browser = n.browser;
            fresh.counters.liveServers = n.counters.liveServers;
            fresh.counters.liveGroups = n.counters.liveGroups;
            old[name] = std::exchange(n, std::move(fresh));
        }
        s.errorStrings.clear();
        s.groups.clear();
        s.items.clear();
        s.reads.clear();
        s.writes.clear();
    }
    // The old values are cleared outside the lock.
}

void SetItem(const std::string& node, const std::string& itemId, const VARIANT& value, WORD quality,
             FILETIME timeStamp) {
    mv::Variant copy(value);
    std::lock_guard lock(S().m);
    Item& item = NodeOf(node).items[itemId];
    item.value = std::move(copy);
    item.quality = quality;
    item.stamp = timeStamp;
}

mv::Variant ItemValue(const std::string& node, const std::string& itemId) {
    std::lock_guard lock(S().m);
    Node& n = NodeOf(node);
    auto it = n.items.find(itemId);
    return it == n.items.end() ? mv::Variant() : it->second.value;
}

void SetItemErrors(const std::string& node, const std::string& itemId, HRESULT readError,
                   HRESULT writeError) {
    std::lock_guard lock(S().m);
    Item& item = NodeOf(node).items[itemId];
    item.readError = readError;
    item.writeError = writeError;
}

void SetErrorString(HRESULT code, const std::u16string& text) {
    std::lock_guard lock(S().m);
    S().errorStrings[code] = text;
}

void SetFailure(const std::string& node, Call call, HRESULT hr) {
    std::lock_guard lock(S().m);
    NodeOf(node).failures[static_cast<int>(call)] = hr;
}

void SetThrows(const std::string& node, Call call, bool throws) {
    std::lock_guard lock(S().m);
    NodeOf(node).throws[static_cast<int>(call)] = throws;
}

void SetReadFailureEvery(const std::string& node, int n, HRESULT hr) {
    std::lock_guard lock(S().m);
    Node& target = NodeOf(node);
    target.failEvery = n;
    target.failEveryCode = hr;
}

void SetReadResult(const std::string& node, HRESULT hr) {
    std::lock_guard lock(S().m);
    NodeOf(node).readResult = hr;
}

void SetBrowserPresent(const std::string& node, bool present) {
    std::lock_guard lock(S().m);
    NodeOf(node).browser = present;
}

std::vector<GroupCall> Groups() {
    std::lock_guard lock(S().m);
    return S().groups;
}

std::vector<ItemCall> AddedItems() {
    std::lock_guard lock(S().m);
    return S().items;
}

std::vector<IoCall> Reads() {
    std::lock_guard lock(S().m);
    return S().reads;
}

std::vector<IoCall> Writes() {
    std::lock_guard lock(S().m);
    return S().writes;
}

Counters Count(const std::string& node) {
    std::lock_guard lock(S().m);
    return NodeOf(node).counters;
}

}  // namespace opcsim
