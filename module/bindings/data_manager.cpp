// The process-data manager: creating the component, looking up data sources
// and tags, checking a tag and removing the tags it added.
#include "bindings/data_manager.h"

#include <string>

#include "frame/identity.h"
#include "frame/trace.h"

namespace {

// How an operation ended: a return before its normal end writes no end line.
struct Outcome {
    HRESULT hr;
    bool early;
};
Outcome Early(HRESULT hr) {
    return {hr, true};
}
Outcome Done(HRESULT hr) {
    return {hr, false};
}

void StepLine(const char* name, const char16_t* what) noexcept {
    if (!g_DiagnosticLog.IsOn(LogSteps)) return;
    try {
        g_DiagnosticLog.WriteLine(mv::ToUtf16(name) + u"( " + what + u" )");
    } catch (...) {
    }
}

// Runs one operation between its start and end lines; an escaping exception
// becomes E_UNEXPECTED with one error line.
template <class Work>
HRESULT Run(const char* name, Work&& work) noexcept {
    StepLine(name, u"Function - Start");
    Outcome o{S_OK, false};
    try {
        o = work();
    } catch (...) {
        o = Done(E_UNEXPECTED);
        MvLogErrorHr(name, E_UNEXPECTED);
    }
    if (!o.early) StepLine(name, u"Function - End");
    return o.hr;
}

// The two error lines of a failure the operation reports itself.
void Fail(const char* name, HRESULT hr, const std::string& message) {
    MvLogErrorHr(name, hr);
    MvLogErrorA(name, message);
}

std::string Text(BSTR b) {
    return mv::ToUtf8(b);
}

mv::Variant TextVariant(BSTR b) {
    mv::Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(b, SysStringLen(b));
    if (!v.bstrVal) throw std::bad_alloc();
    return v;
}

}  // namespace

const GUID& MvDataManagerCallerToken() {
    // Assembled at run time, so the token is not one constant in the binary.
    static const GUID token = [] {
        GUID g{};
        g.Data1 = 0x5D0C7A31u;
        g.Data2 = 0x2E4B;
        g.Data3 = 0x4C19;
        const BYTE tail[8] = {0x9A, 0x63, 0x17, 0xE2, 0x58, 0xB0, 0x4D, 0x86};
        for (int i = 0; i < 8; ++i) g.Data4[i] = tail[i];
        return g;
    }();
    return token;
}

MvDataManager::~MvDataManager() {
    StepLine("MvDataManager::~MvDataManager", u"Function - Start");
    try {
        FreeTags();
    } catch (...) {
        MvLogErrorHr("MvDataManager::~MvDataManager", E_UNEXPECTED);
    }
    m_DataSources.Reset();
}

HRESULT MvDataManager::InitializeManager() {
    static constexpr char kName[] = "MvDataManager::InitializeManager";
    return Run(kName, [&]() -> Outcome {
        if (m_DataSources) {
            Fail(kName, S_OK, "MvDataManager::Initialize: already initialized");
            return Early(S_OK);
        }
        HRESULT hr = CoCreateInstance(CLSID_MvProcessDataSources, nullptr, CLSCTX_ALL,
                                      IID_IMvDataSources, m_DataSources.PutVoid());
        if (SUCCEEDED(hr) && !m_DataSources) hr = E_POINTER;
        if (FAILED(hr)) {
            m_DataSources.Reset();
            Fail(kName, hr, "Unable to create component: MvProcessData::DataSources");
            return Done(hr);
        }

        // The platform layer has no impersonation to end: the thread's own
        // account is the one handed on.
        mv::Bstr user, domain;
        if (GetUserInfo_NTDomainAndUserName(user.Out(), domain.Out())) {
            LPOLESTR text = nullptr;
            mv::Bstr token;
            if (SUCCEEDED(StringFromCLSID(MvDataManagerCallerToken(), &text)) && text) {
                token = mv::Bstr(text);
                CoTaskMemFree(text);
            }
            if (token.Length() > 0) {
                hr = m_DataSources->SetUserDomain(token.get(), user.get(), domain.get());
                if (FAILED(hr)) {
                    Fail(kName, hr, "Failed call to MvProcessData::IMvDataSources::SetUserDomain");
                    return Done(hr);
                }
            }
        }
        hr = m_DataSources->put_AsynchronousEnabled(VARIANT_FALSE);
        if (FAILED(hr))
            Fail(kName, hr,
                 "Failed call to MvProcessData::IMvDataSources::put_AsynchronousEnabled");
        return Done(hr);
    });
}

HRESULT MvDataManager::GetDataSource(BSTR dataSourceName, BSTR tagName,
                                     IMvDataSource** dataSource) {
    static constexpr char kName[] = "MvDataManager::GetDataSource";
    return Run(kName, [&]() -> Outcome {
        if (!dataSource) return Early(E_POINTER);
        *dataSource = nullptr;
        if (!m_DataSources) return Early(E_POINTER);
        mv::Variant index = TextVariant(dataSourceName);
        HRESULT hr = m_DataSources->Item(index, dataSource);
        if (SUCCEEDED(hr) && !*dataSource) hr = E_INVALIDARG;
        if (FAILED(hr)) {
            if (*dataSource) (*dataSource)->Release(), *dataSource = nullptr;
            Fail(kName, hr,
                 "Invalid data source( " + Text(dataSourceName) + " ) for tag( " + Text(tagName) +
                     " )");
        }
        return Done(hr);
    });
}

