// The process-data component as the module sees it: a collection of named
// data sources, each with a collection of tags. Every interface derives from
// IDispatch and is called through its table; the module calls only the
// members declared here, at these positions. A Reserved slot keeps the
// position of a member that the module never calls; it answers E_NOTIMPL.
#pragma once

#include "comobj.h"

MV_DEFINE_GUID(CLSID_MvProcessDataSources, 0x426D3A85, 0x5C8B, 0x11D3, 0xB3, 0x5B, 0x00, 0x08, 0xC7,
               0xA0, 0xDE, 0x24);
MV_DEFINE_GUID(IID_IMvDataSources, 0xF5B34BA5, 0x5F15, 0x11D3, 0xB3, 0x66, 0x00, 0x08, 0xC7, 0xA0,
               0xDE, 0x24);
MV_DEFINE_GUID(IID_IMvDataSource, 0x6C1E02D1, 0x9B47, 0x4E0A, 0x8F, 0x41, 0x3A, 0x55, 0x21, 0x7B,
               0xC0, 0x11);
MV_DEFINE_GUID(IID_IMvTags, 0x6C1E02D2, 0x9B47, 0x4E0A, 0x8F, 0x41, 0x3A, 0x55, 0x21, 0x7B, 0xC0,
               0x11);
MV_DEFINE_GUID(IID_IMvTag, 0x6C1E02D3, 0x9B47, 0x4E0A, 0x8F, 0x41, 0x3A, 0x55, 0x21, 0x7B, 0xC0,
               0x11);
MV_DEFINE_GUID(IID_IMvAttributes, 0x6C1E02D4, 0x9B47, 0x4E0A, 0x8F, 0x41, 0x3A, 0x55, 0x21, 0x7B,
               0xC0, 0x11);
MV_DEFINE_GUID(IID_IMvQueryStatus, 0x6C1E02D5, 0x9B47, 0x4E0A, 0x8F, 0x41, 0x3A, 0x55, 0x21, 0x7B,
               0xC0, 0x11);
MV_DEFINE_GUID(IID_IMvSample, 0x6C1E02D6, 0x9B47, 0x4E0A, 0x8F, 0x41, 0x3A, 0x55, 0x21, 0x7B, 0xC0,
               0x11);

#define MV_RESERVED_SLOT(n)         \
    virtual HRESULT Reserved##n() { \
        return E_NOTIMPL;           \
    }

// The value, time and validity of one attribute, as the last query left them.
struct IMvSample : IDispatch {
    MV_RESERVED_SLOT(7)
    MV_RESERVED_SLOT(8)
    virtual HRESULT get_Time(DATE* time) = 0;
    MV_RESERVED_SLOT(10)
    virtual HRESULT get_Value(VARIANT* value) = 0;
    MV_RESERVED_SLOT(12)
    MV_RESERVED_SLOT(13)
    virtual HRESULT get_Valid(VARIANT_BOOL* valid) = 0;

protected:
    ~IMvSample() = default;
};

// How the last query of an attributes collection ended.
struct IMvQueryStatus : IDispatch {
    // 3: the query ended with errors.
    virtual HRESULT get_Status(LONG* status) = 0;

protected:
    ~IMvQueryStatus() = default;
};

// The attributes of one tag that a client reads together.
struct IMvAttributes : IDispatch {
    MV_RESERVED_SLOT(7)
    MV_RESERVED_SLOT(8)
    MV_RESERVED_SLOT(9)
    MV_RESERVED_SLOT(10)
    MV_RESERVED_SLOT(11)
    MV_RESERVED_SLOT(12)
    MV_RESERVED_SLOT(13)
    MV_RESERVED_SLOT(14)
    // Queries every attribute added so far (mode 0: at once, within the
    // call); afterwards the query status and the samples hold the result.
    virtual HRESULT Read(LONG mode) = 0;
    virtual HRESULT get_QueryStatus(IMvQueryStatus** status) = 0;
    MV_RESERVED_SLOT(17)
    MV_RESERVED_SLOT(18)
    MV_RESERVED_SLOT(19)
    // Adds the attribute of that name (kind 0) and gives its sample.
    virtual HRESULT Add(BSTR attributeName, LONG kind, IMvSample** sample) = 0;

protected:
    ~IMvAttributes() = default;
};

