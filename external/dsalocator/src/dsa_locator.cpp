// The data-source directory stand-in: a locator and its data sources.
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "dsa_locator_sim.h"

namespace dsasim {

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

struct Source {
    std::string service;  // upper-cased
    std::string name;
    bool withBag = true;
    std::map<std::string, mv::Variant> properties;  // by upper-cased name
};

struct State {
    std::mutex m;
    std::vector<Source> sources;
    HRESULT createFailure = S_OK;
    std::atomic<int> live{0};
    mv::ServedClassRegistration registration;
};

State& S() {
    static State* s = new State;  // never destroyed: objects may outlive static destruction
    return *s;
}

Source* Find(State& s, const std::string& service, const std::string& name) {
    for (auto& source : s.sources)
        if (source.service == Upper(service) && Upper(source.name) == Upper(name)) return &source;
    return nullptr;
}

// A data source with its properties, copied when the locator hands it out.
class CPropertySource : public mv::ComObjectRoot<CPropertySource>, public IPropertyBag {
public:
    using InterfaceMap = mv::Interfaces<IPropertyBag>;
    HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (!name || !value) return E_POINTER;
        auto it = properties.find(Upper(mv::ToUtf8(name)));
        if (it == properties.end()) return E_INVALIDARG;
        return VariantCopy(value, &it->second);
    }
    HRESULT Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    std::map<std::string, mv::Variant> properties;
};

// A data source that offers no property bag.
class CBareSource : public mv::ComObjectRoot<CBareSource>, public IErrorLog {
public:
    using InterfaceMap = mv::Interfaces<IErrorLog>;
    HRESULT AddError(LPCOLESTR, EXCEPINFO*) override { return S_OK; }
};

class CLocator : public mv::ComObjectRoot<CLocator>, public IMvDsaLocator {
public:
    using InterfaceMap = mv::Interfaces<IMvDsaLocator>;
    HRESULT FinalConstruct() {
        std::lock_guard lock(S().m);
        if (FAILED(S().createFailure)) return S().createFailure;
        ++S().live;
        counted_ = true;
        return S_OK;
    }
    void FinalRelease() {
        if (counted_) --S().live;
    }

    HRESULT GetDataSourceCount(BSTR service, LONG* count) override {
        if (!count) return E_POINTER;
        std::lock_guard lock(S().m);
        *count = static_cast<LONG>(Matching(mv::ToUtf8(service)).size());
        return S_OK;
    }
    HRESULT GetDataSourceName(BSTR service, LONG position, BSTR* name) override {
        if (!name) return E_POINTER;
        *name = nullptr;
        std::lock_guard lock(S().m);
        auto names = Matching(mv::ToUtf8(service));
        if (position < 1 || position > static_cast<LONG>(names.size())) return E_INVALIDARG;
        *name = SysAllocString(mv::ToUtf16(names[static_cast<size_t>(position - 1)]).c_str());
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT GetDataSource(BSTR service, LONG, BSTR dataSourceName, IUnknown** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        bool withBag = false;
        std::map<std::string, mv::Variant> properties;
        {
            std::lock_guard lock(S().m);
            Source* source = Find(S(), mv::ToUtf8(service), mv::ToUtf8(dataSourceName));
            if (!source) return E_INVALIDARG;
            withBag = source->withBag;
            properties = source->properties;
        }
        if (!withBag)
            return mv::CreateComObject<CBareSource>(nullptr, IID_IUnknown,
                                                    reinterpret_cast<void**>(out));
        mv::ComPtr<mv::ComObject<CPropertySource>> object;
        HRESULT hr = mv::MakeComObject<CPropertySource>(&object);
        if (FAILED(hr)) return hr;
        object->properties = std::move(properties);
        return object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(out));
    }

private:
    std::vector<std::string> Matching(const std::string& service) const {
        std::vector<std::string> names;
        for (const auto& source : S().sources)
            if (source.service == Upper(service)) names.push_back(source.name);
        return names;
    }
    bool counted_ = false;
};

}  // namespace

HRESULT Register() {
    return S().registration.Register<CLocator>(CLSID_MvDsaLocator);
}

void Revoke() {
    S().registration.Revoke();
}

void Reset() {
    State& s = S();
    std::lock_guard lock(s.m);
    s.sources.clear();
    s.createFailure = S_OK;
}

void AddDataSource(const std::string& service, const std::string& name, bool withPropertyBag) {
    State& s = S();
    std::lock_guard lock(s.m);
    if (Source* source = Find(s, service, name))
        source->withBag = withPropertyBag;
    else
        s.sources.push_back({Upper(service), name, withPropertyBag, {}});
}

void SetProperty(const std::string& service, const std::string& name, const std::string& property,
                 const VARIANT& value) {
    mv::Variant copy(value);
    State& s = S();
    std::lock_guard lock(s.m);
    if (Source* source = Find(s, service, name)) source->properties[Upper(property)] = copy;
}

void SetCreateFailure(HRESULT hr) {
    std::lock_guard lock(S().m);
    S().createFailure = hr;
}

int LiveLocators() {
    return S().live.load();
}

}  // namespace dsasim
