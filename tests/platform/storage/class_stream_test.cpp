#include <gtest/gtest.h>

#include <atomic>

#include "storage.h"
#include "storage_test_util.h"

using namespace storage_test;

namespace {

MV_DEFINE_GUID(kSampleClass, 0x11223344, 0x5566, 0x7788, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,
               0x01);
const Bytes kSampleClassBytes = {0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0x88, 0x77,
                                 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01};

// Writes through `fill` into stream "C" of a new document, then opens that
// stream for `read`.
template <class Fill, class Read>
void ThroughDocument(const ScratchFolder& folder, Fill fill, Read read) {
    const auto path = folder / "doc.mvc";
    IStorage* storage = nullptr;
    ASSERT_EQ(StgCreateDocfile(Wide(path).c_str(), 0x1012, 0, &storage), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(storage->CreateStream(u"C", 0x12, 0, 0, &stream), S_OK);
    fill(stream);
    stream->Release();
    storage->Release();
    ASSERT_EQ(StgOpenStorage(Wide(path).c_str(), nullptr, 0x10, nullptr, 0, &storage), S_OK);
    ASSERT_EQ(storage->OpenStream(u"C", nullptr, 0x10, 0, &stream), S_OK);
    read(stream);
    stream->Release();
    storage->Release();
}

TEST(ClassStream, TheIdentifierIsStoredInItsMemoryLayout) {
    ScratchFolder folder;
    ThroughDocument(
        folder, [](IStream* s) { ASSERT_EQ(WriteClassStm(s, kSampleClass), S_OK); },
        [](IStream* s) {
            uint8_t raw[16];
            ULONG got = 0;
            ASSERT_EQ(s->Read(raw, 16, &got), S_OK);
            EXPECT_EQ(Bytes(raw, raw + got), kSampleClassBytes);
            LARGE_INTEGER start{0};
            ASSERT_EQ(s->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
            CLSID back{};
            ASSERT_EQ(ReadClassStm(s, &back), S_OK);
            EXPECT_EQ(back, kSampleClass);
        });
}

TEST(ClassStream, AShortStreamIsAReadFault) {
    for (ULONG length : {0u, 1u, 15u}) {
        ScratchFolder folder;
        ThroughDocument(
            folder,
            [&](IStream* s) {
                ASSERT_EQ(s->Write(kSampleClassBytes.data(), length, nullptr), S_OK);
            },
            [&](IStream* s) {
                CLSID back{};
                EXPECT_EQ(ReadClassStm(s, &back), STG_E_READFAULT) << length;
            });
    }
}

template <class Interface>
class Counted : public Interface {
public:
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~Counted() = default;

private:
    std::atomic<ULONG> refs_{1};
};

// A persistable object that stores one 32-bit number.
class Sample final : public Counted<IPersistStream> {
public:
    static std::atomic<int> live;
    Sample() { ++live; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IPersistStream) {
            *ppv = static_cast<IPersistStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT GetClassID(CLSID* clsid) override {
        *clsid = kSampleClass;
        return S_OK;
    }
    HRESULT IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
    HRESULT Load(IStream* stm) override {
        uint8_t raw[4];
        ULONG got = 0;
        HRESULT hr = stm->Read(raw, 4, &got);
        if (FAILED(hr)) return hr;
        if (got != 4) return E_FAIL;
        value = raw[0] | (raw[1] << 8) | (raw[2] << 16) | (static_cast<uint32_t>(raw[3]) << 24);
        return S_OK;
    }
    HRESULT Save(IStream* stm, BOOL clearDirty) override {
        const uint8_t raw[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                static_cast<uint8_t>(value >> 16),
                                static_cast<uint8_t>(value >> 24)};
        if (clearDirty) dirty_ = false;
        return stm->Write(raw, 4, nullptr);
    }
    HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    uint32_t value = 0;

private:
    ~Sample() override { --live; }
    bool dirty_ = true;
};
std::atomic<int> Sample::live{0};

class SampleFactory final : public Counted<IClassFactory> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* object = new Sample();
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    ~SampleFactory() override = default;
};

TEST(ClassStream, AnObjectSavedWithItsClassIsCreatedAndLoadedBack) {
    auto* factory = new SampleFactory();
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kSampleClass, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
    factory->Release();
    ScratchFolder folder;
    ThroughDocument(
        folder,
        [](IStream* s) {
            auto* sample = new Sample();
            sample->value = 0xA1B2C3D4;
            ASSERT_EQ(OleSaveToStream(sample, s), S_OK);
            EXPECT_EQ(sample->IsDirty(), S_FALSE);
            sample->Release();
            EXPECT_EQ(OleSaveToStream(nullptr, s), OLE_E_BLANK);
        },
        [](IStream* s) {
            IPersist* loaded = nullptr;
            ASSERT_EQ(OleLoadFromStream(s, IID_IPersist, reinterpret_cast<void**>(&loaded)), S_OK);
            EXPECT_EQ(static_cast<Sample*>(static_cast<IPersistStream*>(loaded))->value,
                      0xA1B2C3D4u);
            loaded->Release();
            // The stream is used up: the next load fails on the class read.
            IUnknown* none = reinterpret_cast<IUnknown*>(1);
            EXPECT_EQ(OleLoadFromStream(s, IID_IUnknown, reinterpret_cast<void**>(&none)),
                      STG_E_READFAULT);
            EXPECT_EQ(none, nullptr);
        });
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(Sample::live, 0);
}

TEST(ClassStream, AnUnregisteredClassIsNotLoaded) {
    ScratchFolder folder;
    ThroughDocument(
        folder, [](IStream* s) { ASSERT_EQ(WriteClassStm(s, kSampleClass), S_OK); },
        [](IStream* s) {
            IUnknown* none = reinterpret_cast<IUnknown*>(1);
            EXPECT_EQ(OleLoadFromStream(s, IID_IUnknown, reinterpret_cast<void**>(&none)),
                      REGDB_E_CLASSNOTREG);
            EXPECT_EQ(none, nullptr);
        });
}

}  // namespace
