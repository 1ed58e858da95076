// Registry store: a text file in the layout of a registry export, cached in
// memory (read again only when the file changed) and rewritten whole
// (temporary file, then rename) on every change, or once at the end of a
// batch of changes.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sys.h"

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kUser = "HKEY_CURRENT_USER";
constexpr std::string_view kClasses = "HKEY_CLASSES_ROOT";
// The deepest a key may lie below its root; a section that names a deeper
// key does not parse.
constexpr size_t kMaxKeyDepth = 512;

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

// Names hash and compare ignoring ASCII case, so that a look-up folds
// nothing ahead and costs the same however many siblings a key has. A name's
// hash is worked out once, when it is looked up or filed.
char FoldName(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
struct HashedName {
    std::string_view text;
    size_t hash;
    explicit HashedName(std::string_view t) noexcept : text(t), hash(14695981039346656037ull) {
        for (char c : t) hash = (hash ^ static_cast<unsigned char>(FoldName(c))) * 1099511628211ull;
    }
};
struct HashOfName {
    size_t operator()(const HashedName& n) const noexcept { return n.hash; }
};
struct SameName {
    bool operator()(const HashedName& a, const HashedName& b) const noexcept {
        if (a.hash != b.hash || a.text.size() != b.text.size()) return false;
        for (size_t i = 0; i < a.text.size(); ++i)
            if (FoldName(a.text[i]) != FoldName(b.text[i])) return false;
        return true;
    }
};

struct Key {
    std::string name;
    std::vector<Value> values;  // in the order first written
    // By name, ignoring case; each entry's name views the subkey's own. Each
    // key stays at its address while it exists, so that open handles can
    // keep the key they resolved.
    std::unordered_map<HashedName, std::unique_ptr<Key>, HashOfName, SameName> subkeys;

    Key() = default;
    Key(Key&&) = default;
    Key& operator=(Key&&) = default;
    ~Key() { ClearSubkeys(); }

    Key* Find(std::string_view n) {
        auto it = subkeys.find(HashedName(n));
        return it != subkeys.end() ? it->second.get() : nullptr;
    }
    Key* FindOrAdd(std::string_view n, bool* added) {
        const HashedName wanted(n);
        auto it = subkeys.find(wanted);
        if (it != subkeys.end()) return it->second.get();
        auto k = std::make_unique<Key>();
        k->name = std::string(n);
        if (added) *added = true;
        order_.clear();
        HashedName filed = wanted;
        filed.text = k->name;
        return subkeys.emplace(filed, std::move(k)).first->second.get();
    }
    void Erase(const Key* victim) noexcept {
        auto it = subkeys.find(HashedName(victim->name));
        if (it == subkeys.end() || it->second.get() != victim) return;
        subkeys.erase(it);
        order_.clear();
    }
    // Frees the keys below this one a key at a time, each taken out of the
    // tree before it goes, so that however deep they lie no key is freed
    // inside the freeing of its parent.
    void ClearSubkeys() noexcept {
        Key* pending = nullptr;
        Detach(*this, &pending);
        while (pending) {
            Key* k = pending;
            pending = k->next_;
            Detach(*k, &pending);
            delete k;
        }
    }
    // The subkeys in name order (ignoring case), for enumeration by
    // position and for writing the file.
    const std::vector<Key*>& Sorted() const {
        if (order_.size() != subkeys.size()) {
            order_.clear();
            order_.reserve(subkeys.size());
            for (auto& entry : subkeys) order_.push_back(entry.second.get());
            std::sort(order_.begin(), order_.end(), [](const Key* a, const Key* b) {
                return mv::CompareNoCase(a->name, b->name) < 0;
            });
        }
        return order_;
    }
    // The subkey at `index` in name order; null past the end.
    const Key* At(size_t index) const {
        const std::vector<Key*>& order = Sorted();
        return index < order.size() ? order[index] : nullptr;
    }
    Value* FindValue(std::string_view n) {
        for (auto& v : values)
            if (mv::EqualsNoCase(v.name, n)) return &v;
        return nullptr;
    }
    void SetValue(std::string_view n, DWORD type, std::vector<uint8_t> data) {
        Value* v = FindValue(n);
        if (!v) {
            values.push_back(Value{std::string(n), type, {}});
            v = &values.back();
        }
        v->type = type;
        v->data = std::move(data);
    }

private:
    // Takes the subkeys of `k` out of it onto the chain of keys still to free.
    static void Detach(Key& k, Key** pending) noexcept {
        for (auto& entry : k.subkeys) {
            Key* sub = entry.second.release();
            sub->next_ = *pending;
            *pending = sub;
        }
        k.subkeys.clear();
        k.order_.clear();
    }

    // Sorted() made again on its first use after a change; emptied by every
    // change of the subkeys.
    mutable std::vector<Key*> order_;
    // The next key on the chain of keys ClearSubkeys is freeing.
    Key* next_ = nullptr;
};

struct Store {
    Key roots[2];  // 0: HKEY_LOCAL_MACHINE, 1: HKEY_CURRENT_USER
    Store() {
        roots[0].name = std::string(kMachine);
        roots[1].name = std::string(kUser);
    }
};

using Path = std::vector<std::string>;

// Calls `visit` with each component of "A\B\C" until it returns false;
// empty components (doubled, leading or trailing backslashes) are skipped.
template <typename Visit>
void ForEachComponent(std::string_view s, Visit&& visit) {
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find('\\', start);
        if (end == std::string_view::npos) end = s.size();
        if (end > start && !visit(s.substr(start, end - start))) return;
        start = end + 1;
    }
}

