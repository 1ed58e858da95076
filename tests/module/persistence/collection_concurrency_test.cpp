// One collection shared by several threads that add, remove, rename, look
// up, list, enumerate, save and load at once.
#include <thread>

#include "collection_test_support.h"
#include "frame/diagnostic_log.h"

namespace collection_test {
namespace {

mv::ComPtr<IStream> NewStream() {
    mv::ComPtr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    return stream;
}

void Rewind(IStream* stream) {
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
}

// One worker: its own names ("t<n>-<k>") and names every worker fights over
// ("shared-<k>").
void Work(IMvObjCollection* collection, int thread, int rounds) {
    uint32_t state = 2654435761u * static_cast<uint32_t>(thread + 1);
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    auto nameOf = [&](uint32_t k) {
        std::u16string own = u"t" + std::u16string(1, char16_t(u'0' + thread)) + u"-";
        return (k % 2 ? own : std::u16string(u"shared-")) +
               std::u16string(1, char16_t(u'a' + k % 8));
    };
    for (int i = 0; i < rounds; ++i) {
        mv::Bstr name(nameOf(next())), other(nameOf(next()));
        switch (next() % 9) {
            case 0:
            case 1: {
                auto member = MakeMember<CTestMember>(name.view());
                collection->Add(name.get(), AsDispatch(member.get()));
                break;
            }
            case 2:
                collection->Remove(name.get());
                break;
            case 3:
                collection->Rename(name.get(), other.get());
                break;
            case 4: {
                mv::ComPtr<IDispatch> item;
                collection->ItemByName(name.get(), item.Put());
                LONG count = 0, index = 0;
                collection->get_Count(&count);
                collection->IndexFromName(name.get(), &index);
                if (count > 0)
                    collection->ItemByIndex(1 + static_cast<LONG>(next() % count), item.Put());
                break;
            }
            case 5: {
                VARIANT names;
                VariantInit(&names);
                EXPECT_EQ(collection->ListNames(&names), S_OK);
                VariantClear(&names);
                break;
            }
            case 6: {
                mv::ComPtr<IEnumVARIANT> items = NewEnum(collection);
                ASSERT_TRUE(items);
                VARIANT v;
                VariantInit(&v);
                while (items->Next(1, &v, nullptr) == S_OK) {
                    EXPECT_EQ(v.vt, VT_DISPATCH);
                    VariantClear(&v);
                }
                break;
            }
            case 7: {
                mv::ComPtr<IPersistStream> persist;
                ASSERT_EQ(collection->QueryInterface(IID_IPersistStream, persist.PutVoid()), S_OK);
                auto stream = NewStream();
                EXPECT_EQ(persist->Save(stream.get(), TRUE), S_OK);
                Rewind(stream.get());
                auto copy = MakeCollection();
                EXPECT_EQ(copy->Load(stream.get()), S_OK);
                break;
            }
            default: {
                std::vector<mv::ComPtr<IDispatch>> members;
                EXPECT_EQ(MvObjCollection_Snapshot(collection, &members), S_OK);
                for (auto& m : members) EXPECT_TRUE(m);
                if (next() % 16 == 0) collection->RemoveAll();
            }
        }
    }
}

TEST(CollectionConcurrencyTest, SharedCollectionStaysConsistentUnderMixedCalls) {
    g_DiagnosticLog.Initialize(nullptr, LogComponentMorvaCalc, {}, u"17.0.0.266");
    ServedMembers served;
    auto collection = MakeCollection();
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) threads.emplace_back(Work, collection.get(), t, 400);
    for (auto& t : threads) t.join();

    // The array and the name map still describe the same set: every name a
    // worker could use finds at most one member, whose reported position
    // holds it, and the found names are as many as the positions.
    LONG count = 0;
    ASSERT_EQ(collection->get_Count(&count), S_OK);
    std::vector<mv::ComPtr<IDispatch>> members;
    ASSERT_EQ(collection->Snapshot(&members), S_OK);
    ASSERT_EQ(members.size(), static_cast<size_t>(count));
    std::vector<std::u16string> names;
    for (char16_t k = u'a'; k < u'a' + 8; ++k) {
        names.push_back(std::u16string(u"shared-") + k);
        for (char16_t t = u'0'; t < u'6'; ++t) names.push_back(std::u16string(u"t") + t + u"-" + k);
    }
    LONG found = 0;
    for (const std::u16string& n : names) {
        mv::Bstr name(n);
        mv::ComPtr<IDispatch> item;
        if (collection->ItemByName(name.get(), item.Put()) != S_OK) continue;
        ++found;
        LONG index = 0;
        ASSERT_EQ(collection->IndexFromName(name.get(), &index), S_OK);
        ASSERT_GE(index, 1);
        ASSERT_LE(index, count);
        EXPECT_EQ(members[static_cast<size_t>(index) - 1].get(), item.get());
    }
    EXPECT_EQ(found, count);
    collection.Reset();
    members.clear();
    EXPECT_EQ(g_liveMembers.load(), 0) << "every reference is given back exactly once";
}

}  // namespace
}  // namespace collection_test
