// Look-ups in the data-source directory through its locator component.
#include "sources/data_source_locator.h"

#include <new>
#include <string_view>

#include "frame/calc_variant.h"

DataSourceLocator::DataSourceLocator() {
    HRESULT hr = CoCreateInstance(CLSID_MvDsaLocator, nullptr, CLSCTX_ALL, IID_IMvDsaLocator,
                                  m_Locator.PutVoid());
    if (FAILED(hr)) m_Locator.Reset();
}

bool DataSourceLocator::ReadDataSourceProperty(const char* serviceCategory,
                                               const char* dataSourceName, const char* propertyName,
                                               BSTR* value) {
    if (!value) return false;
    mv::Bstr service(std::string_view(serviceCategory ? serviceCategory : ""));
    mv::Bstr name(std::string_view(dataSourceName ? dataSourceName : ""));
    if (!m_Locator) return false;

    // Only the object tells whether the data source was found: the call's
    // result is not trusted on its own.
    mv::ComPtr<IUnknown> dataSource;
    m_Locator->GetDataSource(service.get(), 0, name.get(), dataSource.Put());
    if (!dataSource) return false;
    mv::ComPtr<IPropertyBag> bag;
    dataSource.As(&bag);
    dataSource.Reset();
    if (!bag) return false;

    mv::Bstr property(std::string_view(propertyName ? propertyName : ""));
    mv::Variant read;
    bag->Read(property.get(), &read, nullptr);
    mv::Variant text;
    BSTR result = nullptr;
    // A property that does not read as text is empty; running out of memory
    // is thrown rather than read as an empty property.
    if (SUCCEEDED(MvThrowIfOutOfMemory(VariantChangeType(&text, &read, 0, VT_BSTR))) &&
        text.vt == VT_BSTR)
        result = SysAllocStringLen(text.bstrVal, SysStringLen(text.bstrVal));
    else
        result = SysAllocString(u"");
    if (!result) throw std::bad_alloc();
    *value = result;
    return true;
}

bool DataSourceLocator::GetDataSourceProperty(const char* serviceCategory,
                                              const char* dataSourceName, const char* propertyName,
                                              std::string* value) {
    if (!value) return false;
    value->clear();
    BSTR text = nullptr;
    if (!ReadDataSourceProperty(serviceCategory, dataSourceName, propertyName, &text)) return false;
    *value = mv::Bstr::Attach(text).Utf8();
    return true;
}
