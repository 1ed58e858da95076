#include "model.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "impl.h"

namespace kh {

namespace {
constexpr LONG kRecordMask = 0x1FFFFF;
}  // namespace

std::optional<Kind> fieldKind(SHORT type) {
    if (type >= 1) return Kind::Text;
    if (type == -24 || type == -23 || type == -22) return Kind::Text;
    if (type == -17 || type == -8 || type == -7) return Kind::Time;
    if (type == -2) return Kind::Pair;
    if ((type >= -21 && type <= -18) || (type >= -16 && type <= -9) || (type >= -6 && type <= -3) ||
        type == -1)
        return Kind::Number;
    return std::nullopt;
}

bool isNumericType(SHORT type) {
    return fieldKind(type) == Kind::Number;
}

Num numWidth(SHORT type) {
    switch (type) {
        case -21:
        case -16:
        case -12:
        case -6:
            return Num::Double;
        case -20:
        case -15:
        case -11:
        case -5:
            return Num::Float;
        case -18:
        case -13:
        case -9:
        case -3:
            return Num::Short;
        default:
            return Num::Long;
    }
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool sameName(std::string_view a, std::string_view b) {
    return upper(a) == upper(b);
}

void fileSample(Field& f, const Value& s) {
    auto& h = f.history;
    int64_t at = 0;
    toMicros(s.stamp, &at);
    auto micros = [](const Value& v) {
        int64_t t = 0;
        toMicros(v.stamp, &t);
        return t;
    };
    if (h.empty() || micros(h.back()) < at) {
        h.push_back(s);
        return;
    }
    auto pos = std::lower_bound(h.begin(), h.end(), at,
                                [&](const Value& v, int64_t t) { return micros(v) < t; });
    if (pos != h.end() && micros(*pos) == at) {
        *pos = s;
        ++Model::get().duplicateStamps;
    } else {
        h.insert(pos, s);
    }
}

SHORT fail(KeldrinErrorBlock* err, SHORT code, LONG err1, LONG err2) {
    if (err) {
        err->ERRORCODE = code;
        err->ERR1 = err1;
        err->ERR2 = err2;
    }
    return code;
}

SHORT succeed(KeldrinErrorBlock* err) {
    return fail(err, KELDRIN_OK, 0, 0);
}

void putDouble(void* p, double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    put32(p, static_cast<uint32_t>(u));
    put32(static_cast<char*>(p) + 4, static_cast<uint32_t>(u >> 32));
}
double getDouble(const void* p) {
    uint64_t u = get32(p) | uint64_t(get32(static_cast<const char*>(p) + 4)) << 32;
    double v;
    std::memcpy(&v, &u, 8);
    return v;
}
void putFloat(void* p, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    put32(p, u);
}
float getFloat(const void* p) {
    uint32_t u = get32(p);
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}
void putTime(void* p, const KeldrinTime& t) {
    put32(p, t.Seconds);
    put32(static_cast<char*>(p) + 4, t.Micro);
}
KeldrinTime getTime(const void* p) {
    return KeldrinTime{get32(p), get32(static_cast<const char*>(p) + 4)};
}

namespace {

// The one model, made by the first call. It lives until this library is
// unmapped: its call record outlasts a client's DaShutdown, and calls that
// exit handlers make still find it, since a library's finalizers run after
// every exit handler.
std::atomic<Model*> g_model{nullptr};

__attribute__((destructor)) void freeModel() {
    delete g_model.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace

Model& Model::get() {
    Model* model = g_model.load(std::memory_order_acquire);
    if (model) return *model;
    auto* made = new Model();
    if (g_model.compare_exchange_strong(model, made, std::memory_order_acq_rel)) return *made;
    delete made;  // another thread made it first
    return *model;
}

void Model::reset() {
    std::lock_guard lock(mutex);
    nodes.clear();
    aliases.clear();
    clock.reset();
    dbmapped = 1;
    keldrinInit = 1;
    shutdownCallback = nullptr;
    duplicateStamps = 0;
    failures.clear();
    throws.clear();
    for (auto& table : counts) table.clear();
    for (auto& table : recentCounts)
        for (CountSlot& slot : table) slot = CountSlot{};
}

Node* Model::nodeByName(std::string_view name) {
    for (auto& n : nodes)
        if (sameName(n.name, name)) return &n;
    return nullptr;
}

Node* Model::nodeByIndex(SHORT serverIndex) {
    if (serverIndex <= 0) return nullptr;
    for (auto& n : nodes)
        if (n.serverIndex == serverIndex) return &n;
    return nullptr;
}

Node* Model::localNode() {
    for (auto& n : nodes)
        if (n.local) return &n;
    return nullptr;
}

Node* Model::target(Target t, KeldrinErrorBlock* err) {
    if (t == Target::Local) {
        Node* n = localNode();
        if (!n) fail(err, KELDRIN_E_NOSERVER);
        return n;
    }
    SHORT index = selectedServer();
    if (index <= 0) {
        fail(err, KELDRIN_E_NOTSELECTED);
        return nullptr;
    }
    Node* n = nodeByIndex(index);
    if (!n) fail(err, KELDRIN_E_NOSERVER, index);
    return n;
}

Record* Model::record(Node& n, LONG recordId) {
    LONG id = recordId & kRecordMask;
    if (id <= 0 || static_cast<size_t>(id) > n.records.size()) return nullptr;
    return &n.records[id - 1];
}

Field* Model::field(Node& n, LONG recordId, LONG tag, KeldrinErrorBlock* err) {
    Record* r = record(n, recordId);
    if (!r) {
        fail(err, KELDRIN_E_NORECORD, recordId, tag);
        return nullptr;
    }
    auto it = r->fields.find(tag);
    if (it == r->fields.end()) {
        fail(err, KELDRIN_E_NOFIELD, recordId, tag);
        return nullptr;
    }
    return &it->second;
}

SHORT& selectedServer() {
    thread_local SHORT index = 0;
    return index;
}

std::optional<Model::Injection> enter(LONG library, const char* name) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    const int table = library == KHSIM_API ? 0 : 1;
    // A recent entry point's counter is found by the address of its name;
    // the text is compared all the same, since a library loaded again may
    // put another name at that address.
    Model::CountSlot& slot =
        m.recentCounts[table][(reinterpret_cast<uintptr_t>(name) >> 3) % Model::kRecentCounts];
    if (slot.name == name && slot.entry && slot.entry->first == name) {
        ++slot.entry->second;
    } else {
        auto& counts = m.counts[table];
        auto it = counts.find(std::string_view(name));
        if (it == counts.end()) it = counts.emplace(name, 0).first;
        ++it->second;
        slot = Model::CountSlot{name, &*it};
    }
    if (m.throws.empty() && m.failures.empty()) return std::nullopt;
    auto key = std::make_pair(library, std::string(name));
    if (auto it = m.throws.find(key); it != m.throws.end() && it->second != 0) {
        if (it->second > 0) --it->second;
        throw std::runtime_error(std::string("injected exception in ") + name);
    }
    if (auto it = m.failures.find(key); it != m.failures.end() && it->second.times != 0) {
        Model::Injection inj = it->second;
        if (it->second.times > 0) --it->second.times;
        return inj;
    }
    return std::nullopt;
}

std::atomic<bool>& apiStarted() {
    static std::atomic<bool> started{true};
    return started;
}

std::optional<Model::Injection> enterWithError(LONG library, const char* name) {
    std::optional<Model::Injection> injected = enter(library, name);
    if (!injected && library == KHSIM_API && !apiStarted())
        injected = Model::Injection{KELDRIN_E_NOTSTARTED, 0, 0, 0};
    return injected;
}

namespace {

// A field reports -24 to -1 (-7 a 4-byte time, which clients read as -8)
// or a character width.
bool validFieldType(SHORT type) {
    return type >= -24 && type != 0;
}

Value fromSim(const Field& f, const KhSimValue& v) {
    Value out;
    out.number = v.Number;
    out.special = v.IsSpecial != 0;
    out.specialClass = v.SpecialClass;
    if (v.Text) out.text.assign(v.Text, strnlen(v.Text, f.type > 0 ? f.type : 0));
    out.time = v.Time;
    out.pair[0] = v.Pair[0];
    out.pair[1] = v.Pair[1];
    out.status = v.Status;
    out.level = v.Level;
    out.stamp = v.Stamp.Seconds == KELDRIN_TIME_NONE_WORD ? clockNow() : v.Stamp;
    return out;
}

Field* simField(const char* node, LONG recordId, LONG tag) {
    Model& m = Model::get();
    Node* n = node ? m.nodeByName(node) : nullptr;
    if (!n) return nullptr;
    return m.field(*n, recordId, tag, nullptr);
}

// Folder of the older library: "dlls" beside the folder of this library.
std::string olderLibraryDir() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&KhSim_Reset), &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    return dir + "/../dlls";
}

}  // namespace
}  // namespace kh

