// The memory stream behind CreateStreamOnHGlobal.
#include <gtest/gtest.h>

#include <string>

#include "com.h"

namespace {

LARGE_INTEGER Li(LONGLONG v) {
    return LARGE_INTEGER{v};
}
ULARGE_INTEGER Uli(ULONGLONG v) {
    return ULARGE_INTEGER{v};
}

class MemStreamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, s_.Put())); }
    void TearDown() override {
        s_.Reset();
        EXPECT_EQ(0, mv::ModuleLockCount());
    }
    std::string ReadAll(IStream* s) {
        EXPECT_EQ(S_OK, s->Seek(Li(0), STREAM_SEEK_SET, nullptr));
        std::string out(64, '\0');
        ULONG n = 0;
        EXPECT_EQ(S_OK, s->Read(out.data(), 64, &n));
        out.resize(n);
        return out;
    }
    mv::ComPtr<IStream> s_;
};

TEST_F(MemStreamTest, SeekReadAndWriteFollowThePosition) {
    ASSERT_EQ(S_OK, s_->Write("hello world", 11, nullptr));
    struct Case {
        LONGLONG move;
        DWORD origin;
        HRESULT hr;
        ULONGLONG position;  // after the seek
        ULONG want;
        std::string read;
    };
    const Case cases[] = {
        {0, STREAM_SEEK_SET, S_OK, 0, 5, "hello"},
        {1, STREAM_SEEK_CUR, S_OK, 6, 5, "world"},
        {-5, STREAM_SEEK_END, S_OK, 6, 100, "world"},  // a short read is still S_OK
        {20, STREAM_SEEK_SET, S_OK, 20, 4, ""},        // past the end reads nothing
        {-1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION, 20, 0, ""},
        {-12, STREAM_SEEK_END, STG_E_INVALIDFUNCTION, 20, 0, ""},
        {0, 3, STG_E_INVALIDFUNCTION, 20, 0, ""},
        {-4, STREAM_SEEK_CUR, S_OK, 16, 0, ""},
        {INT64_MAX, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 16, 0, ""},  // beyond any offset
    };
    for (const Case& c : cases) {
        ULARGE_INTEGER pos{12345};
        EXPECT_EQ(c.hr, s_->Seek(Li(c.move), c.origin, &pos));
        ULARGE_INTEGER now{};
        ASSERT_EQ(S_OK, s_->Seek(Li(0), STREAM_SEEK_CUR, &now));
        EXPECT_EQ(c.position, now.QuadPart);
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(c.position, pos.QuadPart);
        }
        std::string buf(c.want, '\0');
        ULONG n = 99;
        ASSERT_EQ(S_OK, s_->Read(buf.data(), c.want, &n));
        EXPECT_EQ(c.read, buf.substr(0, n));
    }
    // Writing past the end fills the gap with zeros.
    ASSERT_EQ(S_OK, s_->Seek(Li(13), STREAM_SEEK_SET, nullptr));
    ULONG written = 0;
    ASSERT_EQ(S_OK, s_->Write("!", 1, &written));
    EXPECT_EQ(1u, written);
    EXPECT_EQ(std::string("hello world\0\0!", 14), ReadAll(s_.get()));
}

