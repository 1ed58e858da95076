// Opened documents: read-only root storage and streams over libgsf's OLE2
// reader, after our own structural check of the file.
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "com/seek_position.h"
#include "storage/cfb_check.h"
#include "storage/storage_common.h"

namespace mv::stg {
namespace {

constexpr DWORD kReadMode = STGM_READ | STGM_SHARE_EXCLUSIVE;

class ReadStorage;

class ReadStream : public ComObjectRoot<ReadStream>, public StreamBase {
public:
    using InterfaceMap = Interfaces<IStream, ISequentialStream>;

    // Takes over `input` and holds a reference to the owner.
    void Attach(ReadStorage* owner, uint32_t entry, GsfInput* input, std::u16string name,
                DWORD mode);

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void*, ULONG, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        return STG_E_ACCESSDENIED;
    }
    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
    HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT Stat(STATSTG* stat, DWORD flag) override {
        return StatStream(stat, flag, name_, size_, mode_);
    }

protected:
    ~ReadStream() override;

private:
    ReadStorage* owner_ = nullptr;
    uint32_t entry_ = 0;
    GsfInput* input_ = nullptr;
    std::u16string name_;
    DWORD mode_ = 0;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
    // The stream's bytes from windowStart_ on, read ahead in one piece, so
    // that the many small reads of a loader cost a copy each.
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;
};

constexpr size_t kReadAhead = 64 * 1024;

class ReadStorage : public ComObjectRoot<ReadStorage>, public StorageBase {
public:
    using InterfaceMap = Interfaces<IStorage>;

    HRESULT Open(std::string path, DWORD mode) {
        path_ = std::move(path);
        mode_ = mode;
        if (HRESULT hr = lock_.LockExisting(path_); FAILED(hr)) return hr;
        if (HRESULT hr = ReadAll(); FAILED(hr)) return hr;
        if (HRESULT hr = cfb::CheckFile(bytes_, &layout_); FAILED(hr)) return hr;
        input_ = gsf_input_memory_new(bytes_.data(), static_cast<gsf_off_t>(bytes_.size()), FALSE);
        if (!input_) return STG_E_INSUFFICIENTMEMORY;
        GError* error = nullptr;
        infile_ = gsf_infile_msole_new(input_, &error);
        if (!infile_) {
            Diagnose(std::string("cannot read compound file: ") +
                     (error && error->message ? error->message : "unknown error"));
            if (error) g_error_free(error);
            return STG_E_DOCFILECORRUPT;
        }
        return S_OK;
    }

    HRESULT CreateStream(const OLECHAR* name, DWORD, DWORD, DWORD, IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        if (HRESULT hr = CheckElementName(name); FAILED(hr)) return hr;
        return STG_E_ACCESSDENIED;
    }

