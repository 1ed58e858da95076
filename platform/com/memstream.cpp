// A stream over memory. Clones share the bytes and keep their own seek
// position, as clones of a stream on one memory block do.
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "com.h"
#include "com/seek_position.h"

namespace {

// Streams on memory hold at most what a 32-bit size can say.
constexpr ULONGLONG kMaxSize = std::numeric_limits<ULONG>::max();

struct Block {
    std::mutex mutex;
    std::vector<BYTE> bytes;
};

class MemoryStream : public mv::ComObjectRoot<MemoryStream>, public IStream {
public:
    using InterfaceMap = mv::Interfaces<IStream, ISequentialStream>;

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        if (!pv) return STG_E_INVALIDPOINTER;
        std::lock_guard g(block_->mutex);
        const auto& bytes = block_->bytes;
        ULONGLONG available = position_ < bytes.size() ? bytes.size() - position_ : 0;
        ULONG n = cb < available ? cb : static_cast<ULONG>(available);
        if (n) std::memcpy(pv, bytes.data() + position_, n);
        position_ += n;
        if (pcbRead) *pcbRead = n;
        return S_OK;
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        if (!pv) return STG_E_INVALIDPOINTER;
        std::lock_guard g(block_->mutex);
        auto& bytes = block_->bytes;
        if (position_ + cb > kMaxSize) return STG_E_MEDIUMFULL;
        try {
            if (position_ + cb > bytes.size())
                bytes.resize(position_ + cb);  // a gap reads as zeros
        } catch (const std::bad_alloc&) {
            return STG_E_MEDIUMFULL;
        }
        if (cb) std::memcpy(bytes.data() + position_, pv, cb);
        position_ += cb;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }
    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
        std::lock_guard g(block_->mutex);
        uint64_t target = 0;
        if (HRESULT hr =
                mv::streams::SeekPosition(position_, block_->bytes.size(), move, origin, &target);
            FAILED(hr)) {
            return hr;
        }
        position_ = target;
        if (newPosition) newPosition->QuadPart = position_;
        return S_OK;
    }
    HRESULT SetSize(ULARGE_INTEGER size) override {
        if (size.QuadPart > kMaxSize) return STG_E_MEDIUMFULL;
        std::lock_guard g(block_->mutex);
        try {
            block_->bytes.resize(static_cast<std::size_t>(size.QuadPart));
        } catch (const std::bad_alloc&) {
            return STG_E_MEDIUMFULL;
        }
        return S_OK;
    }
    HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                   ULARGE_INTEGER* pcbWritten) override {
        if (pcbRead) pcbRead->QuadPart = 0;
        if (pcbWritten) pcbWritten->QuadPart = 0;
        if (!pstm) return STG_E_INVALIDPOINTER;
        std::vector<BYTE> chunk;
        {
            // Copied out first: the target may be a clone sharing these bytes.
            std::lock_guard g(block_->mutex);
            const auto& bytes = block_->bytes;
            ULONGLONG available = position_ < bytes.size() ? bytes.size() - position_ : 0;
            ULONGLONG n = cb.QuadPart < available ? cb.QuadPart : available;
            try {
                chunk.assign(bytes.begin() + static_cast<std::ptrdiff_t>(position_),
                             bytes.begin() + static_cast<std::ptrdiff_t>(position_ + n));
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            position_ += n;
        }
        if (pcbRead) pcbRead->QuadPart = chunk.size();
        ULONG written = 0;
        HRESULT hr = chunk.empty()
                         ? S_OK
                         : pstm->Write(chunk.data(), static_cast<ULONG>(chunk.size()), &written);
        if (pcbWritten) pcbWritten->QuadPart = written;
        return hr;
    }
    HRESULT Commit(DWORD) override { return S_OK; }
    HRESULT Revert() override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT Stat(STATSTG* st, DWORD) override {
        if (!st) return STG_E_INVALIDPOINTER;
        std::memset(st, 0, sizeof(*st));
        st->type = STGTY_STREAM;
        std::lock_guard g(block_->mutex);
        st->cbSize.QuadPart = block_->bytes.size();
        return S_OK;
    }
    HRESULT Clone(IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        ULONGLONG position;
        {
            std::lock_guard g(block_->mutex);
            position = position_;
        }
        return Make(block_, position, ppstm);
    }

    static HRESULT Make(std::shared_ptr<Block> block, ULONGLONG position, IStream** out) {
        mv::ComObject<MemoryStream>* obj = nullptr;
        HRESULT hr = mv::MakeComObject<MemoryStream>(&obj);
        if (FAILED(hr)) return hr;
        obj->block_ = std::move(block);
        obj->position_ = position;
        *out = obj;
        return S_OK;
    }

private:
    std::shared_ptr<Block> block_;
    ULONGLONG position_ = 0;  // guarded by block_->mutex
};

}  // namespace

extern "C" HRESULT CreateStreamOnHGlobal(void* hGlobal, BOOL, LPSTREAM* ppstm) {
    if (!ppstm) return E_INVALIDARG;
    *ppstm = nullptr;
    if (hGlobal) return E_INVALIDARG;  // only fresh memory blocks are offered
    try {
        return MemoryStream::Make(std::make_shared<Block>(), 0, ppstm);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
