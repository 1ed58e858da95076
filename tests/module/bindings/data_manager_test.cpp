// The process-data manager against the process-data stand-in.
#include "sources/data_manager.h"

#include <memory>

#include "../parameters/parameter_test_support.h"
#include "binding_test_support.h"
#include "process_data_sim.h"

namespace {

using bindtest::B;
using bindtest::LogMark;
using procdata::Op;

class DataManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        procdata::Reset();
        ASSERT_EQ(procdata::Register(), S_OK);
        for (const char* ds : {"DS1", "DS2", "DS3"}) {
            procdata::AddDataSource(ds);
            procdata::AddPlantTag(ds, "FLOW");
        }
    }
    void TearDown() override {
        procdata::Revoke();
        procdata::Reset();
        EXPECT_EQ(procdata::LiveInstances(), 0);
    }
};

TEST_F(DataManagerTest, InitializeCreatesOnceWithTheAccountAndSynchronousReads) {
    MvDataManager manager;
    EXPECT_FALSE(manager.HasComponent());
    ASSERT_EQ(manager.InitializeManager(), S_OK);
    EXPECT_TRUE(manager.HasComponent());
    auto calls = procdata::UserDomainCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].token, mv::GuidToString(MvDataManagerCallerToken()));
    EXPECT_EQ(calls[0].token.size(), 38u);
    EXPECT_FALSE(calls[0].user.empty());
    EXPECT_EQ(procdata::SynchronousSwitches(), 1);

    LogMark log;
    EXPECT_EQ(manager.InitializeManager(), S_OK);
    EXPECT_EQ(log.Count("MvDataManager::InitializeManager: S_OK"), 1u);
    EXPECT_EQ(log.Count("MvDataManager::Initialize: already initialized"), 1u);
    EXPECT_EQ(procdata::Creations(), 1);
}

