// The module's COM classes: what registration writes for each one and what
// the class-object lookup searches.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base.h"

struct MvClassInfo {
    const char* implementation;  // C++ class that implements it, e.g. "CMvCalculation"
    const char* coclass;         // type-library name, e.g. "MvCalculation"
    CLSID clsid;
    const char* progId;                    // "Morva.Calc.Calculation.1"
    const char* versionIndependentProgId;  // the ProgID without its trailing ".1"
    const char* description;               // the coclass name followed by " Class"
    bool programmable;                     // writes the empty "Programmable" key
    const char* threadingModel;            // "Both" for every class
    UINT scriptId;                         // number of the class's registry script
};

constexpr std::size_t kMvClassCount = 23;

// Every class, in registration order.
std::span<const MvClassInfo> MvClassTable() noexcept;

// The row of a class identifier, or null when the module does not serve it.
const MvClassInfo* MvFindClass(REFCLSID clsid) noexcept;

// How a script key behaves beyond being created on registration and removed
// on unregistration.
enum class MvScriptKeyMode {
    Normal,
    ForceRemove,  // deleted with its subtree and created anew on registration
    NoRemove,     // left in place on unregistration
};

// One key of a registry script, relative to HKEY_CLASSES_ROOT; path parts are
// separated by a backslash. Parents come before their subkeys.
struct MvScriptKey {
    std::string path;
    bool hasDefault = false;
    std::string defaultValue;                                 // REG_SZ when hasDefault
    std::vector<std::pair<std::string, std::string>> values;  // named REG_SZ values
    MvScriptKeyMode mode = MvScriptKeyMode::Normal;
};

// The keys the class's registry script writes, with the module's own file
// path in place of the "%MODULE%" replacement.
std::vector<MvScriptKey> MvRegistryScript(const MvClassInfo& info, std::string_view modulePath);
