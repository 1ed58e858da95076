// Created documents: a write-only root storage and streams over libgsf's
// OLE2 writer. The document is written to a temporary file beside the target
// and renamed over the target when the root storage is committed or finally
// released, and only if every write succeeded; until then the target keeps
// its old content and stays locked against other opens.
//
// A save holds an flock on its temporary for as long as it lives, so a
// temporary that nobody holds was left by a save that died (killed, or its
// machine stopped) and the next save of that document removes it.
#include <dirent.h>
#include <fcntl.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-output.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <vector>

#include "storage/storage_common.h"

namespace mv::stg {
namespace {

std::atomic<unsigned> g_tempCounter{0};
std::atomic<int> g_flushFailure{0};

// The code of a failed write, flush or close of the compound-file library,
// which reports no cause of its own: a full medium by errno, else a write
// fault.
HRESULT LibraryWriteFailure(int error) {
    return error == ENOSPC || error == EDQUOT ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
}

// The code of a failed flush, sync or close of the temporary file: the
// file system's cause where it names one, else a write fault.
HRESULT FileWriteFailure(int error) {
    const HRESULT hr = FromErrno(error);
    return hr == STG_E_READFAULT || hr == STG_E_UNKNOWN ? STG_E_WRITEFAULT : hr;
}

// The name of a save's temporary of the document named `base`, before its
// two numbers: the saving process and its count of temporaries.
std::string TemporaryPrefix(const std::string& base) {
    return "." + base + ".";
}

// Whether `name` is exactly `prefix` + digits + "." + digits + ".tmp".
bool IsTemporaryName(std::string_view name, std::string_view prefix) {
    constexpr std::string_view kSuffix = ".tmp";
    if (name.size() <= prefix.size() + kSuffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(kSuffix)) {
        return false;
    }
    const std::string_view numbers =
        name.substr(prefix.size(), name.size() - prefix.size() - kSuffix.size());
    const size_t dot = numbers.find('.');
    if (dot == 0 || dot == std::string_view::npos || dot + 1 == numbers.size()) return false;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i != dot && (numbers[i] < '0' || numbers[i] > '9')) return false;
    }
    return true;
}

// Removes `path` if no live save holds its lock. The name is unlinked only
// while it still names the file that was locked.
void RemoveIfAbandoned(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
        ::unlink(path.c_str());
    }
    ::close(fd);  // also releases the lock
}

// Removes the temporaries of `base` in `folder` that saves which died left.
void RemoveAbandonedTemporaries(const std::string& folder, const std::string& base) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> found;
    try {
        const std::string prefix = TemporaryPrefix(base);
        while (const dirent* entry = ::readdir(dir)) {
            if (IsTemporaryName(entry->d_name, prefix)) found.emplace_back(entry->d_name);
        }
    } catch (...) {
        ::closedir(dir);
        throw;
    }
    ::closedir(dir);
    for (const std::string& name : found) RemoveIfAbandoned(folder + "/" + name);
}

class WriteStorage;

class WriteStream : public ComObjectRoot<WriteStream>, public StreamBase {
public:
    using InterfaceMap = Interfaces<IStream, ISequentialStream>;

    // Takes over `child` and holds a reference to the owner.
    void Attach(WriteStorage* owner, GsfOutput* child, std::u16string name, DWORD mode);

    HRESULT Read(void*, ULONG, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        return STG_E_ACCESSDENIED;
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    // Sequential: the only position is the end of what was written.
    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
        const int64_t size = static_cast<int64_t>(size_);
        if (origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
        const int64_t base = origin == STREAM_SEEK_SET ? 0 : size;
        if (move.QuadPart != size - base) return STG_E_INVALIDFUNCTION;
        if (newPosition) newPosition->QuadPart = size_;
        return S_OK;
    }
    HRESULT SetSize(ULARGE_INTEGER size) override {
        return size.QuadPart == size_ ? S_OK : STG_E_INVALIDFUNCTION;
    }
    HRESULT Stat(STATSTG* stat, DWORD flag) override {
        return StatStream(stat, flag, name_, size_, mode_);
    }

    // Closes the libgsf side once; the code of its failure.
    HRESULT CloseChild() {
        if (!child_) return S_OK;
        errno = 0;
        const HRESULT hr = gsf_output_close(child_) ? S_OK : LibraryWriteFailure(errno);
        g_object_unref(child_);
        child_ = nullptr;
        return hr;
    }
    GsfOutput* child() const { return child_; }
    void Advance(ULONG cb) { size_ += cb; }

protected:
    ~WriteStream() override;

private:
    WriteStorage* owner_ = nullptr;
    GsfOutput* child_ = nullptr;
    std::u16string name_;
    DWORD mode_ = 0;
    uint64_t size_ = 0;
};

class WriteStorage : public ComObjectRoot<WriteStorage>, public StorageBase {
public:
    using InterfaceMap = Interfaces<IStorage>;

