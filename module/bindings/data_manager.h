// MvDataManager: the module's client of the process-data component. A plain
// object owned by its user (a calculation, or one validation on its stack);
// it creates the component on first use and keeps it until destroyed. No
// lock: its owner serialises the calls.
#pragma once

#include "bindings/data_manager_interfaces.h"

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
    // The tag of that name in the collection, added when it is not there yet.
    HRESULT AddTags(BSTR dataSourceName, BSTR tagName, IMvTags* tags, IMvTag** tag);
    // Succeeds when the data source exists and holds, or can add, the tag.
    HRESULT CheckTagValid(BSTR dataSourceName, BSTR tagName);
    // Empties the tags collection of every data source once a tag was added.
    HRESULT FreeTags();

    bool HasComponent() const noexcept { return static_cast<bool>(m_DataSources); }
    bool TagsAdded() const noexcept { return m_TagsAdded; }

private:
    mv::ComPtr<IMvDataSources> m_DataSources;
    bool m_TagsAdded = false;
};

// The caller token the manager hands the component with the account.
const GUID& MvDataManagerCallerToken();
