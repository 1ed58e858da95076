// The locator component of the plant's data-source directory, as the module
// sees it: one class that finds a data source by service category and name
// and hands it out as an object whose IPropertyBag holds the data source's
// properties for that service.
#pragma once

#include "comobj.h"

MV_DEFINE_GUID(CLSID_MvDsaLocator, 0x0075A089, 0x4B64, 0x11D3, 0x9B, 0xA3, 0x00, 0xE0, 0x29, 0x05,
               0xD0, 0x2B);
MV_DEFINE_GUID(IID_IMvDsaLocator, 0x0075A080, 0x4B64, 0x11D3, 0x9B, 0xA3, 0x00, 0xE0, 0x29, 0x05,
               0xD0, 0x2B);

struct IMvDsaLocator : IUnknown {
    // Number of data sources that offer the service.
    virtual HRESULT GetDataSourceCount(BSTR serviceCategory, LONG* count) = 0;
    // Name of the data source at a 1-based position among those of the
    // service.
    virtual HRESULT GetDataSourceName(BSTR serviceCategory, LONG position, BSTR* name) = 0;
    // The data source of that name for the service; *dataSource is null when
    // there is none. `reserved` is 0.
    virtual HRESULT GetDataSource(BSTR serviceCategory, LONG reserved, BSTR dataSourceName,
                                  IUnknown** dataSource) = 0;

protected:
    ~IMvDsaLocator() = default;
};
MV_IID_OF(IMvDsaLocator, IID_IMvDsaLocator);