HRESULT MvDataManager::GetTagsCollection(IMvDataSource* dataSource, IMvTags** tags) {
    static constexpr char kName[] = "MvDataManager::GetTagsCollection";
    return Run(kName, [&]() -> Outcome {
        if (!tags) return Early(E_POINTER);
        *tags = nullptr;
        if (!dataSource) return Early(E_POINTER);
        HRESULT hr = dataSource->get_Tags(tags);
        if (SUCCEEDED(hr) && !*tags) hr = E_POINTER;
        if (FAILED(hr)) {
            if (*tags) (*tags)->Release(), *tags = nullptr;
            Fail(kName, hr, "MvProcessData::IMvDataSource::get_Tags");
        }
        return Done(hr);
    });
}

HRESULT MvDataManager::AddTags(BSTR dataSourceName, BSTR tagName, IMvTags* tags, IMvTag** tag) {
    static constexpr char kName[] = "MvDataManager::AddTags";
    return Run(kName, [&]() -> Outcome {
        if (!tag) return Early(E_POINTER);
        *tag = nullptr;
        if (!tags) return Early(E_POINTER);
        mv::Variant index = TextVariant(tagName);
        HRESULT hr = tags->Item(index, tag);
        if (SUCCEEDED(hr)) return Early(hr);
        if (*tag) (*tag)->Release(), *tag = nullptr;

        // Set before the add, whether or not it succeeds: the collection may
        // hold part of a tag that failed.
        m_TagsAdded = true;
        hr = tags->Add(tagName, tag);
        if (SUCCEEDED(hr) && !*tag) hr = E_INVALIDARG;
        if (FAILED(hr)) {
            if (*tag) (*tag)->Release(), *tag = nullptr;
            Fail(kName, hr,
                 "Invalid tag( " + Text(tagName) + " ) for data source( " + Text(dataSourceName) +
                     " )");
        }
        return Done(hr);
    });
}

HRESULT MvDataManager::CheckTagValid(BSTR dataSourceName, BSTR tagName) {
    static constexpr char kName[] = "MvDataManager::CheckTagValid";
    return Run(kName, [&]() -> Outcome {
        HRESULT hr = InitializeManager();
        if (FAILED(hr)) return Early(hr);
        if (!m_DataSources) {
            Fail(kName, E_FAIL, "MvDataManager::AddTagAttr: No data sources component");
            return Early(E_FAIL);
        }
        mv::ComPtr<IMvDataSource> dataSource;
        mv::ComPtr<IMvTags> tags;
        mv::ComPtr<IMvTag> tag;
        hr = GetDataSource(dataSourceName, tagName, dataSource.Put());
        if (FAILED(hr)) return Early(hr);
        hr = GetTagsCollection(dataSource.get(), tags.Put());
        if (FAILED(hr)) return Early(hr);
        return Done(AddTags(dataSourceName, tagName, tags.get(), tag.Put()));
    });
}

HRESULT MvDataManager::FreeTags() {
    static constexpr char kName[] = "MvDataManager::FreeTags";
    return Run(kName, [&]() -> Outcome {
        if (!m_TagsAdded) return Early(S_OK);
        if (!m_DataSources) {
            Fail(kName, E_FAIL, "MvDataManager::FreeTags: No data sources component");
            return Early(E_FAIL);
        }
        LONG count = 0;
        HRESULT hr = m_DataSources->get_Count(&count);
        if (FAILED(hr)) {
            Fail(kName, hr, "MvProcessData::IMvDataSources::get_Count");
            return Early(hr);
        }
        for (LONG i = 1; i <= count; ++i) {
            mv::Variant position(i);
            mv::ComPtr<IMvDataSource> dataSource;
            hr = m_DataSources->Item(position, dataSource.Put());
            if (SUCCEEDED(hr) && !dataSource) hr = E_INVALIDARG;
            if (FAILED(hr)) {
                Fail(kName, hr, "MvProcessData::IMvDataSources::Item");
                return Early(hr);
            }
            mv::ComPtr<IMvTags> tags;
            hr = dataSource->get_Tags(tags.Put());
            if (SUCCEEDED(hr) && !tags) hr = E_INVALIDARG;
            if (FAILED(hr)) {
                Fail(kName, hr, "MvProcessData::IMvDataSource::get_Tags");
                return Early(hr);
            }
            hr = tags->RemoveAll();
            if (FAILED(hr)) {
                Fail(kName, hr, "MvProcessData::IMvTags::RemoveAll");
                return Early(hr);
            }
        }
        return Done(S_OK);
    });
}