using kh::Model;

extern "C" {

void KhSim_Reset(void) {
    Model::get().reset();
    kh::apiStarted() = true;
    kh::selectedServer() = 0;
}

LONG KhSim_ApiStarted(void) {
    return kh::apiStarted() ? 1 : 0;
}

LONG KhSim_AddServer(const char* node, LONG major, LONG minor, LONG isLocal) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!node || !*node || m.nodeByName(node)) return 0;
    if (isLocal && m.localNode()) return 0;
    kh::Node n;
    n.name = node;
    n.major = major;
    n.minor = minor;
    n.local = isLocal != 0;
    m.nodes.push_back(std::move(n));
    return static_cast<LONG>(m.nodes.size());
}

LONG KhSim_AddRecord(const char* node, const char* name, LONG definitionId) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    kh::Node* n = node ? m.nodeByName(node) : nullptr;
    if (!n || !name || !*name) return 0;
    for (auto& r : n->records)
        if (kh::sameName(r.name, name)) return 0;
    if (definitionId != 0 && !m.record(*n, definitionId)) return 0;
    if (n->records.size() >= 0x1FFFFF) return 0;
    kh::Record r;
    r.id = static_cast<LONG>(n->records.size() + 1);
    r.name = name;
    r.definition = definitionId;
    n->records.push_back(std::move(r));
    return n->records.back().id;
}

