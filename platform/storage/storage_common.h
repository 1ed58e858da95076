// What the reading and the writing side of the compound-file layer share:
// library start-up, diagnostics, the share-exclusive file lock, name
// and error mapping, and the default answers of the storage and stream
// objects.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string>

#include "storage.h"

MV_IID_OF(IStorage, IID_IStorage);

namespace mv::stg {

// Starts libgsf once per process and routes its log output to Diagnose.
void EnsureLibrary();
// One line to the installed hook, else to standard error.
void Diagnose(const std::string& text);

// Share-exclusive hold on one file: an in-process table of held files plus
// flock on the descriptor, which other processes see.
class FileLock {
public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { Unlock(); }

    // Opens `path` for reading and takes the lock. STG_E_FILENOTFOUND,
    // STG_E_PATHNOTFOUND, STG_E_ACCESSDENIED, STG_E_SHAREVIOLATION, ...
    // When it throws (std::bad_alloc), what it opened is held for Unlock.
    HRESULT LockExisting(const std::string& path);
    // Takes the in-process hold on a path that does not exist yet.
    HRESULT LockNewPath(const std::string& path);
    void Unlock();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string key_;
};

// Every bit that a storage mode may carry; anything else is STG_E_INVALIDFLAG.
constexpr DWORD kKnownModeBits = STGM_WRITE | STGM_READWRITE | 0x70 | STGM_TRANSACTED |
                                 STGM_SIMPLE | STGM_PRIORITY | STGM_DELETEONRELEASE |
                                 STGM_NOSCRATCH | STGM_CREATE | STGM_CONVERT | STGM_NOSNAPSHOT |
                                 STGM_DIRECT_SWMR;

// Runs the work of an entry point or a storage method: running out of
// memory is STG_E_INSUFFICIENTMEMORY, so that no exception leaves the layer.
template <class Work>
HRESULT Guarded(Work&& work) noexcept {
    return CallGuarded(work, STG_E_INSUFFICIENTMEMORY);
}

// errno of a failed file call as a storage code.
HRESULT FromErrno(int error);
// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);

// Element names: 1..31 characters, none of / \ : !. STG_E_INVALIDNAME.
HRESULT CheckElementName(const OLECHAR* name);
// A copy of `text` in CoTaskMemAlloc memory; null when out of memory.
LPOLESTR AllocOleString(std::u16string_view text);

// Bytes that writes may still accept before the injected failure (negative:
// no failure injected). Takes `cb` from the budget; false when it is spent.
bool TakeWriteBudget(ULONG cb);

// The members of a storage that this layer leaves out. The concrete classes
// are ComObjectRoot classes whose one interface is IStorage.
class StorageBase : public IStorage {
public:
    HRESULT CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD, IStorage** ppstg) override;
    HRESULT OpenStorage(const OLECHAR*, IStorage*, DWORD, SNB, DWORD, IStorage** ppstg) override;
    HRESULT CopyTo(DWORD, const IID*, SNB, IStorage*) override {
        return STG_E_UNIMPLEMENTEDFUNCTION;
    }
    HRESULT MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) override {
        return STG_E_UNIMPLEMENTEDFUNCTION;
    }
    HRESULT Revert() override { return S_OK; }  // direct mode: nothing pending
    HRESULT EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) override;
    HRESULT DestroyElement(const OLECHAR*) override { return STG_E_UNIMPLEMENTEDFUNCTION; }
    HRESULT RenameElement(const OLECHAR*, const OLECHAR*) override {
        return STG_E_UNIMPLEMENTEDFUNCTION;
    }
    HRESULT SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*,
                            const FILETIME*) override {
        return STG_E_UNIMPLEMENTEDFUNCTION;
    }
    HRESULT SetClass(REFCLSID) override { return STG_E_UNIMPLEMENTEDFUNCTION; }
    HRESULT SetStateBits(DWORD, DWORD) override { return STG_E_UNIMPLEMENTEDFUNCTION; }

protected:
    // Fills a root storage's STATSTG; its name is the file's path.
    static HRESULT StatStorage(STATSTG* stat, DWORD flag, const std::string& path, DWORD mode,
                               const CLSID& clsid);
};

// The same for a stream; its interfaces are IStream and ISequentialStream.
class StreamBase : public IStream {
public:
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT Commit(DWORD) override { return S_OK; }  // direct mode
    HRESULT Revert() override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT Clone(IStream** ppstm) override;

protected:
    // Fills a stream's STATSTG.
    static HRESULT StatStream(STATSTG* stat, DWORD flag, std::u16string_view name, uint64_t size,
                              DWORD mode);
};

}  // namespace mv::stg