// Splits "A\B\C" into components, as ForEachComponent visits them.
Path SplitPath(std::string_view s) {
    Path out;
    ForEachComponent(s, [&out](std::string_view c) {
        out.emplace_back(c);
        return true;
    });
    return out;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// ---------------------------------------------------------------------------
// Text form
// ---------------------------------------------------------------------------
int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Reads a quoted string at the start of s (\\ and \" are the only escapes);
// advances s past the closing quote.
bool ParseQuoted(std::string_view& s, std::string* out) {
    if (s.empty() || s[0] != '"') return false;
    out->clear();
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
            c = s[++i];
        }
        *out += c;
    }
    return false;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
    out->clear();
    s = Trim(s);
    if (s.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t comma = s.find(',', start);
        std::string_view item =
            Trim(s.substr(start, comma == std::string_view::npos ? s.npos : comma - start));
        if (item.size() != 2 || Hex(item[0]) < 0 || Hex(item[1]) < 0) return false;
        out->push_back(static_cast<uint8_t>(Hex(item[0]) * 16 + Hex(item[1])));
        if (comma == std::string_view::npos) return true;
        start = comma + 1;
    }
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view s) {
    std::vector<uint8_t> out;
    out.reserve(s.size() * 2);
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

// The UTF-16LE bytes of UTF-8 text, with a terminator when asked; plain
// ASCII, the usual text, is widened in place of a conversion to a string.
std::vector<uint8_t> Utf16BytesOfUtf8(std::string_view s, bool terminated) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            std::u16string w = mv::ToUtf16(s);
            if (terminated) w.push_back(u'\0');
            return Utf16Bytes(w);
        }
    }
    std::vector<uint8_t> out((s.size() + (terminated ? 1 : 0)) * 2);
    for (size_t i = 0; i < s.size(); ++i) out[2 * i] = static_cast<uint8_t>(s[i]);
    return out;
}

std::u16string Utf16FromBytes(const uint8_t* p, size_t n) {
    std::u16string out(n / 2, u'\0');
    for (size_t i = 0; i < n / 2; ++i)
        out[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    return out;
}

// Parses the data part of a value line. `more` supplies continuation lines of
// a hex value that ends in a backslash.
template <typename More>
bool ParseData(std::string_view d, More&& more, DWORD* type, std::vector<uint8_t>* data) {
    if (!d.empty() && d[0] == '"') {
        std::string text;
        if (!ParseQuoted(d, &text) || !Trim(d).empty()) return false;
        *type = REG_SZ;
        *data = Utf16BytesOfUtf8(text, true);
        return true;
    }
    if (d.substr(0, 6) == "dword:") {
        std::string_view digits = Trim(d.substr(6));
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t v = 0;
        for (char c : digits) {
            if (Hex(c) < 0) return false;
            v = v * 16 + static_cast<uint32_t>(Hex(c));
        }
        *type = REG_DWORD;
        *data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                 static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (d.substr(0, 3) != "hex") return false;
    d.remove_prefix(3);
    DWORD t = REG_BINARY;
    if (!d.empty() && d[0] == '(') {
        size_t close = d.find(')');
        if (close == std::string_view::npos || close < 2 || close > 9) return false;
        t = 0;
        for (char c : d.substr(1, close - 1)) {
            if (Hex(c) < 0) return false;
            t = t * 16 + static_cast<DWORD>(Hex(c));
        }
        d.remove_prefix(close + 1);
    }
    if (d.empty() || d[0] != ':') return false;
    d.remove_prefix(1);
    std::string joined(Trim(d));
    while (!joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        std::optional<std::string_view> next = more();
        if (!next) return false;
        joined += Trim(*next);
    }
    *type = t;
    return ParseHexBytes(joined, data);
}

// Parses a whole file; false when any line does not parse (the line number
// goes to *badLine).
bool ParseStore(std::string_view text, Store* store, size_t* badLine) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    *badLine = 1;
    if (lines.empty()) return true;  // an empty file is an empty store
    if (Trim(lines[0]) != kHeader) return false;
    Key* current = nullptr;
    size_t i = 1;
    while (i < lines.size()) {
        *badLine = i + 1;
        std::string_view line = Trim(lines[i++]);
        if (line.empty() || line[0] == ';') continue;
        // A name holding NUL could never be given back to open its key or
        // value by.
        if (line[0] == '[') {
            if (line.back() != ']' || line.find('\0') != std::string_view::npos) return false;
            current = nullptr;
            bool ok = true;
            size_t depth = 0;  // of `current` below its root
            ForEachComponent(line.substr(1, line.size() - 2), [&](std::string_view c) {
                if (current) {
                    ok = ++depth <= kMaxKeyDepth;
                    if (ok) current = current->FindOrAdd(c, nullptr);
                } else if (mv::EqualsNoCase(c, kMachine)) {
                    current = &store->roots[0];
                } else if (mv::EqualsNoCase(c, kUser)) {
                    current = &store->roots[1];
                } else if (mv::EqualsNoCase(c, kClasses)) {
                    current = store->roots[0]
                                  .FindOrAdd("SOFTWARE", nullptr)
                                  ->FindOrAdd("Classes", nullptr);
                    depth = 2;
                } else {
                    ok = false;
                }
                return ok;
            });
            if (!ok || !current) return false;
            continue;
        }
        if (!current) return false;
        std::string name;
        if (line[0] == '@') {
            line.remove_prefix(1);
        } else if (!ParseQuoted(line, &name) || name.find('\0') != std::string::npos) {
            return false;
        }
        line = Trim(line);
        if (line.empty() || line[0] != '=') return false;
        line = Trim(line.substr(1));
        auto more = [&]() -> std::optional<std::string_view> {
            if (i >= lines.size()) return std::nullopt;
            return lines[i++];
        };
        DWORD type = REG_NONE;
        std::vector<uint8_t> data;
        if (!ParseData(line, more, &type, &data)) return false;
        current->SetValue(name, type, std::move(data));
    }
    return true;
}

void AppendQuoted(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
}

// The quoted form of a REG_SZ, when it carries the bytes exactly: UTF-16LE
// ending in one terminator, no other NUL, no line break, valid UTF-16.
std::optional<std::string> QuotableString(const std::vector<uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
    std::u16string w = Utf16FromBytes(data.data(), data.size());
    if (w.back() != u'\0') return std::nullopt;
    w.pop_back();
    if (w.find(u'\0') != std::u16string::npos) return std::nullopt;
    std::string text = mv::ToUtf8(w);
    if (HasLineBreak(text) || mv::ToUtf16(text) != w) return std::nullopt;
    return text;
}

// The text of a REG_SZ that is plain ASCII (no NUL, no line break) with its
// terminator: quotable as its low bytes, without converting it.
bool PlainAscii(const std::vector<uint8_t>& data, std::string* text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    const size_t count = data.size() / 2 - 1;
    if (data[2 * count] != 0 || data[2 * count + 1] != 0) return false;
    text->resize(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t low = data[2 * i];
        if (data[2 * i + 1] != 0 || low == 0 || low >= 0x80 || low == '\r' || low == '\n')
            return false;
        (*text)[i] = static_cast<char>(low);
    }
    return true;
}

void AppendValue(std::string& out, const Value& v, std::string& scratch) {
    if (v.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(out, v.name);
    }
    out += '=';
    char buf[32];
    if (v.type == REG_SZ) {
        std::optional<std::string> text;
        if (PlainAscii(v.data, &scratch) || (text = QuotableString(v.data))) {
            AppendQuoted(out, text ? *text : scratch);
            out += "\r\n";
            return;
        }
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x\r\n", d);
        out += buf;
        return;
    }
    if (v.type == REG_BINARY) {
        out += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        out += buf;
    }
    for (size_t i = 0; i < v.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", v.data[i]);
        out += buf;
    }
    out += "\r\n";
}

// Writes a key's section: its path and its values.
void AppendSection(std::string& out, const std::string& path, const Key& k, std::string& scratch) {
    out += '[';
    out += path;
    out += "]\r\n";
    for (const auto& v : k.values) AppendValue(out, v, scratch);
    out += "\r\n";
}

// Writes a root's section when it has values, then every key below it, each
// before its subkeys and those in name order. `path` starts as the root's
// name. The walk keeps the keys it is inside in a list of its own rather
// than recursing, so that it takes the same stack however deep keys lie.
void AppendTree(std::string& out, std::string& path, const Key& root, std::string& scratch) {
    if (!root.values.empty()) AppendSection(out, path, root, scratch);
    struct Level {
        const std::vector<Key*>* subkeys;  // of the key at this level, in name order
        size_t next;                       // the subkey to write next
        size_t pathLength;                 // of the key's path
    };
    std::vector<Level> levels{{&root.Sorted(), 0, path.size()}};
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.subkeys->size()) {
            levels.pop_back();
            continue;
        }
        const Key& sub = *(*level.subkeys)[level.next++];
        path.resize(level.pathLength);
        path += '\\';
        path += sub.name;
        AppendSection(out, path, sub, scratch);
        levels.push_back({&sub.Sorted(), 0, path.size()});
    }
}

