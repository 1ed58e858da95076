// The process-data manager: creating the component, looking up data sources
// and tags, checking a tag and removing the tags it added.
#include "sources/data_manager.h"

#include <memory>
#include <new>
#include <string>

#include "exceptions.h"

#include "frame/calc_variant.h"
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

// A getter of a child object (tags of a data source, attributes of a tag):
// a null argument gives E_POINTER with no lines, a null result E_POINTER
// with the failure's lines.
template <class Parent, class Child>
Outcome GetChild(const char* name, Parent* parent, Child** out, HRESULT (Parent::*get)(Child**),
                 const char* message) {
    if (!out) return Early(E_POINTER);
    *out = nullptr;
    if (!parent) return Early(E_POINTER);
    HRESULT hr = (parent->*get)(out);
    if (SUCCEEDED(hr) && !*out) hr = E_POINTER;
    if (FAILED(hr)) {
        if (*out) (*out)->Release(), *out = nullptr;
        Fail(name, hr, message);
    }
    return Done(hr);
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
                const std::unique_ptr<OLECHAR, void (*)(LPVOID)> owned(text, CoTaskMemFree);
                token = mv::Bstr(text);
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
    return Run(kName, [&] {
        return GetChild(kName, dataSource, tags, &IMvDataSource::get_Tags,
                        "MvProcessData::IMvDataSource::get_Tags");
    });
}

