// OPC bindings of a run: the values of the parameters bound to OPC items,
// read from or written to the OPC servers of the data sources they name, and
// the rule that turns an OPC quality word into the module's status and level.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "oleaut.h"

// The items of one data source in one pass; ItemIDs[i] belongs to the
// parameter-information record ParameterIndexes[i].
struct OpcServerItems {
    std::string DataSourceName;
    std::vector<std::string> ItemIDs;
    std::vector<LONG> ParameterIndexes;
};
// Data-source name -> its items, as the dispatcher collected them.
using OpcBindingMap = std::map<std::string, OpcServerItems>;

// Status and level of an OPC quality word: only its class bits (0xC0) count.
void MapOpcQuality(WORD quality, SHORT* status, SHORT* level) noexcept;

// An owned array of `count` VARIANTs, each VT_EMPTY at first and cleared at
// the end: the values of one server's items for one write.
class OpcValueArray {
public:
    explicit OpcValueArray(std::size_t count) : m_Values(count) {}
    VARIANT* Data() noexcept { return m_Values.data(); }
    std::size_t Size() const noexcept { return m_Values.size(); }
    VARIANT& operator[](std::size_t i) noexcept { return m_Values[i]; }

private:
    static_assert(sizeof(mv::Variant) == sizeof(VARIANT));
    std::vector<mv::Variant> m_Values;
};
