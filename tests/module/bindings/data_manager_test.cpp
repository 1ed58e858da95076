// The process-data manager against the process-data stand-in.
#include "bindings/data_manager.h"

#include <algorithm>
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

size_t LineCount(const LogMark& log) {
    const std::string lines = log.Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n'));
}

// Every road of a read: the result, the two error lines of a failure (or
// none), and what the out arguments hold afterwards.
TEST_F(DataManagerTest, GetAttributeValueOutcomes) {
    procdata::SetSample("DS2", "FLOW", "VALUE", {45000.5, mv::Variant(LONG{7}), true});
    procdata::SetSample("DS2", "LEVEL", "VALUE", {45001.0, mv::Variant(LONG{7}), false});
    procdata::SetQueryStatus(5);
    struct Row {
        const char* name;
        const char* tag;
        const char* map;
        const char* attribute;
        const char* dataSource;
        Op op;  // Op::Count: nothing injected
        HRESULT injected, expect;
        const char* message;  // "" when no lines are expected
        LONG value, level, status;
        DATE time;
    } rows[] = {
        {"valid sample", "FLOW", "M", "VALUE", "DS2", Op::Count, S_OK, S_OK, "", 7, 0, 5, 45000.5},
        {"invalid sample", "LEVEL", "M", "VALUE", "DS2", Op::Count, S_OK, S_OK, "", 7, 1, 5, 45001},
        {"query ended with errors", "FLOW", "M", "OTHER", "DS2", Op::Count, S_OK, S_OK,
         "Query ended with errors", 0, 1, 3, -1},
        {"empty tag", "", "M", "VALUE", "DS2", Op::Count, S_OK, E_FAIL,
         "MvDataManager::GetValue:  tagname had 0-length string", 0, 1, -7, -1},
        {"no component", "FLOW", "M", "VALUE", "DS2", Op::Create, REGDB_E_CLASSNOTREG,
         REGDB_E_CLASSNOTREG, "Unable to create component: MvProcessData::DataSources", 0, 1, -7,
         -1},
        {"empty data source", "FLOW", "M", "VALUE", "", Op::Count, S_OK, E_INVALIDARG,
         "Invalid data source(  ) for tag( FLOW )", 0, 1, -7, -1},
        {"tag refused", "NOPE", "M", "VALUE", "DS2", Op::Count, S_OK, E_INVALIDARG,
         "Invalid tag( NOPE ) for data source( DS2 )", 0, 1, -7, -1},
        {"empty map", "FLOW", "", "VALUE", "DS2", Op::Count, S_OK, E_INVALIDARG, "Invalid map(  )",
         0, 1, -7, -1},
        {"empty attribute", "FLOW", "M", "", "DS2", Op::Count, S_OK, E_INVALIDARG,
         "Invalid attribute(  ) for data source( DS2 ) tag( FLOW )", 0, 1, -7, -1},
        {"no attributes", "FLOW", "M", "VALUE", "DS2", Op::Attributes, S_FALSE, E_POINTER,
         "MvProcessData::IMvDataSource::get_Attributes", 0, 1, -7, -1},
        {"no sample", "FLOW", "M", "VALUE", "DS2", Op::AttributeAdd, S_FALSE, E_INVALIDARG,
         "Invalid attribute( VALUE ) for data source( DS2 ) tag( FLOW )", 0, 1, -7, -1},
        {"read fails", "FLOW", "M", "VALUE", "DS2", Op::Read, E_FAIL, E_FAIL,
         "IMvAttributes:  Failed call to Read", 0, 1, -7, -1},
        {"no query status", "FLOW", "M", "VALUE", "DS2", Op::QueryStatus, S_FALSE, E_POINTER,
         "IMvAttributes:  Failed call to get_QueryStatus", 0, 1, -7, -1},
        {"status fails", "FLOW", "M", "VALUE", "DS2", Op::Status, E_FAIL, E_FAIL,
         "IMvQueryStatus:  Failed call to get_Status", 0, 1, -7, -1},
        {"time fails", "FLOW", "M", "VALUE", "DS2", Op::Time, E_FAIL, E_FAIL,
         "IMvSample:  Failed call to get_Time", 0, 1, 5, -1},
        {"value fails", "FLOW", "M", "VALUE", "DS2", Op::Value, E_FAIL, E_FAIL,
         "IMvSample:  Failed call to get_Value", 0, 1, 5, 45000.5},
        {"validity fails", "FLOW", "M", "VALUE", "DS2", Op::Valid, E_FAIL, E_FAIL,
         "IMvSample:  Failed call to get_Valid", 7, 1, 5, 45000.5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        procdata::SetFailure(row.op, row.injected);
        DATE time = -1;
        mv::Variant value(99.0);
        LONG level = -5, status = -7;
        {
            MvDataManager manager;
            LogMark log;
            EXPECT_EQ(manager.GetAttributeValue(B(row.dataSource).get(), B(row.tag).get(),
                                                B(row.map).get(), B(row.attribute).get(), &time,
                                                &value, &level, &status),
                      row.expect);
            EXPECT_EQ(LineCount(log), *row.message ? 2u : 0u) << log.Lines();
            if (*row.message) {
                EXPECT_EQ(log.Count(row.message), 1u) << log.Lines();
            }
        }
        parameter_test::ExpectSame(value, mv::Variant(row.value));
        EXPECT_EQ(level, row.level);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(time, row.time);
        procdata::SetFailure(row.op, S_OK);
        EXPECT_TRUE(procdata::CollectedTags("DS2").empty());
    }
    EXPECT_EQ(procdata::MapChoices().back().map, "M");
}

TEST_F(DataManagerTest, SetValueOutcomes) {
    struct Row {
        const char* name;
        const char* tag;
        const char* map;
        const char* attribute;
        Op op;  // Op::Count: nothing injected
        HRESULT expect;
        const char* message;  // "" when no lines are expected
        size_t lines;
    } rows[] = {
        {"written", "FLOW", "M", "VALUE", Op::Count, S_OK, "", 0},
        {"empty tag: nothing written, one line", "", "M", "VALUE", Op::Count, S_OK,
         "MvDataManager::SetValue: MvDataManager::SetValue:  tagname had 0-length string", 1},
        {"write refused", "FLOW", "M", "VALUE", Op::WriteAttribute, E_ACCESSDENIED,
         "IMvTag:  Failed call to WriteAttribute", 2},
        {"empty attribute", "FLOW", "M", "", Op::Count, E_INVALIDARG,
         "IMvTag:  Failed call to WriteAttribute", 2},
        {"empty map", "FLOW", "", "VALUE", Op::Count, E_INVALIDARG, "Invalid map(  )", 2},
        {"map refused", "FLOW", "M", "VALUE", Op::SetMap, E_FAIL, "Invalid map( M )", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.op != Op::Count) procdata::SetFailure(row.op, row.expect);
        const size_t before = procdata::Writes().size();
        mv::Variant value(30.0);
        {
            MvDataManager manager;
            LogMark log;
            EXPECT_EQ(
                manager.SetValue(B("DS2").get(), B(row.tag).get(), B(row.map).get(),
                                 B(row.attribute).get(), &value, 1, 4, 45000.25, VARIANT_TRUE),
                row.expect);
            EXPECT_EQ(LineCount(log), row.lines) << log.Lines();
            if (*row.message) {
                EXPECT_EQ(log.Count(row.message), 1u) << log.Lines();
            }
            EXPECT_EQ(manager.HasComponent(), *row.tag != 0);
        }
        procdata::SetFailure(row.op, S_OK);
        const auto writes = procdata::Writes();
        ASSERT_EQ(writes.size() - before, row.name == std::string("written") ? 1u : 0u);
        if (writes.size() > before) {
            const procdata::Write& w = writes.back();
            EXPECT_EQ(w.dataSource + "/" + w.tag + "/" + w.map + "/" + w.attribute,
                      "DS2/FLOW/M/VALUE");
            EXPECT_EQ(w.time, 45000.25);
            EXPECT_EQ(w.flag, VARIANT_TRUE);
            parameter_test::ExpectSame(w.value, mv::Variant(30.0));
            EXPECT_EQ(w.level, 1);
            EXPECT_EQ(w.status, 4);
        }
    }
}

}  // namespace
