// Record and field look-ups, single-field reads, field names, record
// searches, server version and user context.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "impl.h"

namespace kh {

namespace {

constexpr size_t kShortNameLength = 12;

// The name of `length` characters, trailing blanks dropped; false when the
// text does not hold exactly that many characters or is blank.
bool takeName(const char* name, SHORT length, std::string* out) {
    if (!name || length <= 0) return false;
    if (strnlen(name, static_cast<size_t>(length) + 1) != static_cast<size_t>(length)) return false;
    std::string s(name, static_cast<size_t>(length));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    if (s.empty()) return false;
    *out = std::move(s);
    return true;
}

Record* recordByName(Node& n, std::string_view name) {
    for (auto& r : n.records)
        if (sameName(r.name, name)) return &r;
    return nullptr;
}

LONG fieldTagByName(Node& n, std::string_view name) {
    auto it = n.fieldTags.find(upper(name));
    return it == n.fieldTags.end() ? 0 : it->second;
}

LONG valueSize(SHORT type) {
    if (type >= 1) return type;
    if (type == -2 || type == -8) return 8;
    switch (numWidth(type)) {
        case Num::Double:
            return 8;
        case Num::Short:
            return 2;
        default:
            return 4;
    }
}

}  // namespace

SHORT decodnam(Target t, const char* name, SHORT length, LONG* recordId, KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    std::string key;
    if (!recordId || !takeName(name, length, &key)) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    Record* r = recordByName(*n, key);
    if (!r) return fail(err, KELDRIN_E_NORECORD);
    *recordId = r->id;
    return succeed(err);
}

SHORT decodft(Target t, const char* name, SHORT length, LONG* fieldId, KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    std::string key;
    if (!fieldId || !takeName(name, length, &key)) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    LONG tag = fieldTagByName(*n, key);
    if (!tag) return fail(err, KELDRIN_E_NOFIELD);
    *fieldId = tag;
    return succeed(err);
}

SHORT decodraf(Target t, const char* text, SHORT length, LONG* recordId, LONG* fieldId,
               KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    std::string all;
    if (!recordId || !fieldId || !takeName(text, length, &all)) return fail(err, KELDRIN_E_BADARG);
    size_t blank = all.find(' ');
    size_t start = all.find_first_not_of(' ', blank == std::string::npos ? all.size() : blank);
    if (blank == 0 || start == std::string::npos) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    Record* r = recordByName(*n, all.substr(0, blank));
    if (!r) return fail(err, KELDRIN_E_NORECORD);
    LONG tag = fieldTagByName(*n, all.substr(start));
    if (!tag || !r->fields.count(tag)) return fail(err, KELDRIN_E_NOFIELD, r->id, tag);
    *recordId = r->id;
    *fieldId = tag;
    return succeed(err);
}

SHORT fielddefninfo(Target t, LONG recordId, LONG fieldId, void* info, LONG* size,
                    KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!info) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    Field* f = m.field(*n, recordId, fieldId, err);
    if (!f) return codeOf(err, KELDRIN_E_NOFIELD);
    auto* b = static_cast<unsigned char*>(info);
    std::memset(b, 0, KELDRIN_FIELDINFO_SIZE);
    put32(b + KELDRIN_FI_RECORD, static_cast<uint32_t>(m.record(*n, recordId)->id));
    put32(b + KELDRIN_FI_FIELD, static_cast<uint32_t>(f->tag));
    put32(b + KELDRIN_FI_DEFINITION, static_cast<uint32_t>(m.record(*n, recordId)->definition));
    put32(b + KELDRIN_FI_VALUESIZE, static_cast<uint32_t>(valueSize(f->type)));
    put32(b + KELDRIN_FI_STATUSFIELD, static_cast<uint32_t>(f->statusTag));
    put16(b + KELDRIN_FI_FIELDNUMBER, static_cast<SHORT>(f->tag >> 16));
    put16(b + KELDRIN_FI_FIELDTYPE, f->type);
    if (size) *size = valueSize(f->type);
    return succeed(err);
}

LONG definid(Target t, LONG recordId) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    Node* n = m.target(t, nullptr);
    Record* r = n ? m.record(*n, recordId) : nullptr;
    return r ? r->definition : 0;
}

