// MvDataManager: the module's client of the process-data component. A plain
// object owned by its user (a calculation, or one validation on its stack);
// it creates the component on first use and keeps it until destroyed. No
// lock: its owner serialises the calls.
#pragma once

#include "sources/data_manager_interfaces.h"

class MvDataManager {
public:
    MvDataManager() noexcept = default;
    // Removes the tags the manager added (failures only logged), then
    // releases the component.
    virtual ~MvDataManager();
    MvDataManager(const MvDataManager&) = delete;
    MvDataManager& operator=(const MvDataManager&) = delete;

    // Creates the component, gives it the caller's account and switches it
    // to synchronous reads. S_OK at once when it is already held.
    HRESULT InitializeManager();
    // The data source of that name (the tag name only words the failure).
    HRESULT GetDataSource(BSTR dataSourceName, BSTR tagName, IMvDataSource** dataSource);
    HRESULT GetTagsCollection(IMvDataSource* dataSource, IMvTags** tags);
    HRESULT GetAttributesObject(IMvTag* tag, IMvAttributes** attributes);
    // The tag of that name in the collection, added when it is not there yet.
    HRESULT AddTags(BSTR dataSourceName, BSTR tagName, IMvTags* tags, IMvTag** tag);
    // Chooses the tag's map.
    HRESULT SetMap(IMvTag* tag, BSTR mapName);
    // Adds the attribute to the tag's attributes and gives its sample (the
    // two first names only word the failure).
    HRESULT AddAttributes(BSTR dataSourceName, BSTR tagName, BSTR attributeName,
                          IMvAttributes* attributes, IMvSample** sample);
    // Succeeds when the data source exists and holds, or can add, the tag.
    HRESULT CheckTagValid(BSTR dataSourceName, BSTR tagName);
    // Reads one attribute of a tag through a map: *value starts as VT_I4 0
    // and *level as 1; a query that ended with errors (status 3) is no
    // failure and leaves them so, with *status 3 and *time as passed.
    HRESULT GetAttributeValue(BSTR dataSourceName, BSTR tagName, BSTR mapName, BSTR attributeName,
                              DATE* time, VARIANT* value, LONG* level, LONG* status);
    // Writes one attribute of a tag through a map. An empty tag name writes
    // nothing and succeeds, with one error line.
    HRESULT SetValue(BSTR dataSourceName, BSTR tagName, BSTR mapName, BSTR attributeName,
                     VARIANT* value, LONG level, LONG status, DATE time, VARIANT_BOOL flag);
    // Empties the tags collection of every data source once a tag was added.
    HRESULT FreeTags();

    bool HasComponent() const noexcept { return static_cast<bool>(m_DataSources); }
    bool TagsAdded() const noexcept { return m_TagsAdded; }

private:
    // The data source, its tags and the tag (added when missing), with the
    // map chosen; each step logs its own failure.
    HRESULT OpenTag(BSTR dataSourceName, BSTR tagName, BSTR mapName, IMvTag** tag);

    mv::ComPtr<IMvDataSources> m_DataSources;
    bool m_TagsAdded = false;
};

// Copies `source` into `target`; a copy that cannot be made leaves `target`
// as VT_ERROR holding the failure and throws it (std::bad_alloc for
// E_OUTOFMEMORY).
void MvCopyVariantOrThrow(VARIANT* target, const VARIANT* source);

// The caller token the manager hands the component with the account.
const GUID& MvDataManagerCallerToken();
