// Stand-in of the process-data component (the data-sources class and its
// data sources and tags) and its control surface for tests.
//
// The plant is process-wide: data sources in the order added, each with the
// tags it knows. Every component instance starts with an empty tags
// collection per data source; a client looks a tag up there and adds a tag
// the data source knows. Everything here is thread-safe.
#pragma once

#include <string>
#include <vector>

#include "bindings/data_manager_interfaces.h"

namespace procdata {

// Puts the class object into the process-local class table (once).
HRESULT Register();
// Takes it out again.
void Revoke();
// Forgets the plant, failures, calls and counts (live instances keep being
// counted).
void Reset();

// A data source of the plant (names compare ignoring ASCII case).
void AddDataSource(const std::string& name);
// A tag the data source knows, so that a client may add it.
void AddPlantTag(const std::string& dataSource, const std::string& tag);

// Operations whose failure a test can inject.
enum class Op {
    Create,               // creating the component
    SetUserDomain,        // IMvDataSources::SetUserDomain
    AsynchronousEnabled,  // IMvDataSources::put_AsynchronousEnabled
    Count,                // IMvDataSources::get_Count
    Item,                 // IMvDataSources::Item
    Tags,                 // IMvDataSource::get_Tags
    RemoveAll,            // IMvTags::RemoveAll
};
// Makes `op` fail with `hr` (S_OK clears it); `dataSource` narrows Tags and
// RemoveAll to one data source (empty: every one).
void SetFailure(Op op, HRESULT hr, const std::string& dataSource = {});

// Tags in the tags collections of `dataSource`, over every live instance.
std::vector<std::string> CollectedTags(const std::string& dataSource);

// One SetUserDomain call as received.
struct UserDomain {
    std::string token;
    std::string user;
    std::string domain;
};
std::vector<UserDomain> UserDomainCalls();
// Number of put_AsynchronousEnabled(false) calls received.
int SynchronousSwitches();
// Instances created since Reset, and alive now.
int Creations();
int LiveInstances();

}  // namespace procdata
