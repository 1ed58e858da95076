// The process-data stand-in: data sources of one process-wide plant, and per
// component instance a tags collection per data source.
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "process_data_sim.h"

namespace procdata {

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

struct PlantSource {
    std::string name;
    std::set<std::string> tags;  // upper-cased
};

struct Failure {
    HRESULT hr = S_OK;
    std::string dataSource;  // upper-cased; empty: every one
};

class CTags;

struct State {
    std::mutex m;
    std::vector<PlantSource> plant;
    std::map<Op, Failure> failures;
    std::vector<UserDomain> userDomains;
    int synchronous = 0;
    int creations = 0;
    std::atomic<int> live{0};
    std::set<CTags*> collections;  // of live instances
    DWORD cookie = 0;
};

State& S() {
    static State* s = new State;  // never destroyed: objects may outlive static destruction
    return *s;
}

HRESULT Injected(Op op, const std::string& dataSource = {}) {
    State& s = S();
    std::lock_guard lock(s.m);
    auto it = s.failures.find(op);
    if (it == s.failures.end()) return S_OK;
    if (!it->second.dataSource.empty() && it->second.dataSource != Upper(dataSource)) return S_OK;
    return it->second.hr;
}

const PlantSource* FindSource(const State& s, const std::string& name) {
    for (const auto& p : s.plant)
        if (Upper(p.name) == Upper(name)) return &p;
    return nullptr;
}

// IDispatch answered by no member: these interfaces are called through their
// tables.
template <class I>
class NoDispatch : public I {
public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

class CTag : public mv::ComObjectRoot<CTag>, public NoDispatch<IMvTag> {
public:
    using InterfaceMap = mv::Interfaces<IMvTag, mv::Via<IDispatch, IMvTag>>;
    std::string name;
};

HRESULT NewTag(const std::string& name, IMvTag** out) {
    mv::ComPtr<mv::ComObject<CTag>> tag;
    HRESULT hr = mv::MakeComObject<CTag>(&tag);
    if (FAILED(hr)) return hr;
    tag->name = name;
    *out = tag.Detach();
    return S_OK;
}

class CTags : public mv::ComObjectRoot<CTags>, public NoDispatch<IMvTags> {
public:
    using InterfaceMap = mv::Interfaces<IMvTags, mv::Via<IDispatch, IMvTags>>;
    HRESULT FinalConstruct() {
        std::lock_guard lock(S().m);
        S().collections.insert(this);
        return S_OK;
    }
    void FinalRelease() {
        std::lock_guard lock(S().m);
        S().collections.erase(this);
    }

    HRESULT Item(VARIANT index, IMvTag** tag) override {
        if (!tag) return E_POINTER;
        *tag = nullptr;
        if (index.vt != VT_BSTR) return E_INVALIDARG;
        std::string name = mv::ToUtf8(index.bstrVal);
        std::lock_guard lock(S().m);
        if (std::find(held.begin(), held.end(), Upper(name)) == held.end()) return E_INVALIDARG;
        return NewTag(name, tag);
    }
    HRESULT Add(BSTR tagName, IMvTag** tag) override {
        if (!tag) return E_POINTER;
        *tag = nullptr;
        std::string name = mv::ToUtf8(tagName);
        State& s = S();
        std::lock_guard lock(s.m);
        const PlantSource* source = FindSource(s, dataSource);
        if (name.empty() || !source || !source->tags.count(Upper(name))) return E_INVALIDARG;
        if (std::find(held.begin(), held.end(), Upper(name)) == held.end())
            held.push_back(Upper(name));
        return NewTag(name, tag);
    }
    HRESULT RemoveAll() override {
        if (HRESULT hr = Injected(Op::RemoveAll, dataSource); FAILED(hr)) return hr;
        std::lock_guard lock(S().m);
        held.clear();
        return S_OK;
    }

    std::string dataSource;         // guarded by the state's mutex
    std::vector<std::string> held;  // upper-cased, guarded by the state's mutex
};

class CDataSource : public mv::ComObjectRoot<CDataSource>, public NoDispatch<IMvDataSource> {
public:
    using InterfaceMap = mv::Interfaces<IMvDataSource, mv::Via<IDispatch, IMvDataSource>>;
    HRESULT get_Tags(IMvTags** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (HRESULT hr = Injected(Op::Tags, name); FAILED(hr)) return hr;
        return tags.CopyTo(out);
    }
    std::string name;
    mv::ComPtr<IMvTags> tags;
};

class CDataSources : public mv::ComObjectRoot<CDataSources>, public NoDispatch<IMvDataSources> {
public:
    using InterfaceMap = mv::Interfaces<IMvDataSources, mv::Via<IDispatch, IMvDataSources>>;