LONG KhSim_AddField(const char* node, LONG recordId, const char* fieldName, LONG fieldTag,
                    SHORT fieldType, LONG statusFieldTag) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    kh::Node* n = node ? m.nodeByName(node) : nullptr;
    kh::Record* r = n ? m.record(*n, recordId) : nullptr;
    if (!r || !fieldName || !*fieldName || fieldTag == 0 || !kh::validFieldType(fieldType))
        return 0;
    std::string key = kh::upper(fieldName);
    auto it = n->fieldTags.find(key);
    if (it != n->fieldTags.end() && it->second != fieldTag) return 0;
    if (r->fields.count(fieldTag)) return 0;
    n->fieldTags[key] = fieldTag;
    kh::Field f;
    f.name = fieldName;
    f.tag = fieldTag;
    f.type = fieldType;
    f.statusTag = statusFieldTag;
    f.value.stamp = kh::clockNow();
    r->fields[fieldTag] = std::move(f);
    return 1;
}

LONG KhSim_SetValue(const char* node, LONG recordId, LONG fieldTag, const KhSimValue* value) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    kh::Field* f = kh::simField(node, recordId, fieldTag);
    if (!f || !value) return 0;
    f->value = kh::fromSim(*f, *value);
    return 1;
}

LONG KhSim_GetValue(const char* node, LONG recordId, LONG fieldTag, KhSimValue* value, char* text,
                    LONG size) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    kh::Field* f = kh::simField(node, recordId, fieldTag);
    if (!f || !value) return 0;
    const kh::Value& v = f->value;
    *value = KhSimValue{};
    value->Number = v.number;
    value->Time = v.time;
    value->Pair[0] = v.pair[0];
    value->Pair[1] = v.pair[1];
    value->IsSpecial = v.special ? 1 : 0;
    value->SpecialClass = v.specialClass;
    value->Status = v.status;
    value->Level = v.level;
    value->Stamp = v.stamp;
    if (text && size > 0) {
        size_t n = std::min(v.text.size(), static_cast<size_t>(size - 1));
        std::memcpy(text, v.text.data(), n);
        text[n] = '\0';
    }
    return 1;
}

