// The stand-in's state, shared by every build of "corvex.dll": the tag
// table, the scripted parse, injected failures, call counts and the flags
// of the last calls.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "corvex_sim.h"
#include "language.h"

namespace cvx {

struct Tag {
    std::string server, tagName, field, units, historyField;
    LONG group = -1;
    LONG recordId = 0, fieldId = 0, definitionId = 0, statusFieldId = 0, historyFieldId = 0,
         fieldType = 0;
};

// An injected failure; mode 0 when none.
struct Fault {
    LONG mode = 0;
    LONG code = 0;
    std::string text;
    LONG times = 0;
};

struct Model {
    std::mutex mutex;
    std::vector<Tag> tags;
    bool scripted = false;
    std::vector<Discovered> scriptedParameters;
    std::vector<std::string> scriptedFormulas;
    std::map<std::string, Fault> faults;
    std::map<std::string, LONG> counts;
    CorvexSimFlags flags{-1, -1, -1, -1};

    static Model& get();
};

// Counts a call of the entry point and takes one turn of its injected
// failure: throws for CORVEXSIM_THROW, else returns the failure (mode 0
// when none).
Fault Enter(const char* name);

// A copy of the tag with that server, group and name, if any.
bool FindTag(const char* server, LONG group, const char* tagName, Tag* out);

}  // namespace cvx
