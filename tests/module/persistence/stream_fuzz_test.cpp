// Damaged record streams: a few hundred deterministic mutations of saved
// data, each loaded into a fresh object. A load may fail, but never reads
// past the stream, crashes or leaks. (Damaged document files are the storage
// layer's own fuzz test.)
#include <gtest/gtest.h>

#include <random>

#include "persist_test_class.h"

namespace {

using TestObject = mv::ComPtr<mv::ComObject<CPersistTestObject>>;

// A stream with every kind of record: texts, numbers, `*` rows, a nested
// object and a collection of two members.
Bytes RichStream() {
    TestObject object = MakeTestObject();
    object->name = mv::Bstr(u"Boiler");
    object->count = 12;
    object->ratio = 0.5;
    object->when = 40000.25;
    object->enabled = VARIANT_TRUE;
    object->value = mv::Variant(u"v");
    object->defaultValue = mv::Variant(LONG{3});
    TestObject nested = MakeTestObject(), first = MakeTestObject(), second = MakeTestObject();
    nested->small = 5;
    first->name = mv::Bstr(u"A");
    second->ratio = 2.0;
    object->connection = static_cast<IPersistTestObject*>(nested.get());
    ItemsOf(object.get())->members = {static_cast<IPersistTestObject*>(first.get()),
                                      static_cast<IPersistTestObject*>(second.get())};
    auto stream = NewStream();
    EXPECT_EQ(S_OK, object->Save(stream.get(), FALSE));
    return StreamBytes(stream.get());
}

Bytes Mutate(Bytes bytes, std::mt19937& random) {
    auto pick = [&](size_t n) {
        return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random) : 0;
    };
    switch (pick(5)) {
        case 0:  // flip one byte
            if (!bytes.empty()) bytes[pick(bytes.size())] ^= static_cast<uint8_t>(1 + pick(255));
            break;
        case 1:  // cut the end off
            bytes.resize(pick(bytes.size() + 1));
            break;
        case 2:  // insert a byte
            bytes.insert(bytes.begin() + static_cast<long>(pick(bytes.size() + 1)),
                         static_cast<uint8_t>(pick(256)));
            break;
        case 3:  // drop a byte
            if (!bytes.empty()) bytes.erase(bytes.begin() + static_cast<long>(pick(bytes.size())));
            break;
        default:  // a large 32-bit value where a count or DISPID may stand
            if (bytes.size() >= 4) {
                size_t at = pick(bytes.size() - 3);
                uint32_t v = static_cast<uint32_t>(random());
                for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
            }
            break;
    }
    return bytes;
}

class StreamFuzz : public testing::Test {
protected:
    PersistTestClassRegistration classes_;
};

TEST_F(StreamFuzz, MutatedRecordStreamsLoadOrFailWithinTheirBytes) {
    const Bytes original = RichStream();
    std::mt19937 random(20240607);
    for (int round = 0; round < 400; ++round) {
        Bytes damaged = Mutate(original, random);
        if (round % 3 == 0) damaged = Mutate(damaged, random);
        auto stream = NewStream(damaged);
        TestObject object = MakeTestObject();
        HRESULT hr = object->Load(stream.get());
        (void)hr;
        ASSERT_LE(StreamPosition(stream.get()), damaged.size()) << "round " << round;
    }
}

}  // namespace
