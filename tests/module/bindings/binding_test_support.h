// Shared set-up of the binding tests: the log written since a mark, and a
// stand-in historian node holding a record, its definition and maps.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <string>

#include "../persistence/values_test_support.h"
#include "frame/keldrin_client.h"
#include "frame/loaded_dlls.h"
#include "keldrin_sim.h"

namespace bindtest {

// The diagnostic log's lines written after construction, with the method
// and step categories switched on as asked.
struct LogMark : values_test::LogCapture {
    using LogCapture::LogCapture;
    size_t Count(const std::string& needle) const {
        const std::string text = Lines();
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
        return n;
    }
};

inline mv::Bstr B(const std::string& text) {
    return mv::Bstr(std::string_view(text));
}

// Field tags of the seeded records.
constexpr LONG kDefinitionTag = 0x59200000;
constexpr LONG kDefaultFlagTag = 0x59210000;
constexpr LONG kUnitsRefTag = 0x59030000;
constexpr LONG kValueRefTag = 0x59060000;
constexpr LONG kHistoryRefTag = 0x59070000;
constexpr LONG kFieldNumberTag = 0x100A0000;

inline KhSimValue Number(double v) {
    KhSimValue value{};
    value.Number = v;
    value.Stamp = {0xFFFFFFFFu, 0};
    return value;
}

inline void SetNumber(const char* node, LONG record, LONG tag, double v) {
    KhSimValue value = Number(v);
    ASSERT_EQ(KhSim_SetValue(node, record, tag, &value), 1);
}

inline void SetText(const char* node, LONG record, LONG tag, const char* text) {
    KhSimValue value = Number(0);
    value.Text = text;
    ASSERT_EQ(KhSim_SetValue(node, record, tag, &value), 1);
}

// One node: the definition TAGDEF, its record TAG1 with the value field
// VALUE (field number 2, type -6, status field 5), the history field HIST
// (3) and the units field UNITS (4, 80 characters wide), the map definition
// MvMapDef and the records describing field numbers.
struct SeededNode {
    std::string node;
    LONG definition = 0;
    LONG record = 0;
    LONG mapDefinition = 0;
    std::map<LONG, LONG> describers;  // field number -> describing record

    static constexpr LONG kValueTag = 0x00020000;
    static constexpr LONG kHistoryTag = 0x00030000;
    static constexpr LONG kUnitsTag = 0x00040000;
    static constexpr LONG kStatusTag = 0x00050000;
    static constexpr SHORT kValueType = -6;

    void Seed(const char* name, LONG major, LONG minor, bool local) {
        node = name;
        ASSERT_GT(KhSim_AddServer(name, major, minor, local ? 1 : 0), 0);
        definition = KhSim_AddRecord(name, "TAGDEF", 0);
        record = KhSim_AddRecord(name, "TAG1", definition);
        mapDefinition = KhSim_AddRecord(name, "MvMapDef", 0);
        ASSERT_GT(mapDefinition, 0);
        ASSERT_EQ(KhSim_AddField(name, record, "VALUE", kValueTag, kValueType, kStatusTag), 1);
        ASSERT_EQ(KhSim_AddField(name, record, "HIST", kHistoryTag, -6, 0), 1);
        ASSERT_EQ(KhSim_AddField(name, record, "UNITS", kUnitsTag, 80, 0), 1);
        ASSERT_EQ(KhSim_AddField(name, record, "STAT", kStatusTag, -3, 0), 1);
    }

    // A record describing field number `number`.
    LONG Describer(LONG number) {
        if (auto it = describers.find(number); it != describers.end()) return it->second;
        std::string name = "FIELD" + std::to_string(number);
        LONG id = KhSim_AddRecord(node.c_str(), name.c_str(), 0);
        EXPECT_GT(id, 0);
        KhSim_AddField(node.c_str(), id, "FIELD_NUMBER", kFieldNumberTag, -1, 0);
        SetNumber(node.c_str(), id, kFieldNumberTag, number);
        describers[number] = id;
        return id;
    }

    // A map of TAGDEF naming value, history and units field numbers.
    LONG AddMap(const char* name, bool flagged, LONG valueNumber = 2, LONG historyNumber = 3,
                LONG unitsNumber = 4) {
        const char* n = node.c_str();
        LONG id = KhSim_AddRecord(n, name, mapDefinition);
        EXPECT_GT(id, 0);
        KhSim_AddField(n, id, "MAP_DEFINITION", kDefinitionTag, -1, 0);
        KhSim_AddField(n, id, "MAP_DEFAULT", kDefaultFlagTag, -3, 0);
        KhSim_AddField(n, id, "MAP_VALUE", kValueRefTag, -1, 0);
        KhSim_AddField(n, id, "MAP_HISTORY", kHistoryRefTag, -1, 0);
        KhSim_AddField(n, id, "MAP_UNITS", kUnitsRefTag, -1, 0);
        SetNumber(n, id, kDefinitionTag, definition);
        SetNumber(n, id, kDefaultFlagTag, flagged ? 1 : 0);
        SetNumber(n, id, kValueRefTag, Describer(valueNumber));
        SetNumber(n, id, kHistoryRefTag, Describer(historyNumber));
        SetNumber(n, id, kUnitsRefTag, unitsNumber ? Describer(unitsNumber) : 0);
        return id;
    }
};

// A clean historian and older library for every test; the older library's
// folder is on the search path.
class HistorianFixture : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        Forget();
        KhSim_SetOlderLibraryPresent(1);
    }
    void TearDown() override { Forget(); }

    static void Forget() {
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        KhSim_Reset();
        KhSim_SetOlderLibraryPresent(0);
    }
};

}  // namespace bindtest