LONG KhSim_ClearValueTime(const char* node, LONG recordId, LONG fieldTag) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    kh::Field* f = kh::simField(node, recordId, fieldTag);
    if (!f) return 0;
    f->value.stamp = KeldrinTime{KELDRIN_TIME_NONE_WORD, KELDRIN_TIME_NONE_WORD};
    return 1;
}

LONG KhSim_AddSample(const char* node, LONG recordId, LONG fieldTag, const KhSimValue* value) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    kh::Field* f = kh::simField(node, recordId, fieldTag);
    if (!f || !value) return 0;
    kh::Value s = kh::fromSim(*f, *value);
    if (!kh::validTime(s.stamp)) return 0;
    kh::fileSample(*f, s);
    return 1;
}

void KhSim_SetClock(const KeldrinTime* now) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (now)
        m.clock = *now;
    else
        m.clock.reset();
}

void KhSim_FailCall(LONG library, const char* name, SHORT code, LONG err1, LONG err2, LONG times) {
    if (!name) return;
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    for (LONG lib : {KHSIM_API, KHSIM_KELDCORE})
        if (library & lib) m.failures[{lib, name}] = Model::Injection{code, err1, err2, times};
}

void KhSim_ThrowInCall(LONG library, const char* name, LONG times) {
    if (!name) return;
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    for (LONG lib : {KHSIM_API, KHSIM_KELDCORE})
        if (library & lib) m.throws[{lib, name}] = times;
}

LONG KhSim_CallCount(LONG library, const char* name) {
    if (!name) return 0;
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    LONG total = 0;
    for (LONG lib : {KHSIM_API, KHSIM_KELDCORE}) {
        if (!(library & lib)) continue;
        const auto& counts = m.counts[lib == KHSIM_API ? 0 : 1];
        if (auto it = counts.find(std::string_view(name)); it != counts.end()) total += it->second;
    }
    return total;
}

LONG KhSim_DuplicateStampCount(void) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    return m.duplicateStamps;
}

void KhSim_SetAttachAnswers(LONG dbmapped, LONG keldrinInit) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    m.dbmapped = dbmapped;
    m.keldrinInit = keldrinInit;
}

LONG KhSim_FireShutdown(LONG reason) {
    void (*callback)(LONG) = nullptr;
    {
        Model& m = Model::get();
        std::lock_guard lock(m.mutex);
        callback = m.shutdownCallback;
    }
    // Called outside the model's lock: the callback may call back into the
    // library (ENDKELD) from another lock of its own.
    if (!callback) return 0;
    callback(reason);
    return 1;
}

LONG KhSim_SetOlderLibraryPresent(LONG present) {
    std::string dir = kh::olderLibraryDir();
    if (dir.empty()) return 0;
    const char* old = std::getenv("MORVA_DLL_PATH");
    std::string rest;
    // Keep every other folder of the path, in order.
    std::string current = old ? old : "";
    size_t start = 0;
    while (start <= current.size()) {
        size_t colon = current.find(':', start);
        std::string part =
            current.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!part.empty() && part != dir) rest += (rest.empty() ? "" : ":") + part;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    std::string value = present ? dir + (rest.empty() ? "" : ":" + rest) : rest;
    if (value.empty()) return unsetenv("MORVA_DLL_PATH") == 0 ? 1 : 0;
    return setenv("MORVA_DLL_PATH", value.c_str(), 1) == 0 ? 1 : 0;
}

}  // extern "C"