TEST_F(MemStreamTest, StatSetSizeAndCloneShareTheBytes) {
    ASSERT_EQ(S_OK, s_->Write("abcdef", 6, nullptr));
    STATSTG st;
    ASSERT_EQ(S_OK, s_->Stat(&st, STATFLAG_NONAME));
    EXPECT_EQ(STGTY_STREAM, st.type);
    EXPECT_EQ(6u, st.cbSize.QuadPart);
    EXPECT_EQ(nullptr, st.pwcsName);

    ASSERT_EQ(S_OK, s_->SetSize(Uli(3)));
    EXPECT_EQ("abc", ReadAll(s_.get()));
    ASSERT_EQ(S_OK, s_->SetSize(Uli(5)));
    EXPECT_EQ(std::string("abc\0\0", 5), ReadAll(s_.get()));

    mv::ComPtr<IStream> clone;
    ASSERT_EQ(S_OK, s_->Clone(clone.Put()));
    ULARGE_INTEGER pos{};
    ASSERT_EQ(S_OK, clone->Seek(Li(0), STREAM_SEEK_CUR, &pos));
    EXPECT_EQ(5u, pos.QuadPart) << "a clone starts at the original's position";
    ASSERT_EQ(S_OK, clone->Seek(Li(0), STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, clone->Write("XY", 2, nullptr));
    EXPECT_EQ(std::string("XYc\0\0", 5), ReadAll(s_.get()));
}

TEST_F(MemStreamTest, CopyToMovesBytesEvenIntoAClone) {
    ASSERT_EQ(S_OK, s_->Write("0123456789", 10, nullptr));
    mv::ComPtr<IStream> target;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, target.Put()));
    ASSERT_EQ(S_OK, s_->Seek(Li(2), STREAM_SEEK_SET, nullptr));
    ULARGE_INTEGER read{}, written{};
    ASSERT_EQ(S_OK, s_->CopyTo(target.get(), Uli(5), &read, &written));
    EXPECT_EQ(5u, read.QuadPart);
    EXPECT_EQ(5u, written.QuadPart);
    EXPECT_EQ("23456", ReadAll(target.get()));

    // More than is left copies what is left; a clone of the source is a
    // valid target.
    mv::ComPtr<IStream> clone;
    ASSERT_EQ(S_OK, s_->Clone(clone.Put()));
    ASSERT_EQ(S_OK, clone->Seek(Li(0), STREAM_SEEK_END, nullptr));
    ASSERT_EQ(S_OK, s_->CopyTo(clone.get(), Uli(100), &read, &written));
    EXPECT_EQ(3u, read.QuadPart);
    EXPECT_EQ("0123456789789", ReadAll(s_.get()));
}

TEST_F(MemStreamTest, BadArgumentsAreRefused) {
    char buf[4];
    ULONG n = 9;
    EXPECT_EQ(STG_E_INVALIDPOINTER, s_->Read(nullptr, 4, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(STG_E_INVALIDPOINTER, s_->Write(nullptr, 4, &n));
    EXPECT_EQ(STG_E_INVALIDPOINTER, s_->Stat(nullptr, 0));
    EXPECT_EQ(STG_E_INVALIDPOINTER, s_->Clone(nullptr));
    EXPECT_EQ(STG_E_INVALIDPOINTER, s_->CopyTo(nullptr, Uli(1), nullptr, nullptr));
    EXPECT_EQ(S_OK, s_->Read(buf, 4, nullptr));
    EXPECT_EQ(STG_E_MEDIUMFULL, s_->SetSize(Uli(1ull << 40)));
    ASSERT_EQ(S_OK, s_->Seek(Li(0xFFFFFFFFll), STREAM_SEEK_SET, nullptr));
    EXPECT_EQ(STG_E_MEDIUMFULL, s_->Write(buf, 4, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(STG_E_INVALIDFUNCTION, s_->LockRegion(Uli(0), Uli(1), 0));

    IStream* s = reinterpret_cast<IStream*>(0x1);
    int block = 0;
    EXPECT_EQ(E_INVALIDARG, CreateStreamOnHGlobal(&block, TRUE, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(E_INVALIDARG, CreateStreamOnHGlobal(nullptr, TRUE, nullptr));
}

TEST(CoTaskMemTest, AllocReallocAndFree) {
    void* p = CoTaskMemRealloc(CoTaskMemAlloc(0), 16);  // a block even of size 0
    ASSERT_NE(nullptr, p);
    static_cast<char*>(p)[15] = 'x';
    EXPECT_EQ(nullptr, CoTaskMemRealloc(p, 0));  // frees
    CoTaskMemFree(nullptr);
}

}  // namespace