    HRESULT Begin(std::string path, DWORD mode) {
        path_ = std::move(path);
        folder_ = FolderOf(path_);
        mode_ = mode;
        struct stat st {};
        const bool exists = ::stat(path_.c_str(), &st) == 0;
        if (exists && !(mode_ & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
        HRESULT hr = lock_.LockExisting(path_);
        if (hr == STG_E_FILENOTFOUND) hr = lock_.LockNewPath(path_);
        if (FAILED(hr)) return hr;
        open_ = true;  // from here on, Discard cleans up whatever was made
        mode_t permissions = 0666;
        if (lock_.fd() >= 0) {
            if (::access(path_.c_str(), W_OK) != 0) return STG_E_ACCESSDENIED;
            if (::fstat(lock_.fd(), &st) == 0) permissions = st.st_mode & 07777;
        }
        RemoveAbandonedTemporaries(FolderOf(path_), BaseName());
        if (HRESULT made = MakeTemporary(permissions); FAILED(made)) return made;
        sink_ = gsf_output_stdio_new_FILE(temp_.c_str(), file_, TRUE);
        if (!sink_) return STG_E_INSUFFICIENTMEMORY;
        outfile_ = gsf_outfile_msole_new(sink_);
        if (!outfile_) return STG_E_INSUFFICIENTMEMORY;
        return S_OK;
    }

    HRESULT CreateStream(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                         IStream** ppstm) override {
        return Guarded([&] { return MakeStream(name, mode, reserved1, reserved2, ppstm); });
    }

    HRESULT MakeStream(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                       IStream** ppstm) {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        if (reserved1 || reserved2) return STG_E_INVALIDPARAMETER;
        if (HRESULT hr = CheckElementName(name); FAILED(hr)) return hr;
        if ((mode & ~kKnownModeBits) || (mode & 0x70) != STGM_SHARE_EXCLUSIVE || (mode & 3) == 3 ||
            (mode & 3) == STGM_READ) {
            return STG_E_INVALIDFLAG;
        }
        if (mode & ~static_cast<DWORD>(0x73 | STGM_CREATE)) return STG_E_INVALIDFUNCTION;

        ObjectLock guard(this);
        if (!open_) return STG_E_REVERTED;
        if (FAILED(failure_)) return failure_;
        const std::u16string_view wanted(name);
        for (const std::u16string& used : names_) {
            if (EqualsNoCase(used, wanted)) return STG_E_FILEALREADYEXISTS;
        }
        // What needs memory comes before the stream and the library's child
        // are made, so that running out of it leaves nothing held.
        const std::string childName = ToUtf8(wanted);
        std::u16string filed(wanted), streamName(wanted);
        names_.reserve(names_.size() + 1);
        streams_.reserve(streams_.size() + 1);
        ComObject<WriteStream>* stream = nullptr;
        if (HRESULT hr = MakeComObject<WriteStream>(&stream); FAILED(hr)) return hr;
        GsfOutput* child = gsf_outfile_new_child(outfile_, childName.c_str(), FALSE);
        if (!child) {
            stream->Release();
            return STG_E_INSUFFICIENTMEMORY;
        }
        names_.push_back(std::move(filed));
        stream->Attach(this, child, std::move(streamName), mode);
        streams_.push_back(stream);
        *ppstm = stream;
        return S_OK;
    }

    HRESULT OpenStream(const OLECHAR* name, void*, DWORD, DWORD, IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        if (HRESULT hr = CheckElementName(name); FAILED(hr)) return hr;
        return STG_E_ACCESSDENIED;
    }

    // Ends the document: writes it out and puts it in place of the target.
    HRESULT Commit(DWORD flags) override {
        if (flags & ~static_cast<DWORD>(0xF)) return STG_E_INVALIDFLAG;
        ObjectLock guard(this);
        return Finish();
    }

    HRESULT Stat(STATSTG* stat, DWORD flag) override {
        return Guarded([&] { return StatStorage(stat, flag, path_, mode_, GUID_NULL); });
    }

    HRESULT Abandon() {
        ObjectLock guard(this);
        if (open_) {
            failure_ = STG_E_REVERTED;
            if (sink_) gsf_output_set_error(sink_, 0, "document abandoned");
            Discard();
        }
        return S_OK;
    }

    HRESULT Write(WriteStream* stream, const void* pv, ULONG cb, ULONG* pcbWritten) {
        ObjectLock guard(this);
        if (!open_ || !stream->child()) return STG_E_REVERTED;
        if (FAILED(failure_)) return failure_;
        if (cb == 0) return S_OK;
        if (!TakeWriteBudget(cb)) return Fail(STG_E_MEDIUMFULL);
        errno = 0;
        if (!gsf_output_write(stream->child(), cb, static_cast<const guint8*>(pv))) {
            return Fail(LibraryWriteFailure(errno));
        }
        stream->Advance(cb);
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }

    void StreamClosed(WriteStream* stream) {
        {
            ObjectLock guard(this);
            if (HRESULT hr = stream->CloseChild(); FAILED(hr)) Fail(hr);
            streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
        }
        Release();
    }

protected:
    ~WriteStorage() override {
        if (!open_) return;
        if (FAILED(failure_)) {
            Discard();
            return;
        }
        if (HRESULT hr = Finish(); FAILED(hr)) {
            char text[160];
            std::snprintf(text, sizeof text, "document \"%s\" not saved: error %08X", path_.c_str(),
                          static_cast<unsigned>(hr));
            try {
                Diagnose(text);
            } catch (const std::bad_alloc&) {
                // The line is dropped; the release goes on.
            }
        }
    }

private:
    HRESULT Fail(HRESULT hr) {
        if (SUCCEEDED(failure_)) failure_ = hr;
        return hr;
    }

    std::string BaseName() const {
        const size_t slash = path_.find_last_of('/');
        return slash == std::string::npos ? path_ : path_.substr(slash + 1);
    }

    // Creates the temporary and holds its lock. Another save that removes
    // abandoned temporaries may take the lock and remove the file between
    // its creation and the lock taken here; then a new one is made.
    HRESULT MakeTemporary(mode_t permissions) {
        const std::string prefix = FolderOf(path_) + "/" + TemporaryPrefix(BaseName());
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = prefix + std::to_string(::getpid()) + "." +
                                    std::to_string(g_tempCounter++) + ".tmp";
            const int fd =
                ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) return FromErrno(errno);
            struct stat st {};
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 || st.st_nlink == 0) {
                ::close(fd);  // taken by a remover, which unlinks it
                continue;
            }
            temp_ = std::move(candidate);
            if (permissions != 0666) ::fchmod(fd, permissions);
            file_ = ::fdopen(fd, "wb");
            if (!file_) {
                ::close(fd);
                ::unlink(temp_.c_str());
                temp_.clear();
                return STG_E_INSUFFICIENTMEMORY;
            }
            return S_OK;
        }
        return STG_E_ACCESSDENIED;
    }

