// Texts of the calculation's child objects replaced on one thread while two
// others read them and save the objects: each read sees one whole text.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_objects_test_support.h"

namespace {

using namespace child_test;

TEST(ChildTextsConcurrency, ReadersAndSavesSeeWholeTextsWhileOneThreadReplacesThem) {
    // Texts of different lengths, so that a torn copy would show.
    const std::u16string texts[] = {u"", u"short", u"a rather longer text \u6E29\u5EA6 here"};
    const std::set<std::string> whole = {"8:", "8:short",
                                         "8:a rather longer text \u6E29\u5EA6 here"};
    struct Target {
        mv::ComPtr<IDispatch> object;
        std::vector<const char16_t*> names;
    };
    const Target targets[] = {
        {New<CMvDataSet>(), {u"Name", u"Password", u"QueryString"}},
        {New<CMvDataSetColumn>(), {u"Name"}},
        {New<CMvDravikConnect>(), {u"DravikSQLServer", u"DravikPassword"}},
        {New<CMvCalcOLEMethod>(), {u"Name", u"ParameterName"}},
        {New<CMvCalcOLEArg>(), {u"Name", u"ParameterName"}},
    };
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    auto reader = [&] {
        while (!done.load()) {
            for (const Target& t : targets) {
                for (const char16_t* name : t.names) {
                    mv::Variant value;
                    if (FAILED(mv::DispGetPropertyByName(t.object.get(), name, &value)) ||
                        !whole.count(Shown(value)))
                        torn.fetch_add(1);
                }
                mv::ComPtr<IStream> stream = NewStream();
                if (FAILED(As<IPersistStream>(t.object.get())->Save(stream.get(), FALSE)))
                    torn.fetch_add(1);
            }
        }
    };
    std::thread first(reader), second(reader);
    for (int round = 0; round < 300; ++round) {
        const mv::Variant text(texts[round % 3]);
        for (const Target& t : targets)
            for (const char16_t* name : t.names)
                EXPECT_EQ(mv::DispPutPropertyByName(t.object.get(), name, text), S_OK);
    }
    done.store(true);
    first.join();
    second.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