TEST_F(DataManagerTest, InitializeFailuresAndWhatTheyKeep) {
    struct Row {
        Op op;
        const char* message;
        bool keepsComponent;
        int synchronous;
    } rows[] = {
        {Op::Create, "Unable to create component: MvProcessData::DataSources", false, 0},
        {Op::SetUserDomain, "Failed call to MvProcessData::IMvDataSources::SetUserDomain", true, 0},
        {Op::AsynchronousEnabled,
         "Failed call to MvProcessData::IMvDataSources::put_AsynchronousEnabled", true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        procdata::SetFailure(row.op, E_ACCESSDENIED);
        int before = procdata::SynchronousSwitches();
        MvDataManager manager;
        LogMark log;
        EXPECT_EQ(manager.InitializeManager(), E_ACCESSDENIED);
        EXPECT_EQ(log.Count(row.message), 1u);
        EXPECT_EQ(manager.HasComponent(), row.keepsComponent);
        EXPECT_EQ(procdata::SynchronousSwitches() - before, row.synchronous);
        procdata::SetFailure(row.op, S_OK);
        // The next call either creates the component or finds it held.
        EXPECT_EQ(manager.InitializeManager(), S_OK);
        EXPECT_TRUE(manager.HasComponent());
    }
}

TEST_F(DataManagerTest, CheckTagValidOutcomes) {
    struct Row {
        const char* name;
        const char* dataSource;
        const char* tag;
        Op failing;  // Op::Create when nothing is injected
        HRESULT failure;
        HRESULT expect;
        const char* message;  // "" when no error line is expected
        bool tagsAdded;
    } rows[] = {
        {"known tag", "DS2", "FLOW", Op::Create, S_OK, S_OK, "", true},
        {"names ignore case", "ds2", "flow", Op::Create, S_OK, S_OK, "", true},
        {"tag the source lacks", "DS2", "LEVEL", Op::Create, S_OK, E_INVALIDARG,
         "Invalid tag( LEVEL ) for data source( DS2 )", true},
        {"unknown data source", "DS9", "FLOW", Op::Create, S_OK, E_INVALIDARG,
         "Invalid data source( DS9 ) for tag( FLOW )", false},
        {"tags collection refused", "DS2", "FLOW", Op::Tags, E_FAIL, E_FAIL,
         "MvProcessData::IMvDataSource::get_Tags", false},
        {"component cannot be created", "DS2", "FLOW", Op::Create, REGDB_E_CLASSNOTREG,
         REGDB_E_CLASSNOTREG, "Unable to create component: MvProcessData::DataSources", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.failure != S_OK) procdata::SetFailure(row.failing, row.failure);
        {
            MvDataManager manager;
            LogMark log;
            EXPECT_EQ(manager.CheckTagValid(B(row.dataSource).get(), B(row.tag).get()), row.expect);
            if (*row.message) {
                EXPECT_EQ(log.Count(row.message), 1u) << log.Lines();
            }
            EXPECT_EQ(manager.TagsAdded(), row.tagsAdded);
            if (row.expect == S_OK) {
                EXPECT_EQ(procdata::CollectedTags("DS2"), std::vector<std::string>{"FLOW"});
                // A second check finds the tag collected and adds nothing.
                EXPECT_EQ(manager.CheckTagValid(B(row.dataSource).get(), B(row.tag).get()), S_OK);
                EXPECT_EQ(procdata::CollectedTags("DS2").size(), 1u);
            }
        }
        // Destroying the manager removed what it added.
        EXPECT_TRUE(procdata::CollectedTags("DS2").empty());
        EXPECT_EQ(procdata::LiveInstances(), 0);
        procdata::SetFailure(row.failing, S_OK);
    }
}

TEST_F(DataManagerTest, FreeTagsWalksEveryDataSourceUntilOneFails) {
    struct Row {
        const char* name;
        bool addTags;
        const char* failingSource;  // RemoveAll fails there; "" for none
        HRESULT expect;
        size_t tagsLeftInDs3;
    } rows[] = {
        {"nothing added", false, "DS1", S_OK, 0},
        {"every source emptied", true, "", S_OK, 0},
        {"second of three fails", true, "DS2", E_FAIL, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (*row.failingSource) procdata::SetFailure(Op::RemoveAll, E_FAIL, row.failingSource);
        auto manager = std::make_unique<MvDataManager>();
        if (row.addTags) {
            for (const char* ds : {"DS1", "DS2", "DS3"})
                ASSERT_EQ(manager->CheckTagValid(B(ds).get(), B("FLOW").get()), S_OK);
        }
        LogMark log;
        EXPECT_EQ(manager->FreeTags(), row.expect);
        EXPECT_EQ(procdata::CollectedTags("DS3").size(), row.tagsLeftInDs3);
        if (FAILED(row.expect)) {
            EXPECT_EQ(log.Count("MvProcessData::IMvTags::RemoveAll"), 1u);
        }
        procdata::SetFailure(Op::RemoveAll, S_OK);
        manager.reset();
    }
}

// An operation that returns before its normal end, failed or not, writes
// its start line and no end line.
TEST_F(DataManagerTest, StepEndLinesOnlyAtTheNormalEnd) {
    struct Row {
        const char* name;
        const char* tag;          // checked in DS2 after FLOW was checked there
        const char* removeFails;  // RemoveAll fails in that data source; "" for none
        size_t checkEnds, addTagsEnds, freeTagsEnds;
    } rows[] = {
        {"tag found in the collection", "FLOW", "", 1, 0, 1},
        {"tag added", "LEVEL2", "", 1, 1, 1},
        {"tag refused", "NOPE", "", 1, 1, 1},
        {"data source unknown", nullptr, "", 0, 0, 1},
        {"RemoveAll fails", "FLOW", "DS1", 1, 0, 0},
    };
    procdata::AddPlantTag("DS2", "LEVEL2");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MvDataManager manager;
        ASSERT_EQ(manager.CheckTagValid(B("DS2").get(), B("FLOW").get()), S_OK);
        if (*row.removeFails) procdata::SetFailure(Op::RemoveAll, E_FAIL, row.removeFails);
        LogMark log(false, true);
        manager.CheckTagValid(B(row.tag ? "DS2" : "DS9").get(),
                              B(row.tag ? row.tag : "FLOW").get());
        manager.FreeTags();
        procdata::SetFailure(Op::RemoveAll, S_OK);
        EXPECT_EQ(log.Count("MvDataManager::CheckTagValid( Function - Start )"), 1u);
        EXPECT_EQ(log.Count("MvDataManager::CheckTagValid( Function - End )"), row.checkEnds);
        EXPECT_EQ(log.Count("MvDataManager::AddTags( Function - End )"), row.addTagsEnds);
        EXPECT_EQ(log.Count("MvDataManager::FreeTags( Function - End )"), row.freeTagsEnds);
    }
}

TEST_F(DataManagerTest, StepLinesOfAManagerThatNeverCreatedTheComponent) {
    LogMark log(false, true);
    { MvDataManager manager; }
    EXPECT_EQ(log.Count("MvDataManager::~MvDataManager( Function - Start )"), 1u);
    EXPECT_EQ(log.Count("MvDataManager::FreeTags( Function - Start )"), 1u);
    // Both left early: no end lines.
    EXPECT_EQ(log.Count("Function - End"), 0u);
    EXPECT_EQ(procdata::Creations(), 0);
}

// Every road of a read, and of a write where it differs: the result, the
// lines written (two per failure) and what the read's out arguments hold.
TEST_F(DataManagerTest, ReadAndWriteOutcomes) {
    procdata::SetSample("DS2", "FLOW", "VALUE", {45000.5, mv::Variant(LONG{7}), true});
    procdata::SetSample("DS2", "LEVEL", "VALUE", {45001.0, mv::Variant(LONG{7}), false});
    procdata::SetQueryStatus(5);
    struct Row {
        const char *tag, *map, *attribute;
        Op op;  // Op::Count: nothing injected
        HRESULT injected, expect;
        const char* message;  // "" when no lines are expected
        LONG value, level, status;
        DATE time;
        bool write = false;  // a write instead of a read
    } rows[] = {
        {"FLOW", "M", "VALUE", Op::Count, S_OK, S_OK, "", 7, 0, 5, 45000.5},
        {"LEVEL", "M", "VALUE", Op::Count, S_OK, S_OK, "", 7, 1, 5, 45001},
        {"FLOW", "M", "OTHER", Op::Count, S_OK, S_OK, "Query ended with errors", 0, 1, 3, -1},
        {"", "M", "VALUE", Op::Count, S_OK, E_FAIL,
         "MvDataManager::GetValue:  tagname had 0-length string", 0, 1, -7, -1},
        {"FLOW", "M", "VALUE", Op::Create, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG,
         "Unable to create component: MvProcessData::DataSources", 0, 1, -7, -1},
        {"NOPE", "M", "VALUE", Op::Count, S_OK, E_INVALIDARG,
         "Invalid tag( NOPE ) for data source( DS2 )", 0, 1, -7, -1},
        {"FLOW", "", "VALUE", Op::Count, S_OK, E_INVALIDARG, "Invalid map(  )", 0, 1, -7, -1},
        {"FLOW", "M", "", Op::Count, S_OK, E_INVALIDARG,
         "Invalid attribute(  ) for data source( DS2 ) tag( FLOW )", 0, 1, -7, -1},
        {"FLOW", "M", "VALUE", Op::Attributes, S_FALSE, E_POINTER,
         "MvProcessData::IMvDataSource::get_Attributes", 0, 1, -7, -1},
        {"FLOW", "M", "VALUE", Op::Read, E_FAIL, E_FAIL, "IMvAttributes:  Failed call to Read", 0,
         1, -7, -1},
        {"FLOW", "M", "VALUE", Op::QueryStatus, S_FALSE, E_POINTER,
         "IMvAttributes:  Failed call to get_QueryStatus", 0, 1, -7, -1},
        {"FLOW", "M", "VALUE", Op::Status, E_FAIL, E_FAIL,
         "IMvQueryStatus:  Failed call to get_Status", 0, 1, -7, -1},
        {"FLOW", "M", "VALUE", Op::Time, E_FAIL, E_FAIL, "IMvSample:  Failed call to get_Time", 0,
         1, 5, -1},
        {"FLOW", "M", "VALUE", Op::Value, E_FAIL, E_FAIL, "IMvSample:  Failed call to get_Value", 0,
         1, 5, 45000.5},
        {"FLOW", "M", "VALUE", Op::Valid, E_FAIL, E_FAIL, "IMvSample:  Failed call to get_Valid", 7,
         1, 5, 45000.5},
        {"FLOW", "M", "VALUE", Op::WriteAttribute, E_ACCESSDENIED, E_ACCESSDENIED,
         "IMvTag:  Failed call to WriteAttribute", 0, 0, 0, 0, true},
        {"", "M", "VALUE", Op::Count, S_OK, S_OK,
         "MvDataManager::SetValue: MvDataManager::SetValue:  tagname had 0-length string", 0, 0, 0,
         0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.tag) + "/" + row.map + "/" + row.attribute + " " +
                     row.message);
        procdata::SetFailure(row.op, row.injected);
        DATE time = -1;
        mv::Variant value(99.0);
        LONG level = -5, status = -7;
        {
            MvDataManager manager;
            LogMark log;
            HRESULT hr = row.write ? manager.SetValue(B("DS2").get(), B(row.tag).get(),
                                                      B(row.map).get(), B(row.attribute).get(),
                                                      &value, 1, 4, 2.0, VARIANT_TRUE)
                                   : manager.GetAttributeValue(
                                         B("DS2").get(), B(row.tag).get(), B(row.map).get(),
                                         B(row.attribute).get(), &time, &value, &level, &status);
            EXPECT_EQ(hr, row.expect);
            const size_t lines = row.write && !*row.tag ? 1 : 2;
            EXPECT_EQ(log.Count("\n"), *row.message ? lines : 0u) << log.Lines();
            EXPECT_EQ(log.Count(row.message), 1u) << log.Lines();
        }
        procdata::SetFailure(row.op, S_OK);
        EXPECT_TRUE(procdata::CollectedTags("DS2").empty());
        if (row.write) continue;
        parameter_test::ExpectSame(value, mv::Variant(row.value));
        EXPECT_EQ(level * 100 + status, row.level * 100 + row.status);
        EXPECT_EQ(time, row.time);
    }
    EXPECT_TRUE(procdata::Writes().empty());
}

}  // namespace