    HRESULT OpenStream(const OLECHAR* name, void* reserved1, DWORD mode, DWORD reserved2,
                       IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        if (reserved1 || reserved2) return STG_E_INVALIDPARAMETER;
        if (HRESULT hr = CheckElementName(name); FAILED(hr)) return hr;
        if ((mode & 0x70) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
        if (mode & ~static_cast<DWORD>(0x73)) return STG_E_INVALIDFLAG;
        if ((mode & 3) == 3) return STG_E_INVALIDFLAG;
        if ((mode & 3) != STGM_READ) return STG_E_ACCESSDENIED;

        return Guarded([&] { return OpenStreamLocked(name, mode, ppstm); });
    }

    HRESULT Commit(DWORD) override { return S_OK; }

    HRESULT Stat(STATSTG* stat, DWORD flag) override {
        return Guarded(
            [&] { return StatStorage(stat, flag, path_, mode_, layout_.entries[0].clsid); });
    }

    uint64_t EntrySize(uint32_t entry) const { return layout_.entries[entry].size; }

    void StreamClosed(uint32_t entry) {
        {
            ObjectLock guard(this);
            openEntries_.erase(entry);
        }
        Release();
    }

protected:
    ~ReadStorage() override {
        if (infile_) g_object_unref(infile_);
        if (input_) g_object_unref(input_);
    }

    HRESULT OpenStreamLocked(const OLECHAR* name, DWORD mode, IStream** ppstm) {
        ObjectLock guard(this);
        const std::u16string_view wanted(name);
        uint32_t found = cfb::kNoStream;
        for (uint32_t index : cfb::ChildrenOf(layout_, 0)) {
            const cfb::DirEntry& e = layout_.entries[index];
            if (e.type == cfb::kTypeStream && EqualsNoCase(e.name, wanted)) {
                found = index;
                break;
            }
        }
        if (found == cfb::kNoStream) return STG_E_FILENOTFOUND;
        if (openEntries_.count(found)) return STG_E_ACCESSDENIED;
        if (HRESULT hr = cfb::CheckStream(layout_, found); FAILED(hr)) return hr;

        // What needs memory comes before the library's child is taken, so
        // that running out of it leaves nothing held.
        const std::string exact = ToUtf8(layout_.entries[found].name);
        std::u16string streamName = layout_.entries[found].name;
        openEntries_.insert(found);
        GsfInput* child = nullptr;
        const int count = gsf_infile_num_children(infile_);
        for (int i = 0; i < count && !child; ++i) {
            const char* childName = gsf_infile_name_by_index(infile_, i);
            if (childName && exact == childName) child = gsf_infile_child_by_index(infile_, i);
        }
        ComObject<ReadStream>* stream = nullptr;
        HRESULT hr = child ? MakeComObject<ReadStream>(&stream) : STG_E_DOCFILECORRUPT;
        if (FAILED(hr)) {
            if (child) g_object_unref(child);
            openEntries_.erase(found);
            return hr;
        }
        stream->Attach(this, found, child, std::move(streamName), mode);
        *ppstm = stream;
        return S_OK;
    }

    HRESULT ReadAll() {
        const off_t size = ::lseek(lock_.fd(), 0, SEEK_END);
        if (size < 0) return FromErrno(errno);
        bytes_.resize(static_cast<size_t>(size));
        size_t done = 0;
        while (done < bytes_.size()) {
            const ssize_t n = ::pread(lock_.fd(), bytes_.data() + done, bytes_.size() - done,
                                      static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return STG_E_READFAULT;
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        bytes_.resize(done);
        return S_OK;
    }

private:
    std::string path_;
    DWORD mode_ = 0;
    FileLock lock_;
    std::vector<uint8_t> bytes_;
    cfb::Layout layout_;
    GsfInput* input_ = nullptr;
    GsfInfile* infile_ = nullptr;
    std::set<uint32_t> openEntries_;
};

void ReadStream::Attach(ReadStorage* owner, uint32_t entry, GsfInput* input, std::u16string name,
                        DWORD mode) {
    owner_ = owner;
    entry_ = entry;
    input_ = input;
    name_ = std::move(name);
    mode_ = mode;
    owner_->AddRef();
    size_ = owner_->EntrySize(entry);
}

ReadStream::~ReadStream() {
    if (input_) g_object_unref(input_);
    if (owner_) owner_->StreamClosed(entry_);
}

HRESULT ReadStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (position_ >= size_ || cb == 0) return S_OK;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(cb, size_ - position_));
    if (take < kReadAhead) {
        const bool inWindow =
            position_ >= windowStart_ && position_ + take <= windowStart_ + window_.size();
        if (!inWindow) {
            // A window that cannot be read whole, or not be had for lack of
            // memory, is dropped; the read below then fails or succeeds
            // exactly as the requested bytes do.
            try {
                window_.resize(
                    static_cast<size_t>(std::min<uint64_t>(kReadAhead, size_ - position_)));
            } catch (const std::bad_alloc&) {
                window_.clear();
            }
            windowStart_ = position_;
            if (window_.empty() ||
                gsf_input_seek(input_, static_cast<gsf_off_t>(position_), G_SEEK_SET) ||
                !gsf_input_read(input_, window_.size(), window_.data()))
                window_.clear();
        }
        if (!window_.empty() && position_ >= windowStart_ &&
            position_ + take <= windowStart_ + window_.size()) {
            std::memcpy(pv, window_.data() + (position_ - windowStart_), take);
            position_ += take;
            if (pcbRead) *pcbRead = static_cast<ULONG>(take);
            return S_OK;
        }
    }
    if (gsf_input_seek(input_, static_cast<gsf_off_t>(position_), G_SEEK_SET)) {
        return STG_E_READFAULT;
    }
    if (!gsf_input_read(input_, take, static_cast<guint8*>(pv))) return STG_E_READFAULT;
    position_ += take;
    if (pcbRead) *pcbRead = static_cast<ULONG>(take);
    return S_OK;
}

HRESULT ReadStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
    uint64_t target = 0;
    if (HRESULT hr = streams::SeekPosition(position_, size_, move, origin, &target); FAILED(hr)) {
        return hr;
    }
    position_ = target;
    if (newPosition) newPosition->QuadPart = position_;
    return S_OK;
}

}  // namespace
}  // namespace mv::stg

HRESULT StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                       DWORD reserved, IStorage** ppstgOpen) {
    using namespace mv::stg;
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (!pwcsName) return STG_E_INVALIDNAME;
    if (reserved != 0) return STG_E_INVALIDPARAMETER;
    if (pstgPriority || snbExclude) return STG_E_INVALIDFUNCTION;
    if ((grfMode & ~kKnownModeBits) || (grfMode & 3) == 3 ||
        (grfMode & 0x70) > STGM_SHARE_DENY_NONE) {
        return STG_E_INVALIDFLAG;
    }
    if (grfMode & (STGM_CREATE | STGM_CONVERT)) return STG_E_INVALIDFLAG;
    if (grfMode != kReadMode) return STG_E_INVALIDFUNCTION;
    return Guarded([&] {
        std::string path = mv::ToUtf8(pwcsName);
        if (path.empty()) return STG_E_INVALIDNAME;
        EnsureLibrary();
        // A failed open, whatever its cause, lets the storage go and with
        // it the file's claim and descriptor.
        mv::ComPtr<mv::ComObject<ReadStorage>> storage;
        if (HRESULT hr = mv::MakeComObject<ReadStorage>(&storage); FAILED(hr)) return hr;
        if (HRESULT hr = storage->Open(std::move(path), grfMode); FAILED(hr)) return hr;
        *ppstgOpen = storage.Detach();
        return S_OK;
    });
}