    // Closes the libgsf objects and the temporary file, every one of them
    // even after a failure; the code of the first step that failed.
    HRESULT CloseAll() {
        HRESULT first = S_OK;
        const auto step = [&first](bool ok, HRESULT (*code)(int)) {
            const int error = errno;
            if (!ok && SUCCEEDED(first)) first = code(error);
        };
        for (WriteStream* stream : streams_) {
            if (HRESULT hr = stream->CloseChild(); FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
        if (outfile_) {
            errno = 0;
            step(gsf_output_close(GSF_OUTPUT(outfile_)), LibraryWriteFailure);
            g_object_unref(outfile_);
            outfile_ = nullptr;
        }
        if (sink_) {
            // The OLE2 writer closes its sink itself when it is closed.
            errno = 0;
            if (!gsf_output_is_closed(sink_)) step(gsf_output_close(sink_), LibraryWriteFailure);
            g_object_unref(sink_);
            sink_ = nullptr;
        }
        if (file_) {
            bool flushed = std::fflush(file_) == 0;
            if (const int injected = g_flushFailure.load(); injected != 0 && flushed) {
                errno = injected;
                flushed = false;
            }
            step(flushed, FileWriteFailure);
            step(::fsync(::fileno(file_)) == 0, FileWriteFailure);
            step(std::fclose(file_) == 0, FileWriteFailure);
            file_ = nullptr;
        }
        return first;
    }

    void Discard() {
        CloseAll();
        if (!temp_.empty()) ::unlink(temp_.c_str());
        temp_.clear();
        lock_.Unlock();
        open_ = false;
    }

    HRESULT Finish() {
        if (!open_) return FAILED(failure_) ? failure_ : S_OK;
        if (HRESULT hr = CloseAll(); FAILED(hr)) Fail(hr);
        if (FAILED(failure_)) {
            Discard();
            return failure_;
        }
        if (::rename(temp_.c_str(), path_.c_str()) != 0) {
            Fail(FromErrno(errno));
            Discard();
            return failure_;
        }
        temp_.clear();
        const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        lock_.Unlock();
        open_ = false;
        return S_OK;
    }

    std::string path_;
    std::string folder_;  // made at the start: the final release needs it without allocating
    std::string temp_;
    DWORD mode_ = 0;
    FileLock lock_;
    FILE* file_ = nullptr;
    GsfOutput* sink_ = nullptr;
    GsfOutfile* outfile_ = nullptr;
    bool open_ = false;
    HRESULT failure_ = S_OK;
    std::vector<std::u16string> names_;
    std::vector<WriteStream*> streams_;
};

void WriteStream::Attach(WriteStorage* owner, GsfOutput* child, std::u16string name, DWORD mode) {
    owner_ = owner;
    child_ = child;
    name_ = std::move(name);
    mode_ = mode;
    owner_->AddRef();
}

WriteStream::~WriteStream() {
    if (owner_) owner_->StreamClosed(this);
}

HRESULT WriteStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    return owner_->Write(this, pv, cb, pcbWritten);
}

}  // namespace
}  // namespace mv::stg