HRESULT MvDataManager::GetAttributesObject(IMvTag* tag, IMvAttributes** attributes) {
    static constexpr char kName[] = "MvDataManager::GetAttributesObject";
    return Run(kName, [&] {
        return GetChild(kName, tag, attributes, &IMvTag::get_Attributes,
                        "MvProcessData::IMvDataSource::get_Attributes");
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

HRESULT MvDataManager::SetMap(IMvTag* tag, BSTR mapName) {
    static constexpr char kName[] = "MvDataManager::SetMap";
    return Run(kName, [&]() -> Outcome {
        if (!tag) return Early(E_POINTER);
        HRESULT hr = tag->put_Map(mapName);
        if (FAILED(hr)) Fail(kName, hr, "Invalid map( " + Text(mapName) + " )");
        return Done(hr);
    });
}

HRESULT MvDataManager::AddAttributes(BSTR dataSourceName, BSTR tagName, BSTR attributeName,
                                     IMvAttributes* attributes, IMvSample** sample) {
    static constexpr char kName[] = "MvDataManager::AddAttributes";
    return Run(kName, [&]() -> Outcome {
        if (!sample) return Early(E_POINTER);
        *sample = nullptr;
        if (!attributes) return Early(E_POINTER);
        HRESULT hr = attributes->Add(attributeName, 0, sample);
        if (SUCCEEDED(hr) && !*sample) hr = E_INVALIDARG;
        if (FAILED(hr)) {
            if (*sample) (*sample)->Release(), *sample = nullptr;
            Fail(kName, hr,
                 "Invalid attribute( " + Text(attributeName) + " ) for data source( " +
                     Text(dataSourceName) + " ) tag( " + Text(tagName) + " )");
        }
        return Done(hr);
    });
}

HRESULT MvDataManager::OpenTag(BSTR dataSourceName, BSTR tagName, BSTR mapName, IMvTag** tag) {
    mv::ComPtr<IMvDataSource> dataSource;
    mv::ComPtr<IMvTags> tags;
    HRESULT hr = GetDataSource(dataSourceName, tagName, dataSource.Put());
    if (SUCCEEDED(hr)) hr = GetTagsCollection(dataSource.get(), tags.Put());
    if (SUCCEEDED(hr)) hr = AddTags(dataSourceName, tagName, tags.get(), tag);
    if (SUCCEEDED(hr)) hr = SetMap(*tag, mapName);
    if (FAILED(hr) && *tag) (*tag)->Release(), *tag = nullptr;
    return hr;
}

HRESULT MvDataManager::GetAttributeValue(BSTR dataSourceName, BSTR tagName, BSTR mapName,
                                         BSTR attributeName, DATE* time, VARIANT* value,
                                         LONG* level, LONG* status) {
    static constexpr char kName[] = "MvDataManager::GetAttributeValue";
    return Run(kName, [&]() -> Outcome {
        if (!time || !value || !level || !status) return Early(E_POINTER);
        VariantClear(value);
        value->vt = VT_I4;
        value->lVal = 0;
        *level = 1;
        if (SysStringLen(tagName) == 0) {
            Fail(kName, E_FAIL, "MvDataManager::GetValue:  tagname had 0-length string");
            return Early(E_FAIL);
        }
        HRESULT hr = InitializeManager();
        if (FAILED(hr)) return Early(hr);
        if (!m_DataSources) {
            Fail(kName, E_FAIL,
                 "IMvDataSource:  Can not connect to database based on data source name");
            return Early(E_FAIL);
        }
        mv::ComPtr<IMvTag> tag;
        mv::ComPtr<IMvAttributes> attributes;
        mv::ComPtr<IMvSample> sample;
        hr = OpenTag(dataSourceName, tagName, mapName, tag.Put());
        if (SUCCEEDED(hr)) hr = GetAttributesObject(tag.get(), attributes.Put());
        if (SUCCEEDED(hr))
            hr = AddAttributes(dataSourceName, tagName, attributeName, attributes.get(),
                               sample.Put());
        if (FAILED(hr)) return Early(hr);

        // Each call of the read that fails writes its own message.
        auto failed = [&](HRESULT result, const char* message) {
            if (SUCCEEDED(result)) return false;
            Fail(kName, result, message);
            return true;
        };
        hr = attributes->Read(0);
        if (failed(hr, "IMvAttributes:  Failed call to Read")) return Early(hr);
        mv::ComPtr<IMvQueryStatus> query;
        hr = attributes->get_QueryStatus(query.Put());
        if (SUCCEEDED(hr) && !query) hr = E_POINTER;
        if (failed(hr, "IMvAttributes:  Failed call to get_QueryStatus")) return Early(hr);
        LONG queryStatus = 0;
        hr = query->get_Status(&queryStatus);
        if (failed(hr, "IMvQueryStatus:  Failed call to get_Status")) return Early(hr);
        *status = queryStatus;
        if (queryStatus == 3) {
            Fail(kName, hr, "Query ended with errors");
            return Early(hr);
        }
        hr = sample->get_Time(time);
        if (failed(hr, "IMvSample:  Failed call to get_Time")) return Early(hr);
        mv::Variant read;
        hr = sample->get_Value(&read);
        if (failed(hr, "IMvSample:  Failed call to get_Value")) return Early(hr);
        MvCopyVariantOrThrow(value, &read);
        VARIANT_BOOL valid = VARIANT_FALSE;
        hr = sample->get_Valid(&valid);
        if (!failed(hr, "IMvSample:  Failed call to get_Valid")) *level = valid ? 0 : 1;
        return Done(hr);
    });
}

HRESULT MvDataManager::SetValue(BSTR dataSourceName, BSTR tagName, BSTR mapName, BSTR attributeName,
                                VARIANT* value, LONG level, LONG status, DATE time,
                                VARIANT_BOOL flag) {
    static constexpr char kName[] = "MvDataManager::SetValue";
    return Run(kName, [&]() -> Outcome {
        // Nothing is written, but a misconfigured output shows in the log.
        if (SysStringLen(tagName) == 0) {
            MvLogErrorA(kName, "MvDataManager::SetValue:  tagname had 0-length string");
            return Early(S_OK);
        }
        if (!value) return Early(E_POINTER);
        HRESULT hr = InitializeManager();
        if (FAILED(hr)) return Early(hr);
        if (!m_DataSources) {
            Fail(kName, E_FAIL, "MvDataManager::AddTagAttr: No data sources component");
            return Early(E_FAIL);
        }
        mv::ComPtr<IMvTag> tag;
        hr = OpenTag(dataSourceName, tagName, mapName, tag.Put());
        if (FAILED(hr)) return Early(hr);
        mv::Variant copy;
        MvCopyVariantOrThrow(&copy, value);
        hr = tag->WriteAttribute(attributeName, time, flag, copy, level, status);
        if (FAILED(hr)) Fail(kName, hr, "IMvTag:  Failed call to WriteAttribute");
        return Done(hr);
    });
}

void MvCopyVariantOrThrow(VARIANT* target, const VARIANT* source) {
    const HRESULT hr = VariantCopy(target, source);
    if (SUCCEEDED(hr)) return;
    VariantClear(target);
    target->vt = VT_ERROR;
    target->scode = hr;
    MvThrowIfOutOfMemory(hr);
    throw COleDispatchException(hr, {}, {});
}