    HRESULT FinalConstruct() {
        if (HRESULT hr = Injected(Op::Create); FAILED(hr)) return hr;
        std::vector<std::string> names;
        {
            State& s = S();
            std::lock_guard lock(s.m);
            ++s.creations;
            for (const auto& p : s.plant) names.push_back(p.name);
        }
        for (const auto& name : names) {
            mv::ComPtr<mv::ComObject<CDataSource>> source;
            HRESULT hr = mv::MakeComObject<CDataSource>(&source);
            if (FAILED(hr)) return hr;
            mv::ComPtr<mv::ComObject<CTags>> tags;
            hr = mv::MakeComObject<CTags>(&tags);
            if (FAILED(hr)) return hr;
            {
                // The collection is already listed for CollectedTags.
                std::lock_guard lock(S().m);
                tags->dataSource = name;
            }
            source->name = name;
            source->tags = mv::ComPtr<IMvTags>(tags.get());
            sources_.push_back(std::move(source));
        }
        ++S().live;
        counted_ = true;
        return S_OK;
    }
    void FinalRelease() {
        if (counted_) --S().live;
    }

    HRESULT Item(VARIANT index, IMvDataSource** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (HRESULT hr = Injected(Op::Item); FAILED(hr)) return hr;
        if (index.vt == VT_I4) {
            if (index.lVal < 1 || index.lVal > static_cast<LONG>(sources_.size()))
                return E_INVALIDARG;
            return sources_[static_cast<size_t>(index.lVal - 1)]->QueryInterface(
                IID_IMvDataSource, reinterpret_cast<void**>(out));
        }
        if (index.vt != VT_BSTR) return E_INVALIDARG;
        std::string name = Upper(mv::ToUtf8(index.bstrVal));
        for (auto& source : sources_)
            if (Upper(source->name) == name)
                return source->QueryInterface(IID_IMvDataSource, reinterpret_cast<void**>(out));
        return E_INVALIDARG;
    }
    HRESULT get_Count(LONG* count) override {
        if (!count) return E_POINTER;
        if (HRESULT hr = Injected(Op::Count); FAILED(hr)) return hr;
        *count = static_cast<LONG>(sources_.size());
        return S_OK;
    }
    HRESULT put_AsynchronousEnabled(VARIANT_BOOL enabled) override {
        if (HRESULT hr = Injected(Op::AsynchronousEnabled); FAILED(hr)) return hr;
        if (!enabled) {
            std::lock_guard lock(S().m);
            ++S().synchronous;
        }
        return S_OK;
    }
    HRESULT SetUserDomain(BSTR token, BSTR user, BSTR domain) override {
        {
            std::lock_guard lock(S().m);
            S().userDomains.push_back({mv::ToUtf8(token), mv::ToUtf8(user), mv::ToUtf8(domain)});
        }
        return Injected(Op::SetUserDomain);
    }

private:
    std::vector<mv::ComPtr<mv::ComObject<CDataSource>>> sources_;
    bool counted_ = false;
};

}  // namespace

HRESULT Register() {
    State& s = S();
    std::lock_guard lock(s.m);
    if (s.cookie) return S_OK;
    return mv::RegisterClassObject<CDataSources>(CLSID_MvProcessDataSources, &s.cookie);
}

void Revoke() {
    DWORD cookie = 0;
    {
        std::lock_guard lock(S().m);
        std::swap(cookie, S().cookie);
    }
    if (cookie) CoRevokeClassObject(cookie);
}

void Reset() {
    State& s = S();
    std::lock_guard lock(s.m);
    s.plant.clear();
    s.failures.clear();
    s.userDomains.clear();
    s.synchronous = 0;
    s.creations = 0;
}

void AddDataSource(const std::string& name) {
    State& s = S();
    std::lock_guard lock(s.m);
    if (!FindSource(s, name)) s.plant.push_back({name, {}});
}

void AddPlantTag(const std::string& dataSource, const std::string& tag) {
    State& s = S();
    std::lock_guard lock(s.m);
    for (auto& p : s.plant)
        if (Upper(p.name) == Upper(dataSource)) p.tags.insert(Upper(tag));
}

void SetFailure(Op op, HRESULT hr, const std::string& dataSource) {
    State& s = S();
    std::lock_guard lock(s.m);
    if (hr == S_OK)
        s.failures.erase(op);
    else
        s.failures[op] = {hr, Upper(dataSource)};
}

std::vector<std::string> CollectedTags(const std::string& dataSource) {
    State& s = S();
    std::lock_guard lock(s.m);
    std::vector<std::string> out;
    for (CTags* tags : s.collections)
        if (Upper(tags->dataSource) == Upper(dataSource))
            out.insert(out.end(), tags->held.begin(), tags->held.end());
    return out;
}

std::vector<UserDomain> UserDomainCalls() {
    std::lock_guard lock(S().m);
    return S().userDomains;
}

int SynchronousSwitches() {
    std::lock_guard lock(S().m);
    return S().synchronous;
}

int Creations() {
    std::lock_guard lock(S().m);
    return S().creations;
}

int LiveInstances() {
    return S().live.load();
}

}  // namespace procdata
