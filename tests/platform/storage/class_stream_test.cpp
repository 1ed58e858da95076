#include <gtest/gtest.h>

#include "comobj.h"
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
void ThroughDocument(Fill fill, Read read) {
    ScratchFolder folder;
    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    ASSERT_EQ(CreateWithStream(folder / "doc.mvc", &storage, &stream), S_OK);
    fill(stream);
    stream->Release();
    storage->Release();
    ASSERT_EQ(OpenWithStream(folder / "doc.mvc", &storage, &stream), S_OK);
    read(stream);
    stream->Release();
    storage->Release();
}

TEST(ClassStream, TheIdentifierIsStoredInItsMemoryLayout) {
    ThroughDocument([](IStream* s) { ASSERT_EQ(WriteClassStm(s, kSampleClass), S_OK); },
                    [](IStream* s) {
                        uint8_t raw[16];
                        ULONG got = 0;
                        ASSERT_EQ(s->Read(raw, 16, &got), S_OK);
                        EXPECT_EQ(Bytes(raw, raw + got), kSampleClassBytes);
                        ASSERT_EQ(s->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr), S_OK);
                        CLSID back{};
                        ASSERT_EQ(ReadClassStm(s, &back), S_OK);
                        EXPECT_EQ(back, kSampleClass);
                    });
}

TEST(ClassStream, AShortStreamIsAReadFault) {
    for (ULONG length : {0u, 1u, 15u}) {
        ThroughDocument(
            [&](IStream* s) {
                ASSERT_EQ(s->Write(kSampleClassBytes.data(), length, nullptr), S_OK);
            },
            [&](IStream* s) {
                CLSID back{};
                EXPECT_EQ(ReadClassStm(s, &back), STG_E_READFAULT) << length;
            });
    }
}

// A persistable object that stores one 32-bit number.
class Sample : public mv::ComObjectRoot<Sample>, public IPersistStream {
public:
    using InterfaceMap = mv::Interfaces<IPersistStream, mv::Via<IPersist, IPersistStream>>;
    HRESULT GetClassID(CLSID* clsid) override {
        *clsid = kSampleClass;
        return S_OK;
    }
    HRESULT IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
    HRESULT Load(IStream* stm) override {
        uint8_t raw[4];
        ULONG got = 0;
        HRESULT hr = stm->Read(raw, 4, &got);
        if (FAILED(hr) || got != 4) return FAILED(hr) ? hr : E_FAIL;
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
    bool dirty_ = true;
};

TEST(ClassStream, AnObjectSavedWithItsClassIsCreatedAndLoadedBackWhileRegistered) {
    IUnknown* factory = nullptr;
    ASSERT_EQ(mv::CreateClassFactory<Sample>(IID_IUnknown, reinterpret_cast<void**>(&factory)),
              S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kSampleClass, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
    factory->Release();
    const auto save = [](IStream* s) {
        mv::ComObject<Sample>* sample = nullptr;
        ASSERT_EQ(mv::MakeComObject<Sample>(&sample), S_OK);
        sample->value = 0xA1B2C3D4;
        ASSERT_EQ(OleSaveToStream(sample, s), S_OK);
        EXPECT_EQ(sample->IsDirty(), S_FALSE);
        sample->Release();
        EXPECT_EQ(OleSaveToStream(nullptr, s), OLE_E_BLANK);
    };
    const auto load = [](HRESULT expected) {
        return [expected](IStream* s) {
            IPersist* loaded = reinterpret_cast<IPersist*>(1);
            ASSERT_EQ(OleLoadFromStream(s, IID_IPersist, reinterpret_cast<void**>(&loaded)),
                      expected);
            if (FAILED(expected)) {
                EXPECT_EQ(loaded, nullptr);
                return;
            }
            EXPECT_EQ(static_cast<Sample*>(static_cast<IPersistStream*>(loaded))->value,
                      0xA1B2C3D4u);
            loaded->Release();
            // The stream is used up: the next load fails on the class read.
            IUnknown* none = reinterpret_cast<IUnknown*>(1);
            EXPECT_EQ(OleLoadFromStream(s, IID_IUnknown, reinterpret_cast<void**>(&none)),
                      STG_E_READFAULT);
            EXPECT_EQ(none, nullptr);
        };
    };
    ThroughDocument(save, load(S_OK));
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    ThroughDocument(save, load(REGDB_E_CLASSNOTREG));
    EXPECT_EQ(mv::ModuleLockCount(), 0);
}

}  // namespace