std::string SerializeStore(const Store& s) {
    std::string out(kHeader);
    out += "\r\n\r\n";
    std::string path;
    std::string scratch;
    for (const auto& root : s.roots) {
        path = root.name;
        AppendTree(out, path, root, scratch);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Process-wide state
// ---------------------------------------------------------------------------
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    bool operator==(const FileStamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

std::optional<FileStamp> StampOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

void MakeParentFolders(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        ::mkdir(path.substr(0, pos).c_str(), 0777);
}

// The cross-process lock of a store file: an exclusive flock on
// "<file>.lock", held from Take until the guard goes, so that every way out
// of a change (running out of memory included) releases it and closes the
// descriptor. A lock left behind would make this and every other process
// wait for ever at its next write.
class StoreFileLock {
public:
    StoreFileLock() = default;
    StoreFileLock(const StoreFileLock&) = delete;
    StoreFileLock& operator=(const StoreFileLock&) = delete;
    ~StoreFileLock() {
        if (fd_ < 0) return;
        // Released explicitly: a child forked meanwhile shares the
        // descriptor's lock, which closing this copy would not release.
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }

    // Opens the lock file beside the store at `path` and waits for the
    // lock; false when the lock file cannot be opened.
    bool Take(const std::string& path) {
        MakeParentFolders(path);
        fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0) return false;
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
        return true;
    }

private:
    int fd_ = -1;
};

// One batch of changes (mv::RegistryBatch): the store file stays locked
// against other processes from its start to its end, is read once at the
// start and written once at the end.
struct Batch {
    std::thread::id owner;
    std::string path;
    StoreFileLock lock;
    LONG error = ERROR_SUCCESS;  // what every change of the batch fails with
    Store store;                 // the file's content with the changes so far
    bool changed = false;
};

struct State {
    std::mutex m;
    // Threads other than a batch's owner wait on it until the batch ends.
    std::condition_variable batchDone;
    std::optional<Batch> batch;
    bool memory = false;
    Store memStore;
    std::string overridePath;
    // Cache of the file last read, and the error a change of it fails with
    // (ERROR_SUCCESS, or the file was corrupt or unreadable).
    std::string cachePath;
    std::optional<FileStamp> cacheStamp;
    Store cache;
    bool cacheValid = false;
    LONG cacheError = ERROR_SUCCESS;
    // Watches the folder of the file at watchPath (and the file), so that
    // the file is looked at again only when something happened to it.
    mv::FileWatch watch;
    std::string watchPath;
    // Counts the states of the store this process has seen: it moves on with
    // every change, every read of a changed file and every switch of store,
    // so that a key resolved under one number stays valid while it holds.
    // Changed with m held; RegistryVersion reads it without.
    std::atomic<uint64_t> generation{1};
    // What RegistryVersion reads without the lock: the reports about the
    // file that the watcher thread heard, and whether that view holds (the
    // watcher runs in this process for the file the store uses, or the store
    // is in memory); with the environment's answers the path came from.
    std::atomic<uint64_t> heard{0};
    std::atomic<bool> settled{false};
    std::atomic<bool> fromEnvironment{false};
    std::atomic<const char*> envRegistry{nullptr};
    std::atomic<const char*> envCommon{nullptr};
    std::shared_ptr<struct Watcher> watcher;
    // Watchers of the parent process in a child after fork: their thread
    // does not run here, so its reference never goes; kept reachable.
    std::vector<std::shared_ptr<struct Watcher>> abandoned;
    std::set<std::string> reportedCorrupt;
    std::function<void(std::string_view)> hook;
    std::set<const HKEY__*> handles;
    unsigned tempCounter = 0;
};

// Forks this process came through; a watcher made before a fork has no
// thread in the child.
std::atomic<unsigned> g_forks{0};

// Never destroyed: library detach handlers that run at exit may still use it.
State& S() {
    static State* s = [] {
        auto* state = new State;
        // A child after fork has no watcher thread: its view starts over.
        ::pthread_atfork(nullptr, nullptr, [] {
            S().settled.store(false);
            g_forks.fetch_add(1);
        });
        return state;
    }();
    return *s;
}

void Diagnose(State& s, const std::string& line) {
    if (s.hook) {
        s.hook(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

std::string CurrentPath(const State& s) {
    if (!s.overridePath.empty()) return s.overridePath;
    const char* reg = std::getenv("MORVA_REGISTRY");
    if (reg && *reg) return reg;
    const char* common = std::getenv("MORVA_COMMON_APPDATA");
    std::string base = (common && *common) ? common : "/var/tmp/morva-common-appdata";
    return base + "/Morva/registry.reg";
}

enum class LoadResult { kOk, kMissing, kCorrupt, kUnreadable };

// A corrupt file is reported unless `quiet`.
LoadResult ReadStoreFile(State& s, const std::string& path, Store* out, bool quiet) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? LoadResult::kMissing : LoadResult::kUnreadable;
    // The descriptor is closed on every way out, a text that cannot grow for
    // lack of memory included.
    const std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
    // Read straight into the text, which grows as the file turns out longer
    // than its size said: no buffer on the stack.
    std::string text;
    struct stat st;
    const size_t expected =
        ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    size_t used = 0;
    while (true) {
        if (used == text.size()) text.resize(std::max(expected, 2 * used) + 4096);
        ssize_t n = ::read(fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return LoadResult::kUnreadable;
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    text.resize(used);
    size_t badLine = 0;
    if (!ParseStore(text, out, &badLine)) {
        *out = Store();
        if (!quiet && s.reportedCorrupt.insert(path).second) {
            Diagnose(s, "registry: " + path + " line " + std::to_string(badLine) +
                            " does not parse; the store reads as empty and refuses writes");
        }
        return LoadResult::kCorrupt;
    }
    return LoadResult::kOk;
}

// Holds s.m; while a batch runs on another thread, first waits for its end.
class Access {
public:
    explicit Access(State& s) : lock_(s.m) {
        s.batchDone.wait(lock_,
                         [&s] { return !s.batch || s.batch->owner == std::this_thread::get_id(); });
    }

private:
    std::unique_lock<std::mutex> lock_;
};

LONG ChangeErrorOf(LoadResult result) {
    switch (result) {
        case LoadResult::kCorrupt:
            return ERROR_BADDB;
        case LoadResult::kUnreadable:
            return ERROR_CANTREAD;
        default:
            return ERROR_SUCCESS;
    }
}

// The name of the store file within its folder.
std::string_view FileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string_view(path)
                                      : std::string_view(path).substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash ? slash : 1);
}

// Brings the cache up to the file at `path`. While the watch is active, the
// file is read again exactly when the watch heard of it; otherwise when its
// stamp changed. A `quiet` look leaves a corrupt file to the next one, which
// reports it. Called with s.m held.
void RefreshCache(State& s, const std::string& path, bool quiet = false) {
    const bool watching = s.watchPath == path && s.watch.Active();
    if (watching && s.cacheValid && s.cachePath == path && s.watch.Quiet(FileNameOf(path))) return;
    // Something happened to the file (or nothing tells): the watch is set up
    // again before the look, so that a change after the look is heard of.
    s.watch.Stop();
    s.watchPath.clear();
    if (s.watch.Add(FolderOf(path), mv::FileWatch::kFolderChanged)) {
        // The file itself too, for a store reached through a link.
        s.watch.Add(path, mv::FileWatch::kFileChanged);
        s.watchPath = path;
    }
    std::optional<FileStamp> stamp = StampOf(path);
    // A change the watch heard of is read even when the stamp did not move
    // (a rewrite of the same size within the clock's granularity).
    if (!watching && s.cacheValid && s.cachePath == path && s.cacheStamp == stamp) return;
    // The keys handles resolved go now; a read that runs out of memory
    // leaves a cache that is read again next time.
    s.cacheValid = false;
    ++s.generation;
    s.cache = Store();
    const LoadResult result = ReadStoreFile(s, path, &s.cache, quiet);
    s.cacheError = ChangeErrorOf(result);
    s.cachePath = path;
    s.cacheStamp = stamp;
    s.cacheValid = !quiet || result != LoadResult::kCorrupt;
}

// The store as it is now, for reading. Called with s.m held.
Store& ReadView(State& s) {
    if (s.memory) return s.memStore;
    if (s.batch && s.batch->error == ERROR_SUCCESS) return s.batch->store;
    RefreshCache(s, CurrentPath(s));
    return s.cache;
}

// Hears every report about the store file on a thread of its own, blocked
// on the kernel, and counts them in State::heard. The thread holds the
// watcher while it runs and ends once woken through wakeFd.
struct Watcher {
    mv::FileWatch watch;
    std::string path;
    std::string name;  // of the file within its folder
    int wakeFd = -1;
    unsigned forks = 0;  // g_forks when made
    std::atomic<bool> woken{false};
    std::atomic<bool> ended{false};
    ~Watcher() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

// Watches the store file's folder and the file as the path names them now
// (again: after a report, the file may be a new one, the folder too).
bool Arm(Watcher& w) {
    if (!w.watch.Add(FolderOf(w.path), mv::FileWatch::kFolderChanged)) return false;
    w.watch.Add(w.path, mv::FileWatch::kFileChanged);  // may not exist yet
    return true;
}

void RunWatcher(std::shared_ptr<Watcher> w) {
    State& s = S();
    bool armed = true;
    while (armed && w->watch.Wait(w->wakeFd)) {
        if (w->watch.Quiet(w->name)) continue;
        // Armed again before the count moves, so that whoever reads the
        // store after seeing the count is sure to hear of what comes next.
        armed = Arm(*w);
        s.heard.fetch_add(1);
    }
    w->ended = true;
    // A watch that broke or lost its folder: the view no longer holds until
    // a new watcher runs.
    if (!w->woken) s.settled = false;
}

// The platform library stays loaded once a thread of its own runs.
void KeepPlatformLoaded() {
    static const bool kept = [] {
        Dl_info info{};
        return ::dladdr(reinterpret_cast<void*>(&KeepPlatformLoaded), &info) != 0 &&
               info.dli_fname &&
               ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    }();
    (void)kept;
}

// Makes the watcher thread watch the store file at `path`, starting one
// when none runs for it; false when the file's folder cannot be watched.
// Called with s.m held.
bool WatchStore(State& s, const std::string& path) {
    if (s.watcher && s.watcher->forks != g_forks.load()) {
        // A watcher of the parent process: its thread does not run here and
        // its wake-up would reach the parent's.
        s.watcher->watch.Stop();
        s.abandoned.push_back(std::move(s.watcher));
    }
    if (s.watcher && s.watcher->path == path && !s.watcher->ended) return true;
    if (s.watcher) {
        const uint64_t one = 1;
        s.watcher->woken = true;
        if (::write(s.watcher->wakeFd, &one, sizeof one) < 0) {
        }
        s.watcher.reset();
    }
    auto w = std::make_shared<Watcher>();
    w->path = path;
    w->name = std::string(FileNameOf(path));
    w->forks = g_forks.load();
    if (!Arm(*w)) return false;
    w->wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (w->wakeFd < 0) return false;
    KeepPlatformLoaded();
    try {
        std::thread(RunWatcher, w).detach();
    } catch (const std::system_error&) {
        return false;
    }
    s.watcher = std::move(w);
    return true;
}

// Whether RegistryVersion may answer without the lock.
bool Settled(State& s) {
    if (!s.settled.load()) return false;
    return !s.fromEnvironment.load() || (std::getenv("MORVA_REGISTRY") == s.envRegistry.load() &&
                                         std::getenv("MORVA_COMMON_APPDATA") == s.envCommon.load());
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A change to the store: returns its status and whether anything changed.
struct Outcome {
    LONG rc = ERROR_SUCCESS;
    bool changed = false;
};

// Replaces the store file with `store` (temporary file, then rename) and
// makes it the read cache; when the file cannot be replaced the cache is
// dropped, so that the next read sees the file as it is. Called under the
// cross-process lock.
LONG ReplaceStoreFile(State& s, const std::string& path, Store&& store) {
    // The temporary file is closed, and removed unless it became the store,
    // on every way out, running out of memory while writing it included.
    struct Temporary {
        std::string path;
        int fd = -1;
        bool renamed = false;
        ~Temporary() {
            Close();
            if (!renamed) ::unlink(path.c_str());
        }
        void Close() {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    } temp{path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++s.tempCounter)};
    temp.fd = ::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const bool written =
        temp.fd >= 0 && WriteAll(temp.fd, SerializeStore(store)) && ::fsync(temp.fd) == 0;
    temp.Close();
    temp.renamed = written && ::rename(temp.path.c_str(), path.c_str()) == 0;
    ++s.generation;
    if (!temp.renamed) {
        s.cacheValid = false;
        return ERROR_CANTWRITE;
    }
    if (&store != &s.cache) s.cache = std::move(store);
    // What the watch heard so far is this write, made under the lock.
    if (s.watchPath == path) s.watch.Quiet(FileNameOf(path));
    s.cachePath = path;
    s.cacheStamp = StampOf(path);
    s.cacheValid = true;
    s.cacheError = ERROR_SUCCESS;
    return ERROR_SUCCESS;
}

// Applies `change` to the store and, for the file, writes the result back
// under the cross-process lock. A change that fails changes nothing, so each
// change works on the store in place: the cache (read again first when the
// file changed) or the batch's working copy. Called with s.m held.
template <typename Change>
LONG Modify(State& s, Change&& change) {
    if (s.memory) {
        ++s.generation;
        return change(s.memStore).rc;
    }
    if (s.batch) {
        Batch& b = *s.batch;
        if (b.error != ERROR_SUCCESS) return b.error;
        ++s.generation;
        Outcome o = change(b.store);
        if (o.rc == ERROR_SUCCESS && o.changed) b.changed = true;
        return o.rc;
    }
    std::string path = CurrentPath(s);
    StoreFileLock lock;
    if (!lock.Take(path)) return ERROR_ACCESS_DENIED;
    RefreshCache(s, path);
    LONG rc = s.cacheError;
    if (rc == ERROR_SUCCESS) {
        ++s.generation;
        try {
            Outcome o = change(s.cache);
            rc = o.rc;
            if (o.rc == ERROR_SUCCESS && o.changed)
                rc = ReplaceStoreFile(s, path, std::move(s.cache));
        } catch (...) {
            // A change or write cut short (running out of memory) may leave
            // the cache part-changed and unwritten: the file is read again.
            s.cacheValid = false;
            throw;
        }
    }
    return rc;
}

// Writes what a batch changed, releases the cross-process lock and lets
// the waiting threads in. The status of the write.
LONG EndBatch(State& s) {
    // On every way out, a write that runs out of memory included, the batch
    // goes (releasing the cross-process lock) and the waiting threads come
    // in; what it changed and could not write is lost, as on a failed write.
    struct Ending {
        State& s;
        ~Ending() { s.batchDone.notify_all(); }
    } ending{s};
    Access lock(s);
    struct Dropping {
        State& s;
        ~Dropping() {
            s.batch.reset();
            ++s.generation;
        }
    } dropping{s};
    Batch& batch = *s.batch;
    if (batch.changed && batch.error == ERROR_SUCCESS)
        return ReplaceStoreFile(s, batch.path, std::move(batch.store));
    if (batch.error == ERROR_SUCCESS) {
        // Nothing changed: the working copy is the file as it still is.
        s.cache = std::move(batch.store);
        s.cacheValid = s.cachePath == batch.path;
    }
    return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------
struct HKEY__ {
    int root = 0;  // index into Store::roots
    Path path;     // below the root
    REGSAM sam = KEY_ALL_ACCESS;
    bool predefined = false;
    // The key the path named (null: none) when the store's generation was
    // `resolvedAt`; guarded by the store's lock.
    mutable Key* resolved = nullptr;
    mutable uint64_t resolvedAt = 0;
};

namespace {

// Describes a handle; null for an unknown one.
const HKEY__* Describe(State& s, HKEY h) {
    static const HKEY__ machine{0, {}, KEY_ALL_ACCESS, true};
    static const HKEY__ user{1, {}, KEY_ALL_ACCESS, true};
    static const HKEY__ classes{0, {"SOFTWARE", "Classes"}, KEY_ALL_ACCESS, true};
    if (h == HKEY_LOCAL_MACHINE) return &machine;
    if (h == HKEY_CURRENT_USER) return &user;
    if (h == HKEY_CLASSES_ROOT) return &classes;
    if (!h || !s.handles.count(h)) return nullptr;
    return h;
}

Key* Walk(Key* k, const Path& path, size_t count) {
    for (size_t i = 0; k && i < count; ++i) k = k->Find(path[i]);
    return k;
}

// The key a handle names in `st`, the store as it is now: walked from the
// root only when the store moved on since the handle last resolved it.
Key* Resolve(State& s, Store& st, const HKEY__& h) {
    if (h.resolvedAt != s.generation) {
        h.resolved = Walk(&st.roots[h.root], h.path, h.path.size());
        h.resolvedAt = s.generation;
    }
    return h.resolved;
}

// The key a handle names for reading, or an error: a predefined key that does
// not exist yet reads as empty, an opened key that was deleted is gone.
LONG KeyForRead(State& s, HKEY h, REGSAM need, Key** out) {
    const HKEY__* found = Describe(s, h);
    if (!found) return ERROR_INVALID_HANDLE;
    const HKEY__& d = *found;
    if ((d.sam & need) != need) return ERROR_ACCESS_DENIED;
    static Key empty;
    empty = Key();
    Store& st = ReadView(s);
    *out = Resolve(s, st, d);
    if (!*out) {
        if (!d.predefined) return ERROR_KEY_DELETED;
        *out = &empty;
    }
    return ERROR_SUCCESS;
}

// The keys a change adds along a path: taken away again (the first added
// and all below it) unless the change keeps them, so that a change that
// fails or throws (running out of memory) leaves nothing behind, in a
// batch's working copy too.
class AddedKeys {
public:
    AddedKeys() = default;
    AddedKeys(const AddedKeys&) = delete;
    AddedKeys& operator=(const AddedKeys&) = delete;
    ~AddedKeys() {
        if (first_) parent_->Erase(first_);
    }

    // The key `name` below `k`, added when missing.
    Key* FindOrAdd(Key* k, std::string_view name) {
        bool added = false;
        Key* found = k->FindOrAdd(name, &added);
        if (added && !first_) {
            parent_ = k;
            first_ = found;
        }
        return found;
    }
    bool Any() const { return first_ != nullptr; }
    void Keep() { first_ = nullptr; }

private:
    Key* parent_ = nullptr;
    Key* first_ = nullptr;
};

// Runs `edit` on the key a handle names, inside Modify.
template <typename Edit>
LONG EditKey(State& s, HKEY h, REGSAM need, Edit&& edit) {
    const HKEY__* found = Describe(s, h);
    if (!found) return ERROR_INVALID_HANDLE;
    const HKEY__& d = *found;
    if ((d.sam & need) != need) return ERROR_ACCESS_DENIED;
    return Modify(s, [&](Store& st) -> Outcome {
        Key* k = &st.roots[d.root];
        AddedKeys added;  // the keys a predefined path had to create
        for (const auto& c : d.path) {
            if (d.predefined) {
                k = added.FindOrAdd(k, c);
            } else if (!(k = k->Find(c))) {
                return {ERROR_KEY_DELETED, false};
            }
        }
        Outcome o = edit(*k);
        if (o.rc == ERROR_SUCCESS) {
            o.changed = o.changed || added.Any();
            added.Keep();
        }
        return o;
    });
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Value bytes as a narrow caller sees them: strings in UTF-8.
std::vector<uint8_t> NarrowData(const Value& v) {
    if (!IsStringType(v.type)) return v.data;
    std::string text = mv::ToUtf8(Utf16FromBytes(v.data.data(), v.data.size()));
    return std::vector<uint8_t>(text.begin(), text.end());
}

template <typename Char>
std::string NameOf(const Char* s) {
    if (!s) return {};
    if constexpr (sizeof(Char) == 1) {
        return s;
    } else {
        return mv::ToUtf8(s);
    }
}

// Copies a name into a caller's buffer of *cch characters (terminator
// included); on success *cch receives the length without the terminator.
template <typename Char>
LONG CopyName(const std::string& name, Char* buf, LPDWORD cch) {
    if (!buf || !cch) return ERROR_INVALID_PARAMETER;
    std::basic_string<Char> text;
    if constexpr (sizeof(Char) == 1) {
        text = name;
    } else {
        text = mv::ToUtf16(name);
    }
    if (text.size() + 1 > *cch) return ERROR_MORE_DATA;
    std::copy(text.begin(), text.end(), buf);
    buf[text.size()] = 0;
    *cch = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

LONG CopyData(const std::vector<uint8_t>& data, LPBYTE buf, LPDWORD cb) {
    DWORD size = static_cast<DWORD>(data.size());
    if (!cb) return buf ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    if (!buf) {
        *cb = size;
        return ERROR_SUCCESS;
    }
    if (*cb < size) {
        *cb = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(buf, data.data(), size);
    *cb = size;
    return ERROR_SUCCESS;
}

// A new handle for the key `rel` below the key that `base` describes;
// `key` is that key when the caller has just found it.
HKEY NewHandle(State& s, const HKEY__& base, const Path& rel, REGSAM sam, Key* key = nullptr) {
    auto h = std::make_unique<HKEY__>();
    h->root = base.root;
    h->path.reserve(base.path.size() + rel.size());
    h->path = base.path;
    h->path.insert(h->path.end(), rel.begin(), rel.end());
    h->sam = sam;
    if (key) {
        h->resolved = key;
        h->resolvedAt = s.generation;
    }
    s.handles.insert(h.get());
    return h.release();
}

template <typename Char>
LONG OpenKey(HKEY hKey, const Char* sub, REGSAM sam, PHKEY out) {
    if (!out) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    State& s = S();
    Access lock(s);
    const HKEY__* d = Describe(s, hKey);
    if (!d) return ERROR_INVALID_HANDLE;
    Path rel = SplitPath(NameOf(sub));
    Store& st = ReadView(s);
    Key* k = Walk(Resolve(s, st, *d), rel, rel.size());
    if (!k) return ERROR_FILE_NOT_FOUND;
    *out = NewHandle(s, *d, rel, sam, k);
    return ERROR_SUCCESS;
}

template <typename Char>
LONG CreateKey(HKEY hKey, const Char* sub, REGSAM sam, PHKEY out, LPDWORD disposition) {
    if (!out) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    std::string name = NameOf(sub);
    if (HasLineBreak(name)) return ERROR_INVALID_PARAMETER;
    Path rel = SplitPath(name);
    State& s = S();
    Access lock(s);
    const HKEY__* d = Describe(s, hKey);
    if (!d) return ERROR_INVALID_HANDLE;
    if (d->path.size() + rel.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    // Opening what exists needs no write.
    Store& st = ReadView(s);
    if (Walk(Resolve(s, st, *d), rel, rel.size())) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        *out = NewHandle(s, *d, rel, sam);
        return ERROR_SUCCESS;
    }
    // The handle is made with the keys, before they are kept, so that
    // running out of memory for it leaves no key made; it goes again unless
    // the change is written.
    struct Pending {
        State& s;
        HKEY h = nullptr;
        ~Pending() {
            if (!h) return;
            s.handles.erase(h);
            delete h;
        }
    } handle{s};
    bool created = false;
    LONG rc = EditKey(s, hKey, KEY_CREATE_SUB_KEY, [&](Key& parent) -> Outcome {
        AddedKeys added;
        Key* k = &parent;
        for (const auto& c : rel) k = added.FindOrAdd(k, c);
        handle.h = NewHandle(s, *d, rel, sam);
        created = added.Any();
        added.Keep();
        return {ERROR_SUCCESS, created};
    });
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *out = std::exchange(handle.h, nullptr);
    return ERROR_SUCCESS;
}

template <typename Char>
LONG QueryValue(HKEY hKey, const Char* name, LPDWORD type, LPBYTE data, LPDWORD cb) {
    if (data && !cb) return ERROR_INVALID_PARAMETER;
    State& s = S();
    Access lock(s);
    Key* k = nullptr;
    if (LONG rc = KeyForRead(s, hKey, KEY_QUERY_VALUE, &k)) return rc;
    const Value* v = k->FindValue(NameOf(name));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    return CopyData(sizeof(Char) == 1 ? NarrowData(*v) : v->data, data, cb);
}

template <typename Char>
LONG SetValue(HKEY hKey, const Char* name, DWORD type, const BYTE* data, DWORD cb) {
    if (!data && cb) return ERROR_INVALID_PARAMETER;
    std::string n = NameOf(name);
    if (HasLineBreak(n)) return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> bytes(data, data + cb);
    if (sizeof(Char) == 1 && IsStringType(type)) {
        bytes = Utf16BytesOfUtf8(std::string_view(reinterpret_cast<const char*>(data), cb), false);
    }
    State& s = S();
    Access lock(s);
    return EditKey(s, hKey, KEY_SET_VALUE, [&](Key& k) -> Outcome {
        k.SetValue(n, type, std::move(bytes));
        return {ERROR_SUCCESS, true};
    });
}

template <typename Char>
LONG DeleteValue(HKEY hKey, const Char* name) {
    std::string n = NameOf(name);
    State& s = S();
    Access lock(s);
    return EditKey(s, hKey, KEY_SET_VALUE, [&](Key& k) -> Outcome {
        for (auto it = k.values.begin(); it != k.values.end(); ++it) {
            if (mv::EqualsNoCase(it->name, n)) {
                k.values.erase(it);
                return {ERROR_SUCCESS, true};
            }
        }
        return {ERROR_FILE_NOT_FOUND, false};
    });
}

template <typename Char>
LONG DeleteKey(HKEY hKey, const Char* sub, bool tree) {
    Path rel = SplitPath(NameOf(sub));
    if (rel.empty() && !tree) return ERROR_INVALID_PARAMETER;
    State& s = S();
    Access lock(s);
    return EditKey(s, hKey, 0, [&](Key& base) -> Outcome {
        if (rel.empty()) {  // tree delete of the key's own contents
            bool changed = !base.subkeys.empty() || !base.values.empty();
            base.ClearSubkeys();
            base.values.clear();
            return {ERROR_SUCCESS, changed};
        }
        Key* parent = Walk(&base, rel, rel.size() - 1);
        Key* victim = parent ? parent->Find(rel.back()) : nullptr;
        if (!victim) return {ERROR_FILE_NOT_FOUND, false};
        if (!tree && !victim->subkeys.empty()) return {ERROR_ACCESS_DENIED, false};
        parent->Erase(victim);
        return {ERROR_SUCCESS, true};
    });
}

template <typename Char>
LONG EnumKey(HKEY hKey, DWORD index, Char* name, LPDWORD cch, Char* cls, LPDWORD cchClass,
             FILETIME* written) {
    State& s = S();
    Access lock(s);
    Key* k = nullptr;
    if (LONG rc = KeyForRead(s, hKey, KEY_ENUMERATE_SUB_KEYS, &k)) return rc;
    const Key* sub = k->At(index);
    if (!sub) return ERROR_NO_MORE_ITEMS;
    if (LONG rc = CopyName(sub->name, name, cch)) return rc;
    if (cls && cchClass && *cchClass > 0) {
        cls[0] = 0;
        *cchClass = 0;
    }
    if (written) *written = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

template <typename Char>
LONG EnumValue(HKEY hKey, DWORD index, Char* name, LPDWORD cch, LPDWORD type, LPBYTE data,
               LPDWORD cb) {
    if (data && !cb) return ERROR_INVALID_PARAMETER;
    State& s = S();
    Access lock(s);
    Key* k = nullptr;
    if (LONG rc = KeyForRead(s, hKey, KEY_QUERY_VALUE, &k)) return rc;
    if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = k->values[index];
    if (LONG rc = CopyName(v.name, name, cch)) return rc;
    if (type) *type = v.type;
    return CopyData(sizeof(Char) == 1 ? NarrowData(v) : v.data, data, cb);
}

}  // namespace

// Every entry point answers running out of memory with its code.
constexpr LONG kOutOfMemory = ERROR_NOT_ENOUGH_MEMORY;

extern "C" {

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return mv::CallGuarded([&] { return OpenKey(hKey, lpSubKey, samDesired, phkResult); },
                           kOutOfMemory);
}
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return mv::CallGuarded([&] { return OpenKey(hKey, lpSubKey, samDesired, phkResult); },
                           kOutOfMemory);
}
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return mv::CallGuarded(
        [&] { return CreateKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition); },
        kOutOfMemory);
}
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return mv::CallGuarded(
        [&] { return CreateKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition); },
        kOutOfMemory);
}
LONG RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT)
        return ERROR_SUCCESS;
    return mv::CallGuarded(
        [&] {
            State& s = S();
            Access lock(s);
            if (!hKey || !s.handles.erase(hKey)) return ERROR_INVALID_HANDLE;
            delete hKey;
            return ERROR_SUCCESS;
        },
        kOutOfMemory);
}
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    return mv::CallGuarded([&] { return QueryValue(hKey, lpValueName, lpType, lpData, lpcbData); },
                           kOutOfMemory);
}
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    return mv::CallGuarded([&] { return QueryValue(hKey, lpValueName, lpType, lpData, lpcbData); },
                           kOutOfMemory);
}
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    return mv::CallGuarded([&] { return SetValue(hKey, lpValueName, dwType, lpData, cbData); },
                           kOutOfMemory);
}
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    return mv::CallGuarded([&] { return SetValue(hKey, lpValueName, dwType, lpData, cbData); },
                           kOutOfMemory);
}
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return mv::CallGuarded([&] { return DeleteValue(hKey, lpValueName); }, kOutOfMemory);
}
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return mv::CallGuarded([&] { return DeleteValue(hKey, lpValueName); }, kOutOfMemory);
}
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return mv::CallGuarded([&] { return DeleteKey(hKey, lpSubKey, false); }, kOutOfMemory);
}
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return mv::CallGuarded([&] { return DeleteKey(hKey, lpSubKey, false); }, kOutOfMemory);
}
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return mv::CallGuarded([&] { return DeleteKey(hKey, lpSubKey, true); }, kOutOfMemory);
}
LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    return mv::CallGuarded([&] { return DeleteKey(hKey, lpSubKey, true); }, kOutOfMemory);
}
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                   LPSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime) {
    return mv::CallGuarded(
        [&] {
            return EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass,
                           lpftLastWriteTime);
        },
        kOutOfMemory);
}
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD,
                   LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime) {
    return mv::CallGuarded(
        [&] {
            return EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass,
                           lpftLastWriteTime);
        },
        kOutOfMemory);
}
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return mv::CallGuarded(
        [&] {
            return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
        },
        kOutOfMemory);
}
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return mv::CallGuarded(
        [&] {
            return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
        },
        kOutOfMemory);
}

}  // extern "C"

