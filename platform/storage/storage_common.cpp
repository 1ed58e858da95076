#include "storage/storage_common.h"

#include <fcntl.h>
#include <gsf/gsf-utils.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace mv::stg {
namespace {

std::mutex g_diagnosticMutex;
StorageDiagnosticHook g_hook = nullptr;
void* g_hookContext = nullptr;

std::atomic<int64_t> g_writeBudget{-1};

std::mutex g_lockMutex;
std::set<std::string>& HeldFiles() {
    static std::set<std::string>* held = new std::set<std::string>();
    return *held;
}

void LogToDiagnostics(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
    std::string line = domain ? domain : "glib";
    line += ": ";
    line += message ? message : "";
    Diagnose(line);
}

void InstallLogHandlers() {
    const auto levels =
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
    for (const char* domain : {"libgsf", "libgsf:msole", "libgsf:open_pkg", "libgsf:tar",
                               "libgsf:zip", "GLib", "GLib-GObject", "GLib-GIO"}) {
        g_log_set_handler(domain, levels, LogToDiagnostics, nullptr);
    }
}

bool Claim(const std::string& key) {
    std::lock_guard<std::mutex> guard(g_lockMutex);
    return HeldFiles().insert(key).second;
}

void Unclaim(const std::string& key) {
    std::lock_guard<std::mutex> guard(g_lockMutex);
    HeldFiles().erase(key);
}

bool FolderExists(const std::string& path) {
    struct stat st {};
    return ::stat(FolderOf(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void EnsureLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        InstallLogHandlers();
        gsf_init();
    });
}

void Diagnose(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_diagnosticMutex);
    if (g_hook) {
        g_hook(text.c_str(), g_hookContext);
    } else {
        std::fprintf(stderr, "storage: %s\n", text.c_str());
    }
}

HRESULT FromErrno(int error) {
    switch (error) {
        case ENOENT:
            return STG_E_FILENOTFOUND;
        case ENOTDIR:
            return STG_E_PATHNOTFOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return STG_E_ACCESSDENIED;
        case EMFILE:
        case ENFILE:
            return STG_E_TOOMANYOPENFILES;
        case ENOSPC:
        case EDQUOT:
            return STG_E_MEDIUMFULL;
        case EROFS:
            return STG_E_DISKISWRITEPROTECTED;
        case ENAMETOOLONG:
            return STG_E_INVALIDNAME;
        case ENOMEM:
            return STG_E_INSUFFICIENTMEMORY;
        case EWOULDBLOCK:
            return STG_E_SHAREVIOLATION;
        case EIO:
            return STG_E_READFAULT;
        default:
            return STG_E_UNKNOWN;
    }
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

HRESULT FileLock::LockExisting(const std::string& path) {
    Unlock();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT && !FolderExists(path)) return STG_E_PATHNOTFOUND;
        return FromErrno(error);
    }
    // Held from here on, so that Unlock (the destructor's too) closes it
    // whatever fails next, an allocation included.
    fd_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Unlock();
        return STG_E_ACCESSDENIED;
    }
    std::string key = "inode:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    if (!Claim(key)) {
        Unlock();
        return STG_E_SHAREVIOLATION;
    }
    key_ = std::move(key);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        Unlock();
        return error == EWOULDBLOCK ? STG_E_SHAREVIOLATION : FromErrno(error);
    }
    return S_OK;
}

HRESULT FileLock::LockNewPath(const std::string& path) {
    Unlock();
    std::string key = "path:" + path;
    if (!Claim(key)) return STG_E_SHAREVIOLATION;
    key_ = std::move(key);
    return S_OK;
}

void FileLock::Unlock() {
    // The claim goes first: once the descriptor is closed, the inode number
    // of a file renamed over or removed is free for a file another thread
    // creates, whose open must not find the claim.
    if (!key_.empty()) {
        Unclaim(key_);
        key_.clear();
    }
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

HRESULT CheckElementName(const OLECHAR* name) {
    if (!name) return STG_E_INVALIDPOINTER;
    size_t length = 0;
    for (const OLECHAR* p = name; *p; ++p, ++length) {
        if (*p == u'/' || *p == u'\\' || *p == u':' || *p == u'!') return STG_E_INVALIDNAME;
        if (length >= 31) return STG_E_INVALIDNAME;
    }
    return length == 0 ? STG_E_INVALIDNAME : S_OK;
}

LPOLESTR AllocOleString(std::u16string_view text) {
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (!out) return nullptr;
    std::memcpy(out, text.data(), text.size() * sizeof(OLECHAR));
    out[text.size()] = 0;
    return out;
}

bool TakeWriteBudget(ULONG cb) {
    int64_t left = g_writeBudget.load();
    while (left >= 0) {
        if (left < static_cast<int64_t>(cb)) return false;
        if (g_writeBudget.compare_exchange_weak(left, left - cb)) return true;
    }
    return true;
}

HRESULT StorageBase::CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD, IStorage** ppstg) {
    if (ppstg) *ppstg = nullptr;
    return STG_E_UNIMPLEMENTEDFUNCTION;
}

HRESULT StorageBase::OpenStorage(const OLECHAR*, IStorage*, DWORD, SNB, DWORD, IStorage** ppstg) {
    if (ppstg) *ppstg = nullptr;
    return STG_E_UNIMPLEMENTEDFUNCTION;
}

HRESULT StorageBase::EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) {
    if (ppenum) *ppenum = nullptr;
    return STG_E_UNIMPLEMENTEDFUNCTION;
}

HRESULT StreamBase::Clone(IStream** ppstm) {
    if (ppstm) *ppstm = nullptr;
    return STG_E_UNIMPLEMENTEDFUNCTION;
}

namespace {

HRESULT FillStat(STATSTG* stat, DWORD flag, std::u16string_view name, DWORD type, DWORD mode) {
    if (!stat) return STG_E_INVALIDPOINTER;
    if (flag & ~(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
    *stat = STATSTG{};
    if (!(flag & STATFLAG_NONAME)) {
        stat->pwcsName = AllocOleString(name);
        if (!stat->pwcsName) return STG_E_INSUFFICIENTMEMORY;
    }
    stat->type = type;
    stat->grfMode = mode;
    return S_OK;
}

}  // namespace

HRESULT StorageBase::StatStorage(STATSTG* stat, DWORD flag, const std::string& path, DWORD mode,
                                 const CLSID& clsid) {
    HRESULT hr = FillStat(stat, flag, ToUtf16(path), STGTY_STORAGE, mode);
    if (SUCCEEDED(hr)) stat->clsid = clsid;
    return hr;
}

HRESULT StreamBase::StatStream(STATSTG* stat, DWORD flag, std::u16string_view name, uint64_t size,
                               DWORD mode) {
    HRESULT hr = FillStat(stat, flag, name, STGTY_STREAM, mode);
    if (SUCCEEDED(hr)) stat->cbSize.QuadPart = size;
    return hr;
}

}  // namespace mv::stg

namespace mv {

void SetStorageDiagnosticHook(StorageDiagnosticHook hook, void* context) {
    std::lock_guard<std::mutex> guard(stg::g_diagnosticMutex);
    stg::g_hook = hook;
    stg::g_hookContext = context;
}

void SetStorageWriteFailureAfter(int64_t bytes) {
    stg::g_writeBudget = bytes < 0 ? -1 : bytes;
}

}  // namespace mv
