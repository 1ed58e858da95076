// MvMemoryAllocation: the module's leak tracker. Each entry counts the live
// objects of one name, in the order names were first seen; the report at
// shut-down names every entry whose count is still above 0.
#pragma once

#include <string>
#include <vector>

#include "oleaut.h"
#include "sys.h"

class MvMemoryAllocation {
public:
    MvMemoryAllocation();
    ~MvMemoryAllocation();
    MvMemoryAllocation(const MvMemoryAllocation&) = delete;
    MvMemoryAllocation& operator=(const MvMemoryAllocation&) = delete;

    // Adds delta (+1 for an allocation, -1 for a release) to the count of
    // `name` (null reads as ""), appending a new entry at 0 first when the
    // name is new. Throws std::bad_alloc when a new entry cannot be made.
    void Track(const OLECHAR* name, LONG delta);

    // The report: for each entry with a count above 0, in order,
    // "!!! Memory Leak: " name " ( " count " )" and a line feed. Empty when
    // nothing leaked.
    std::u16string FormReport() const;

    // Forms the report and writes each of its lines to the log as an error
    // line. Never throws.
    void ReportLeaks() noexcept;

private:
    struct Entry {
        mv::Bstr Name;
        LONG Count;
    };

    mutable CRITICAL_SECTION m_Lock;
    std::vector<Entry> m_Entries;
};

// The process-wide tracker, constructed with the module's static objects.
extern MvMemoryAllocation g_MemoryAllocation;
