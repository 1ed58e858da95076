// Compound files: IStorage over our own layer, the storage mode flags, the
// root-storage entry points and the stream helpers that store an object's
// class identifier in front of its data.
//
// What this layer supports (everything else answers STG_E_INVALIDFUNCTION,
// STG_E_UNIMPLEMENTEDFUNCTION or E_NOTIMPL):
// - direct mode only, share-exclusive only;
// - StgCreateDocfile with write or read-write access: streams directly under
//   the root, written front to back. The document goes to a temporary file
//   beside the target and replaces the target when the root storage is
//   committed or finally released, only if every write succeeded;
//   mv::StgAbandon throws the new document away instead;
// - StgOpenStorage with read access: streams directly under the root, read
//   with seeking;
// - a file is open through at most one root storage at a time, in this
//   process and across processes (flock); another open or a save over it
//   fails with STG_E_SHAREVIOLATION until the holder is released.
#pragma once

#include "com.h"

// ---------------------------------------------------------------------------
// Mode flags
// ---------------------------------------------------------------------------
constexpr DWORD STGM_DIRECT = 0x00000000;
constexpr DWORD STGM_TRANSACTED = 0x00010000;
constexpr DWORD STGM_SIMPLE = 0x08000000;
constexpr DWORD STGM_READ = 0x00000000;
constexpr DWORD STGM_WRITE = 0x00000001;
constexpr DWORD STGM_READWRITE = 0x00000002;
constexpr DWORD STGM_SHARE_DENY_NONE = 0x00000040;
constexpr DWORD STGM_SHARE_DENY_READ = 0x00000030;
constexpr DWORD STGM_SHARE_DENY_WRITE = 0x00000020;
constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x00000010;
constexpr DWORD STGM_PRIORITY = 0x00040000;
constexpr DWORD STGM_DELETEONRELEASE = 0x04000000;
constexpr DWORD STGM_NOSCRATCH = 0x00100000;
constexpr DWORD STGM_CREATE = 0x00001000;
constexpr DWORD STGM_CONVERT = 0x00020000;
constexpr DWORD STGM_FAILIFTHERE = 0x00000000;
constexpr DWORD STGM_NOSNAPSHOT = 0x00200000;
constexpr DWORD STGM_DIRECT_SWMR = 0x00400000;

constexpr DWORD STGC_OVERWRITE = 1;
constexpr DWORD STGC_ONLYIFCURRENT = 2;
constexpr DWORD STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4;
constexpr DWORD STGC_CONSOLIDATE = 8;

using SNB = LPOLESTR*;

// ---------------------------------------------------------------------------
// Interfaces
// ---------------------------------------------------------------------------
struct IEnumSTATSTG : IUnknown {
    virtual HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumSTATSTG** ppenum) = 0;

protected:
    ~IEnumSTATSTG() = default;
};

struct IStorage : IUnknown {
    virtual HRESULT CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                                 DWORD reserved2, IStream** ppstm) = 0;
    virtual HRESULT OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode,
                               DWORD reserved2, IStream** ppstm) = 0;
    virtual HRESULT CreateStorage(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                                  DWORD reserved2, IStorage** ppstg) = 0;
    virtual HRESULT OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                                SNB snbExclude, DWORD reserved, IStorage** ppstg) = 0;
    virtual HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude,
                           IStorage* pstgDest) = 0;
    virtual HRESULT MoveElementTo(const OLECHAR* pwcsName, IStorage* pstgDest,
                                  const OLECHAR* pwcsNewName, DWORD grfFlags) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                                 IEnumSTATSTG** ppenum) = 0;
    virtual HRESULT DestroyElement(const OLECHAR* pwcsName) = 0;
    virtual HRESULT RenameElement(const OLECHAR* pwcsOldName, const OLECHAR* pwcsNewName) = 0;
    virtual HRESULT SetElementTimes(const OLECHAR* pwcsName, const FILETIME* pctime,
                                    const FILETIME* patime, const FILETIME* pmtime) = 0;
    virtual HRESULT SetClass(REFCLSID clsid) = 0;
    virtual HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;

protected:
    ~IStorage() = default;
};
using LPSTORAGE = IStorage*;

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------
extern "C" {
HRESULT StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved,
                         IStorage** ppstgOpen);
HRESULT StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                       DWORD reserved, IStorage** ppstgOpen);

// Class identifier (16 bytes: Data1..Data3 little-endian, then Data4) in
// front of the object's own IPersistStream data.
HRESULT WriteClassStm(IStream* pStm, REFCLSID rclsid);
HRESULT ReadClassStm(IStream* pStm, CLSID* pclsid);
HRESULT OleSaveToStream(IPersistStream* pPStm, IStream* pStm);
HRESULT OleLoadFromStream(IStream* pStm, REFIID iidInterface, LPVOID* ppvObj);
}  // extern "C"

namespace mv {

// Throws away a document made by StgCreateDocfile: its streams stop taking
// data, the temporary file is removed, the target stays as it was and its
// lock is released. The storage still needs its Release. E_INVALIDARG for a
// storage that is not a root made by StgCreateDocfile.
HRESULT StgAbandon(IStorage* root);

// Warnings of the compound-file layer and of the libraries beneath it. With
// no hook installed they go to standard error, one line each.
using StorageDiagnosticHook = void (*)(const char* text, void* context);
void SetStorageDiagnosticHook(StorageDiagnosticHook hook, void* context);

// Test hook: after `bytes` more bytes have been accepted by streams of
// created documents, every further write fails with STG_E_MEDIUMFULL, as a
// full disk would. A negative value turns the failure off.
void SetStorageWriteFailureAfter(int64_t bytes);

// Test hook: the flush that ends every created document fails with the
// errno `error`, as the file system would answer it (ENOSPC for a full
// disk). 0 turns the failure off.
void SetStorageFlushFailure(int error);

}  // namespace mv
