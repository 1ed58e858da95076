// DataSourceLocator: reads one named property of one named data source from
// the plant's data-source directory. Short-lived: a caller makes one on its
// stack for one or a few look-ups; nothing is cached between look-ups.
#pragma once

#include <string>

#include "sources/data_source_locator_interface.h"

class DataSourceLocator {
public:
    // Creates the locator component; when it cannot be created every look-up
    // answers false.
    DataSourceLocator();
    ~DataSourceLocator() = default;
    DataSourceLocator(const DataSourceLocator&) = delete;
    DataSourceLocator& operator=(const DataSourceLocator&) = delete;

    // The property of the data source under the service category, changed to
    // text. True when the data source exists and has a property bag for the
    // service; *value then holds a new BSTR the caller frees (empty when the
    // property is missing or has no text form). False leaves *value alone.
    bool ReadDataSourceProperty(const char* serviceCategory, const char* dataSourceName,
                                const char* propertyName, BSTR* value);
    // The same as narrow text; empty when the look-up fails.
    bool GetDataSourceProperty(const char* serviceCategory, const char* dataSourceName,
                               const char* propertyName, std::string* value);

    bool HasLocator() const noexcept { return static_cast<bool>(m_Locator); }

private:
    mv::ComPtr<IMvDsaLocator> m_Locator;
};
