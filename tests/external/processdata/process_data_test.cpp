// The process-data stand-in as a client sees it through its tables.
#include <gtest/gtest.h>

#include "process_data_sim.h"

namespace {

class ProcessDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        procdata::Reset();
        ASSERT_EQ(procdata::Register(), S_OK);
        procdata::AddDataSource("DS1");
        procdata::AddDataSource("DS2");
        procdata::AddPlantTag("DS1", "FLOW");
        ASSERT_EQ(CoCreateInstance(CLSID_MvProcessDataSources, nullptr, CLSCTX_ALL,
                                   IID_IMvDataSources, sources_.PutVoid()),
                  S_OK);
    }
    void TearDown() override {
        sources_.Reset();
        procdata::Revoke();
        procdata::Reset();
        EXPECT_EQ(procdata::LiveInstances(), 0);
    }
    mv::ComPtr<IMvTags> TagsOf(const VARIANT& index) {
        mv::ComPtr<IMvDataSource> source;
        EXPECT_EQ(sources_->Item(index, source.Put()), S_OK);
        mv::ComPtr<IMvTags> tags;
        if (source) {
            EXPECT_EQ(source->get_Tags(tags.Put()), S_OK);
        }
        return tags;
    }
    mv::ComPtr<IMvDataSources> sources_;
};

mv::Variant Name(const char16_t* text) {
    mv::Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

TEST_F(ProcessDataTest, DataSourcesByPositionOrNameAndTagsPerInstance) {
    LONG count = 0;
    ASSERT_EQ(sources_->get_Count(&count), S_OK);
    EXPECT_EQ(count, 2);
    struct Row {
        mv::Variant index;
        HRESULT hr;
    } rows[] = {{mv::Variant(LONG{1}), S_OK},
                {Name(u"ds2"), S_OK},
                {mv::Variant(LONG{3}), E_INVALIDARG},
                {Name(u"DS9"), E_INVALIDARG},
                {mv::Variant(true), E_INVALIDARG}};
    for (const Row& row : rows) {
        mv::ComPtr<IMvDataSource> source;
        EXPECT_EQ(sources_->Item(row.index, source.Put()), row.hr);
        EXPECT_EQ(static_cast<bool>(source), row.hr == S_OK);
    }

    mv::ComPtr<IMvTags> tags = TagsOf(Name(u"DS1"));
    mv::ComPtr<IMvTag> tag;
    mv::Variant flow = Name(u"flow");
    EXPECT_EQ(tags->Item(flow, tag.Put()), E_INVALIDARG);                     // not collected yet
    EXPECT_EQ(tags->Add(mv::Bstr(u"LEVEL").get(), tag.Put()), E_INVALIDARG);  // unknown
    EXPECT_EQ(tags->Add(mv::Bstr(u"flow").get(), tag.Put()), S_OK);
    EXPECT_EQ(tags->Item(flow, tag.Put()), S_OK);
    EXPECT_EQ(procdata::CollectedTags("DS1"), std::vector<std::string>{"FLOW"});

    // Another instance has its own, empty collections.
    mv::ComPtr<IMvDataSources> other;
    ASSERT_EQ(CoCreateInstance(CLSID_MvProcessDataSources, nullptr, CLSCTX_ALL, IID_IMvDataSources,
                               other.PutVoid()),
              S_OK);
    mv::ComPtr<IMvDataSource> source;
    ASSERT_EQ(other->Item(Name(u"DS1"), source.Put()), S_OK);
    mv::ComPtr<IMvTags> otherTags;
    ASSERT_EQ(source->get_Tags(otherTags.Put()), S_OK);
    EXPECT_EQ(otherTags->Item(flow, tag.Put()), E_INVALIDARG);
    EXPECT_EQ(procdata::LiveInstances(), 2);

    EXPECT_EQ(tags->RemoveAll(), S_OK);
    EXPECT_TRUE(procdata::CollectedTags("DS1").empty());
}

}  // namespace
