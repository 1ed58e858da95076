// Stand-in of the process-data component (the data-sources class, its data
// sources, tags, attributes, query status and samples) and its control
// surface for tests.
//
// The plant is process-wide: data sources in the order added, each with the
// tags it knows, and the seeded value of each attribute of a tag. Every
// component instance starts with an empty tags collection per data source;
// a client looks a tag up there and adds a tag the data source knows. A tag
// keeps its map and its attributes collection until its collection is
// emptied. A read fills the samples of the attributes added so far from the
// seeded values; a write records its arguments. Names compare ignoring
// ASCII case. Everything here is thread-safe.
#pragma once

#include <string>
#include <vector>

#include "sources/data_manager_interfaces.h"

namespace procdata {

// Puts the class object into the process-local class table (once).
HRESULT Register();
// Takes it out again.
void Revoke();
// Forgets the plant, values, failures, calls and counts (live instances
// keep being counted).
void Reset();

// A data source of the plant.
void AddDataSource(const std::string& name);
// A tag the data source knows, so that a client may add it.
void AddPlantTag(const std::string& dataSource, const std::string& tag);

// The value of one attribute of a tag, as a read finds it (the tag is made
// known to the data source too).
struct Sample {
    DATE time = 0.0;
    mv::Variant value;
    bool valid = true;
};
void SetSample(const std::string& dataSource, const std::string& tag, const std::string& attribute,
               const Sample& sample);
// The status every read reports when each attribute it read has a value
// (a read of an attribute without one reports 3, "ended with errors").
void SetQueryStatus(LONG status);

// Operations whose failure a test can inject.
enum class Op {
    Create,               // creating the component
    SetUserDomain,        // IMvDataSources::SetUserDomain
    AsynchronousEnabled,  // IMvDataSources::put_AsynchronousEnabled
    Count,                // IMvDataSources::get_Count
    Item,                 // IMvDataSources::Item
    Tags,                 // IMvDataSource::get_Tags
    TagItem,              // IMvTags: look a tag up
    TagAdd,               // IMvTags: add a tag
    RemoveAll,            // IMvTags::RemoveAll
    Attributes,           // IMvTag::get_Attributes
    SetMap,               // IMvTag: set the map
    WriteAttribute,       // IMvTag::WriteAttribute
    Read,                 // IMvAttributes::Read
    QueryStatus,          // IMvAttributes::get_QueryStatus
    AttributeAdd,         // IMvAttributes: add an attribute
    Status,               // IMvQueryStatus::get_Status
    Time,                 // IMvSample::get_Time
    Value,                // IMvSample::get_Value
    Valid,                // IMvSample::get_Valid
};
// Makes `op` answer `hr` (S_OK clears it); a success code other than S_OK
// makes an operation that hands out an object succeed with none.
// `dataSource` narrows it to the objects of one data source (empty: every
// one).
void SetFailure(Op op, HRESULT hr, const std::string& dataSource = {});

// Tags in the tags collections of `dataSource`, over every live instance
// (upper-cased).
std::vector<std::string> CollectedTags(const std::string& dataSource);
// RemoveAll calls on the tags collections of `dataSource` that succeeded.
int RemoveAllCalls(const std::string& dataSource);

// One map chosen for a tag.
struct MapChoice {
    std::string dataSource;
    std::string tag;
    std::string map;
};
std::vector<MapChoice> MapChoices();

// One WriteAttribute call as received, with the tag's map at the time.
struct Write {
    std::string dataSource;
    std::string tag;
    std::string map;
    std::string attribute;
    DATE time = 0.0;
    VARIANT_BOOL flag = 0;
    mv::Variant value;
    LONG level = 0;
    LONG status = 0;
};
std::vector<Write> Writes();

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
