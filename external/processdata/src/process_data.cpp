// The process-data stand-in: data sources of one process-wide plant with
// their attribute values, and per component instance a tags collection per
// data source.
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

std::string Key(const std::string& dataSource, const std::string& tag,
                const std::string& attribute) {
    return Upper(dataSource) + '\n' + Upper(tag) + '\n' + Upper(attribute);
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
    std::map<std::string, Sample> samples;  // by Key
    LONG queryStatus = 0;
    std::map<Op, Failure> failures;
    std::vector<UserDomain> userDomains;
    std::vector<MapChoice> maps;
    std::vector<Write> writes;
    std::map<std::string, int> removeAlls;  // by upper-cased data source
    int synchronous = 0;
    int creations = 0;
    std::atomic<int> live{0};
    std::set<CTags*> collections;  // of live instances
    mv::ServedClassRegistration registration;
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

// An operation that hands out an object: null with the injected code, which
// may be a success.
template <class Out>
bool Refused(Op op, const std::string& dataSource, Out** out, HRESULT* hr) {
    *out = nullptr;
    *hr = Injected(op, dataSource);
    return *hr != S_OK;
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

template <class T, class Itf>
HRESULT Hand(const mv::ComPtr<mv::ComObject<T>>& object, Itf** out) {
    return object->QueryInterface(mv::IidOf<Itf>::value, reinterpret_cast<void**>(out));
}

// Fields guarded by the state's mutex.
class CSample : public mv::ComObjectRoot<CSample>, public NoDispatch<IMvSample> {
public:
    using InterfaceMap = mv::Interfaces<IMvSample, mv::Via<IDispatch, IMvSample>>;
    HRESULT get_Time(DATE* time) override {
        if (!time) return E_POINTER;
        if (HRESULT hr = Injected(Op::Time, dataSource); hr != S_OK) return hr;
        std::lock_guard lock(S().m);
        *time = current.time;
        return S_OK;
    }
    HRESULT get_Value(VARIANT* out) override {
        if (!out) return E_POINTER;
        if (HRESULT hr = Injected(Op::Value, dataSource); hr != S_OK) return hr;
        std::lock_guard lock(S().m);
        return VariantCopy(out, &current.value);
    }
    HRESULT get_Valid(VARIANT_BOOL* valid) override {
        if (!valid) return E_POINTER;
        if (HRESULT hr = Injected(Op::Valid, dataSource); hr != S_OK) return hr;
        std::lock_guard lock(S().m);
        *valid = current.valid ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    std::string dataSource;
    Sample current{0.0, {}, false};
};

class CQueryStatus : public mv::ComObjectRoot<CQueryStatus>, public NoDispatch<IMvQueryStatus> {
public:
    using InterfaceMap = mv::Interfaces<IMvQueryStatus, mv::Via<IDispatch, IMvQueryStatus>>;
    HRESULT get_Status(LONG* out) override {
        if (!out) return E_POINTER;
        if (HRESULT hr = Injected(Op::Status, dataSource); hr != S_OK) return hr;
        *out = status;
        return S_OK;
    }
    std::string dataSource;
    LONG status = 0;
};

class CAttributes : public mv::ComObjectRoot<CAttributes>, public NoDispatch<IMvAttributes> {
public:
    using InterfaceMap = mv::Interfaces<IMvAttributes, mv::Via<IDispatch, IMvAttributes>>;

    HRESULT Read(LONG) override {
        if (HRESULT hr = Injected(Op::Read, dataSource); hr != S_OK) return hr;
        State& s = S();
        std::lock_guard lock(s.m);
        status = s.queryStatus;
        for (auto& [name, sample] : entries) {
            auto seeded = s.samples.find(Key(dataSource, tag, name));
            if (seeded == s.samples.end()) {
                sample->current = Sample{0.0, {}, false};
                status = 3;
            } else {
                sample->current = seeded->second;
            }
        }
        return S_OK;
    }
    HRESULT get_QueryStatus(IMvQueryStatus** out) override {
        if (!out) return E_POINTER;
        HRESULT hr = S_OK;
        if (Refused(Op::QueryStatus, dataSource, out, &hr)) return hr;
        mv::ComPtr<mv::ComObject<CQueryStatus>> query;
        if (FAILED(hr = mv::MakeComObject<CQueryStatus>(&query))) return hr;
        query->dataSource = dataSource;
        {
            std::lock_guard lock(S().m);
            query->status = status;
        }
        return Hand(query, out);
    }
    HRESULT Add(BSTR attributeName, LONG, IMvSample** out) override {
        if (!out) return E_POINTER;
        HRESULT hr = S_OK;
        if (Refused(Op::AttributeAdd, dataSource, out, &hr)) return hr;
        const std::string name = Upper(mv::ToUtf8(attributeName));
        if (name.empty()) return E_INVALIDARG;
        std::lock_guard lock(S().m);
        for (auto& [held, sample] : entries)
            if (held == name) return Hand(sample, out);
        mv::ComPtr<mv::ComObject<CSample>> sample;
        if (FAILED(hr = mv::MakeComObject<CSample>(&sample))) return hr;
        sample->dataSource = dataSource;
        entries.emplace_back(name, sample);
        return Hand(sample, out);
    }

    std::string dataSource;
    std::string tag;
    std::vector<std::pair<std::string, mv::ComPtr<mv::ComObject<CSample>>>> entries;
    LONG status = 0;
};

class CTag : public mv::ComObjectRoot<CTag>, public NoDispatch<IMvTag> {
public:
    using InterfaceMap = mv::Interfaces<IMvTag, mv::Via<IDispatch, IMvTag>>;

    HRESULT get_Attributes(IMvAttributes** out) override {
        if (!out) return E_POINTER;
        HRESULT hr = S_OK;
        if (Refused(Op::Attributes, dataSource, out, &hr)) return hr;
        return Hand(attributes, out);
    }
    HRESULT put_Map(BSTR mapName) override {
        if (HRESULT hr = Injected(Op::SetMap, dataSource); hr != S_OK) return hr;
        const std::string name = mv::ToUtf8(mapName);
        if (name.empty()) return E_INVALIDARG;
        std::lock_guard lock(S().m);
        map = name;
        S().maps.push_back({dataSource, this->name, name});
        return S_OK;
    }
    HRESULT WriteAttribute(BSTR attributeName, DATE time, VARIANT_BOOL flag, VARIANT value,
                           LONG level, LONG status) override {
        if (HRESULT hr = Injected(Op::WriteAttribute, dataSource); hr != S_OK) return hr;
        const std::string attribute = mv::ToUtf8(attributeName);
        if (attribute.empty()) return E_INVALIDARG;
        Write write{dataSource, name, {}, attribute, time, flag, {}, level, status};
        if (HRESULT hr = VariantCopy(&write.value, &value); FAILED(hr)) return hr;
        State& s = S();
        std::lock_guard lock(s.m);
        write.map = map;
        s.writes.push_back(std::move(write));
        return S_OK;
    }

    std::string dataSource;
    std::string name;
    std::string map;  // guarded by the state's mutex
    mv::ComPtr<mv::ComObject<CAttributes>> attributes;
};

HRESULT NewTag(const std::string& dataSource, const std::string& name,
               mv::ComPtr<mv::ComObject<CTag>>* out) {
    mv::ComPtr<mv::ComObject<CTag>> tag;
    HRESULT hr = mv::MakeComObject<CTag>(&tag);
    if (SUCCEEDED(hr)) hr = mv::MakeComObject<CAttributes>(&tag->attributes);
    if (FAILED(hr)) return hr;
    tag->dataSource = tag->attributes->dataSource = dataSource;
    tag->name = tag->attributes->tag = name;
    *out = std::move(tag);
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

    HRESULT Item(VARIANT index, IMvTag** out) override {
        if (!out) return E_POINTER;
        HRESULT hr = S_OK;
        if (Refused(Op::TagItem, dataSource, out, &hr)) return hr;
        if (index.vt != VT_BSTR) return E_INVALIDARG;
        const std::string name = Upper(mv::ToUtf8(index.bstrVal));
        std::lock_guard lock(S().m);
        for (const auto& tag : held)
            if (Upper(tag->name) == name) return Hand(tag, out);
        return E_INVALIDARG;
    }
    HRESULT Add(BSTR tagName, IMvTag** out) override {
        if (!out) return E_POINTER;
        HRESULT hr = S_OK;
        if (Refused(Op::TagAdd, dataSource, out, &hr)) return hr;
        const std::string name = mv::ToUtf8(tagName);
        State& s = S();
        std::lock_guard lock(s.m);
        const PlantSource* source = FindSource(s, dataSource);
        if (name.empty() || !source || !source->tags.count(Upper(name))) return E_INVALIDARG;
        for (const auto& tag : held)
            if (Upper(tag->name) == Upper(name)) return Hand(tag, out);
        mv::ComPtr<mv::ComObject<CTag>> tag;
        if (FAILED(hr = NewTag(dataSource, name, &tag))) return hr;
        held.push_back(tag);
        return Hand(tag, out);
    }
    HRESULT RemoveAll() override {
        if (HRESULT hr = Injected(Op::RemoveAll, dataSource); hr != S_OK) return hr;
        std::vector<mv::ComPtr<mv::ComObject<CTag>>> removed;
        std::lock_guard lock(S().m);
        removed.swap(held);
        ++S().removeAlls[Upper(dataSource)];
        return S_OK;
    }

    std::string dataSource;                             // set before the collection is handed out
    std::vector<mv::ComPtr<mv::ComObject<CTag>>> held;  // guarded by the state's mutex
};

class CDataSource : public mv::ComObjectRoot<CDataSource>, public NoDispatch<IMvDataSource> {
public:
    using InterfaceMap = mv::Interfaces<IMvDataSource, mv::Via<IDispatch, IMvDataSource>>;
    HRESULT get_Tags(IMvTags** out) override {
        if (!out) return E_POINTER;
        HRESULT hr = S_OK;
        if (Refused(Op::Tags, name, out, &hr)) return hr;
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
        const CDataSource* found = nullptr;
        if (index.vt == VT_I4 && index.lVal >= 1 &&
            index.lVal <= static_cast<LONG>(sources_.size()))
            found = sources_[static_cast<size_t>(index.lVal - 1)].get();
        if (index.vt == VT_BSTR) {
            const std::string name = Upper(mv::ToUtf8(index.bstrVal));
            for (auto& source : sources_)
                if (Upper(source->name) == name) found = source.get();
        }
        HRESULT hr = S_OK;
        if (Refused(Op::Item, found ? found->name : std::string(), out, &hr)) return hr;
        for (auto& source : sources_)
            if (source.get() == found) return Hand(source, out);
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
    return S().registration.Register<CDataSources>(CLSID_MvProcessDataSources);
}

void Revoke() {
    S().registration.Revoke();
}

void Reset() {
    State& s = S();
    std::lock_guard lock(s.m);
    s.plant.clear();
    s.samples.clear();
    s.queryStatus = 0;
    s.failures.clear();
    s.userDomains.clear();
    s.maps.clear();
    s.writes.clear();
    s.removeAlls.clear();
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

void SetSample(const std::string& dataSource, const std::string& tag, const std::string& attribute,
               const Sample& sample) {
    AddPlantTag(dataSource, tag);
    std::lock_guard lock(S().m);
    S().samples[Key(dataSource, tag, attribute)] = sample;
}

void SetQueryStatus(LONG status) {
    std::lock_guard lock(S().m);
    S().queryStatus = status;
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
            for (const auto& tag : tags->held) out.push_back(Upper(tag->name));
    return out;
}

int RemoveAllCalls(const std::string& dataSource) {
    std::lock_guard lock(S().m);
    auto it = S().removeAlls.find(Upper(dataSource));
    return it == S().removeAlls.end() ? 0 : it->second;
}

std::vector<MapChoice> MapChoices() {
    std::lock_guard lock(S().m);
    return S().maps;
}

std::vector<Write> Writes() {
    std::lock_guard lock(S().m);
    return S().writes;
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