// A tag of a data source.
struct IMvTag : IDispatch {
    MV_RESERVED_SLOT(7)
    MV_RESERVED_SLOT(8)
    MV_RESERVED_SLOT(9)
    MV_RESERVED_SLOT(10)
    MV_RESERVED_SLOT(11)
    virtual HRESULT get_Attributes(IMvAttributes** attributes) = 0;
    MV_RESERVED_SLOT(13)
    MV_RESERVED_SLOT(14)
    // Chooses the map through which the tag's attributes are read and
    // written.
    virtual HRESULT put_Map(BSTR mapName) = 0;
    MV_RESERVED_SLOT(16)
    MV_RESERVED_SLOT(17)
    MV_RESERVED_SLOT(18)
    // Writes one attribute's value with its time and quality.
    virtual HRESULT WriteAttribute(BSTR attributeName, DATE time, VARIANT_BOOL flag, VARIANT value,
                                   LONG level, LONG status) = 0;

protected:
    ~IMvTag() = default;
};

// The tags of one data source that a client works with.
struct IMvTags : IDispatch {
    MV_RESERVED_SLOT(7)
    // The tag of that name (VT_BSTR) in the collection; fails when the
    // collection does not hold it.
    virtual HRESULT Item(VARIANT index, IMvTag** tag) = 0;
    MV_RESERVED_SLOT(9)
    MV_RESERVED_SLOT(10)
    // Puts the tag of that name into the collection; fails when the data
    // source has no such tag.
    virtual HRESULT Add(BSTR tagName, IMvTag** tag) = 0;
    MV_RESERVED_SLOT(12)
    MV_RESERVED_SLOT(13)
    virtual HRESULT RemoveAll() = 0;

protected:
    ~IMvTags() = default;
};

struct IMvDataSource : IDispatch {
    MV_RESERVED_SLOT(7)
    MV_RESERVED_SLOT(8)
    virtual HRESULT get_Tags(IMvTags** tags) = 0;

protected:
    ~IMvDataSource() = default;
};

struct IMvDataSources : IDispatch {
    MV_RESERVED_SLOT(7)
    // The data source at a 1-based position (VT_I4) or of a name (VT_BSTR).
    virtual HRESULT Item(VARIANT index, IMvDataSource** dataSource) = 0;
    virtual HRESULT get_Count(LONG* count) = 0;
    MV_RESERVED_SLOT(10)
    MV_RESERVED_SLOT(11)
    MV_RESERVED_SLOT(12)
    virtual HRESULT put_AsynchronousEnabled(VARIANT_BOOL enabled) = 0;
    MV_RESERVED_SLOT(14)
    MV_RESERVED_SLOT(15)
    MV_RESERVED_SLOT(16)
    MV_RESERVED_SLOT(17)
    MV_RESERVED_SLOT(18)
    MV_RESERVED_SLOT(19)
    MV_RESERVED_SLOT(20)
    // The account on whose behalf the caller works, with the caller's token.
    virtual HRESULT SetUserDomain(BSTR callerToken, BSTR userName, BSTR domainName) = 0;

protected:
    ~IMvDataSources() = default;
};

#undef MV_RESERVED_SLOT

MV_IID_OF(IMvSample, IID_IMvSample);
MV_IID_OF(IMvQueryStatus, IID_IMvQueryStatus);
MV_IID_OF(IMvAttributes, IID_IMvAttributes);
MV_IID_OF(IMvTag, IID_IMvTag);
MV_IID_OF(IMvTags, IID_IMvTags);
MV_IID_OF(IMvDataSource, IID_IMvDataSource);
MV_IID_OF(IMvDataSources, IID_IMvDataSources);