HRESULT StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved,
                         IStorage** ppstgOpen) {
    using namespace mv::stg;
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (!pwcsName) return STG_E_INVALIDNAME;  // unnamed temporary documents are not offered
    if (reserved != 0) return STG_E_INVALIDPARAMETER;
    if ((grfMode & ~kKnownModeBits) || (grfMode & 3) == 3 ||
        (grfMode & 0x70) > STGM_SHARE_DENY_NONE || (grfMode & 3) == STGM_READ) {
        return STG_E_INVALIDFLAG;
    }
    if ((grfMode & 0x70) != STGM_SHARE_EXCLUSIVE ||
        (grfMode & ~static_cast<DWORD>(0x73 | STGM_CREATE))) {
        return STG_E_INVALIDFUNCTION;
    }
    return Guarded([&] {
        std::string path = mv::ToUtf8(pwcsName);
        if (path.empty()) return STG_E_INVALIDNAME;
        EnsureLibrary();
        mv::ComPtr<mv::ComObject<WriteStorage>> storage;
        if (HRESULT hr = mv::MakeComObject<WriteStorage>(&storage); FAILED(hr)) return hr;
        // A start that fails, for lack of memory too, throws away what it
        // made and lets the target's claim go.
        HRESULT hr = E_UNEXPECTED;
        try {
            hr = storage->Begin(std::move(path), grfMode);
        } catch (...) {
            storage->Abandon();
            throw;
        }
        if (FAILED(hr)) {
            storage->Abandon();
            return hr;
        }
        *ppstgOpen = storage.Detach();
        return S_OK;
    });
}

HRESULT mv::StgAbandon(IStorage* root) {
    auto* storage = dynamic_cast<stg::WriteStorage*>(root);
    if (!storage) return E_INVALIDARG;
    return storage->Abandon();
}

void mv::SetStorageFlushFailure(int error) {
    stg::g_flushFailure = error;
}