SHORT readInteger(Target t, LONG recordId, LONG fieldId, int64_t lo, int64_t hi, int64_t* out,
                  KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!out) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    Field* f = m.field(*n, recordId, fieldId, err);
    if (!f) return codeOf(err, KELDRIN_E_NOFIELD);
    if (!isNumericType(f->type)) return fail(err, KELDRIN_E_TYPE, recordId, fieldId);
    double x = f->value.special ? 0.0 : std::trunc(f->value.number);
    if (!(x >= static_cast<double>(lo) && x <= static_cast<double>(hi)))
        return fail(err, KELDRIN_E_RANGE, recordId, fieldId);
    *out = static_cast<int64_t>(x);
    return succeed(err);
}

SHORT rdbascii(Target t, LONG recordId, LONG fieldId, char* text, SHORT size, SHORT* length,
               KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!text || size <= 0) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    Field* f = m.field(*n, recordId, fieldId, err);
    if (!f) return codeOf(err, KELDRIN_E_NOFIELD);
    std::string s;
    if (f->type >= 1) {
        s = f->value.text;
        s.resize(static_cast<size_t>(f->type), ' ');
    } else if (isNumericType(f->type)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", f->value.special ? 0.0 : f->value.number);
        s = buf;
    } else {
        return fail(err, KELDRIN_E_TYPE, recordId, fieldId);
    }
    size_t count = std::min(s.size(), static_cast<size_t>(size));
    std::memcpy(text, s.data(), count);
    if (length) *length = static_cast<SHORT>(count);
    return succeed(err);
}

SHORT fieldName(Target t, LONG recordId, LONG fieldId, char* name, SHORT* length, bool longName) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!name || !length || *length <= 0) {
        if (length) *length = 0;
        return KELDRIN_E_BADARG;
    }
    KeldrinErrorBlock err{};
    Node* n = m.target(t, &err);
    if (n && longName && t == Target::Selected && !n->atLeast113())
        err.ERRORCODE = KELDRIN_E_VERSION;
    Field* f = (n && err.ERRORCODE == 0) ? m.field(*n, recordId, fieldId, &err) : nullptr;
    if (!f) {
        *length = 0;
        return err.ERRORCODE;
    }
    size_t count = f->name.size();
    if (!longName) count = std::min(count, kShortNameLength);
    count = std::min(count, static_cast<size_t>(*length));
    std::memcpy(name, f->name.data(), count);
    *length = static_cast<SHORT>(count);
    return KELDRIN_OK;
}

void recordList(Target t, bool longName, LONG definitionId, const LONG* search, LONG capacity,
                LONG* continuation, LONG* records, LONG* count) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!count) return;
    *count = 0;
    if (!search || !continuation || !records || capacity <= 0 || *continuation < 0) return;
    LONG criteria = search[4];
    if (criteria < 0 || criteria > 8) return;
    Node* n = m.target(t, nullptr);
    if (!n || (longName && t == Target::Selected && !n->atLeast113())) return;
    LONG defn = definitionId & 0x1FFFFF;
    LONG found = 0;
    size_t i = static_cast<size_t>(*continuation);
    for (; i < n->records.size() && found < capacity; ++i) {
        const Record& r = n->records[i];
        if ((r.definition & 0x1FFFFF) != defn) continue;
        bool match = true;
        for (LONG c = 0; c < criteria && match; ++c) {
            const LONG* crit = search + 5 + 4 * c;
            auto it = r.fields.find(crit[0]);
            if (crit[1] != 1 || it == r.fields.end() || !isNumericType(it->second.type) ||
                it->second.value.special) {
                match = false;
                continue;
            }
            auto v = static_cast<int64_t>(it->second.value.number);
            // Record references compare without their server bits.
            if (it->second.type == -1)
                match = (v & 0x1FFFFF) == (crit[3] & 0x1FFFFF);
            else
                match = v == crit[3];
        }
        if (match) records[found++] = r.id;
    }
    *continuation = static_cast<LONG>(i);
    *count = found;
}

SHORT dbversion(Target t, KeldrinErrorBlock* err, LONG* major, LONG* minor, char* text, LONG size) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!major || !minor) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    *major = n->major;
    *minor = n->minor;
    if (text && size > 0)
        std::snprintf(text, static_cast<size_t>(size), "Keldrin %d.%d", static_cast<int>(n->major),
                      static_cast<int>(n->minor));
    return succeed(err);
}

SHORT refreshUserContext(Target t, KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    return succeed(err);
}

}  // namespace kh
