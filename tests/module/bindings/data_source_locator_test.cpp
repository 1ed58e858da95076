// Reading data-source properties through the directory's locator.
#include "sources/data_source_locator.h"

#include <gtest/gtest.h>

#include "dsa_locator_sim.h"

namespace {

constexpr char kService[] = "{8fa3c7e0-5e2e-11d3-b365-0008c7a0de24}";

class DataSourceLocatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        dsasim::Reset();
        ASSERT_EQ(dsasim::Register(), S_OK);
    }
    void TearDown() override {
        dsasim::Revoke();
        dsasim::Reset();
        EXPECT_EQ(dsasim::LiveLocators(), 0);
    }
};

TEST_F(DataSourceLocatorTest, ReadsPropertiesAsText) {
    dsasim::AddDataSource(kService, "HIST1");
    dsasim::SetProperty(kService, "HIST1", "Host", mv::Variant(u"PLANT2"));
    dsasim::SetProperty(kService, "HIST1", "Count", mv::Variant(LONG{-1}));
    mv::Variant unknownObject;
    unknownObject.vt = VT_UNKNOWN;
    unknownObject.punkVal = nullptr;
    dsasim::SetProperty(kService, "HIST1", "Object", unknownObject);
    dsasim::AddDataSource(kService, "NOBAG", false);
    dsasim::AddDataSource("{other}", "ELSEWHERE");

    struct Row {
        const char* dataSource;
        const char* property;
        bool found;
        const char* value;
    } rows[] = {
        {"HIST1", "Host", true, "PLANT2"}, {"hist1", "HOST", true, "PLANT2"},
        {"HIST1", "Count", true, "-1"},    // a number reads as its text
        {"HIST1", "Missing", true, ""},    // missing property: found, empty
        {"HIST1", "Object", true, ""},     // no text form: found, empty
        {"NOBAG", "Host", false, ""},      // no property bag
        {"UNKNOWN", "Host", false, ""},    // not in the directory
        {"ELSEWHERE", "Host", false, ""},  // another service
    };
    DataSourceLocator locator;
    ASSERT_TRUE(locator.HasLocator());
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.dataSource) + "/" + row.property);
        BSTR value = reinterpret_cast<BSTR>(0x1);  // left alone on failure
        bool found = locator.ReadDataSourceProperty(kService, row.dataSource, row.property, &value);
        EXPECT_EQ(found, row.found);
        if (found) {
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(mv::ToUtf8(value), row.value);
            SysFreeString(value);
        } else {
            EXPECT_EQ(value, reinterpret_cast<BSTR>(0x1));
        }
        std::string narrow = "stale";
        EXPECT_EQ(locator.GetDataSourceProperty(kService, row.dataSource, row.property, &narrow),
                  row.found);
        EXPECT_EQ(narrow, row.value);
    }
}

TEST_F(DataSourceLocatorTest, NoLocatorFindsNothing) {
    dsasim::AddDataSource(kService, "HIST1");
    struct Row {
        const char* name;
        void (*breakIt)();
    } rows[] = {
        {"not registered", [] { dsasim::Revoke(); }},
        {"creation fails", [] { dsasim::SetCreateFailure(E_OUTOFMEMORY); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.breakIt();
        DataSourceLocator locator;
        EXPECT_FALSE(locator.HasLocator());
        BSTR value = nullptr;
        EXPECT_FALSE(locator.ReadDataSourceProperty(kService, "HIST1", "Host", &value));
        EXPECT_EQ(value, nullptr);
        dsasim::SetCreateFailure(S_OK);
        ASSERT_EQ(dsasim::Register(), S_OK);
    }
}

}  // namespace