namespace mv {

std::string RegistryPath() {
    State& s = S();
    Access lock(s);
    return CurrentPath(s);
}

uint64_t RegistryVersion() {
    State& s = S();
    if (Settled(s)) return s.generation.load() + s.heard.load();
    Access lock(s);
    const bool fromEnvironment = !s.memory && s.overridePath.empty();
    const char* envRegistry = std::getenv("MORVA_REGISTRY");
    const char* envCommon = std::getenv("MORVA_COMMON_APPDATA");
    // The watch is set up before the look, so that a change after the look
    // is heard of.
    const bool watched = s.memory || WatchStore(s, CurrentPath(s));
    ReadView(s);
    s.fromEnvironment = fromEnvironment;
    s.envRegistry = envRegistry;
    s.envCommon = envCommon;
    s.settled = watched;
    return s.generation.load() + s.heard.load();
}

void RegistryUseFile(const std::string& path) {
    State& s = S();
    Access lock(s);
    s.settled = false;
    s.memory = false;
    s.overridePath = path;
    s.cacheValid = false;
    ++s.generation;
    // The switch reads the file it names (dropping the store held so far)
    // itself, rather than leaving that to whichever call comes first; a
    // corrupt file is left to that call, which reports it.
    if (!path.empty() && !s.batch) RefreshCache(s, path, true);
}

void RegistryUseMemoryStore(bool on) {
    State& s = S();
    Access lock(s);
    s.settled = false;
    s.memory = on;
    s.memStore = Store();
    s.cacheValid = false;
    ++s.generation;
}

LONG RegistryBatch(const std::function<void()>& work) {
    State& s = S();
    bool started = false;
    // A start or an end that runs out of memory answers with the code, as a
    // write does, and leaves neither the batch nor its lock behind.
    const LONG begun = mv::CallGuarded(
        [&] {
            Access lock(s);
            // A batch this thread already runs takes the work in; the
            // in-memory store has no file writes to spare.
            if (s.batch || s.memory) return ERROR_SUCCESS;
            Batch& batch = s.batch.emplace();
            batch.owner = std::this_thread::get_id();
            try {
                batch.path = CurrentPath(s);
                batch.error = ERROR_ACCESS_DENIED;
                if (batch.lock.Take(batch.path)) {
                    // The batch works on the cache itself, brought up to the
                    // file.
                    RefreshCache(s, batch.path);
                    batch.error = s.cacheError;
                    if (batch.error == ERROR_SUCCESS) {
                        batch.store = std::move(s.cache);
                        s.cacheValid = false;
                    }
                }
            } catch (...) {
                // No thread waits on the batch yet: s.m was held all along.
                s.batch.reset();
                throw;
            }
            ++s.generation;
            started = true;
            return ERROR_SUCCESS;
        },
        kOutOfMemory);
    if (begun != ERROR_SUCCESS) return begun;
    if (!started) {
        work();
        return ERROR_SUCCESS;
    }
    auto end = [&s] { return mv::CallGuarded([&s] { return EndBatch(s); }, kOutOfMemory); };
    try {
        work();
    } catch (...) {
        end();
        throw;
    }
    return end();
}

void RegistrySetDiagnosticHook(std::function<void(std::string_view)> hook) {
    State& s = S();
    Access lock(s);
    s.hook = std::move(hook);
}

}  // namespace mv
