// Value buffers of the batched reads and writes, laid out by type code, and
// the special "no value" values.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "impl.h"

namespace kh {

namespace {

// Special values are quiet NaNs with a payload of their own.
constexpr uint64_t kDoubleSpecial = 0x7FF8000000004B40ull;
constexpr uint32_t kFloatSpecial = 0x7FC04B40u;

int even(int n) {
    return n + (n & 1);
}

struct Prepared {
    Field* field = nullptr;
    Slot slot;
};

// Fits x into the numeric width; false when it is out of range.
bool fits(double x, Num w) {
    switch (w) {
        case Num::Double:
            return true;
        case Num::Float:
            return !std::isfinite(x) || std::fabs(x) <= FLT_MAX;
        case Num::Long:
            return std::trunc(x) >= INT32_MIN && std::trunc(x) <= INT32_MAX;
        case Num::Short:
            return std::trunc(x) >= INT16_MIN && std::trunc(x) <= INT16_MAX;
    }
    return false;
}

void putNumber(unsigned char* p, SHORT code, const Value& v) {
    Num w = numWidth(code);
    if (v.special) {
        if (w == Num::Double)
            putDouble(p, specValue(v.specialClass));
        else if (w == Num::Float)
            putFloat(p, specValueSingle(v.specialClass));
        else if (w == Num::Long)
            put32(p, 0);
        else
            put16(p, 0);
        return;
    }
    switch (w) {
        case Num::Double:
            putDouble(p, v.number);
            break;
        case Num::Float:
            putFloat(p, static_cast<float>(v.number));
            break;
        case Num::Long:
            put32(p, static_cast<uint32_t>(static_cast<int32_t>(std::trunc(v.number))));
            break;
        case Num::Short:
            put16(p, static_cast<SHORT>(std::trunc(v.number)));
            break;
    }
}

// Number in a slot; sets special and its class for NaN payloads.
double getNumber(const unsigned char* p, SHORT code, bool* special, SHORT* cls) {
    *special = false;
    switch (numWidth(code)) {
        case Num::Double: {
            double d = getDouble(p);
            *cls = specClass(d, false);
            *special = *cls != KELDRIN_CLASS_NUMBER;
            return d;
        }
        case Num::Float: {
            float f = getFloat(p);
            *cls = specClass(f, true);
            *special = *cls != KELDRIN_CLASS_NUMBER;
            return f;
        }
        case Num::Long:
            return static_cast<int32_t>(get32(p));
        case Num::Short:
            return get16(p);
    }
    return 0.0;
}

void putText(unsigned char* at, int width, const std::string& text) {
    if (width <= 0) return;
    size_t n = std::min(text.size(), static_cast<size_t>(width));
    std::memcpy(at, text.data(), n);
    std::memset(at + n, ' ', static_cast<size_t>(width) - n);
}

std::string getText(const unsigned char* at, int width, int fieldWidth) {
    std::string s(reinterpret_cast<const char*>(at), static_cast<size_t>(std::max(width, 0)));
    if (auto z = s.find('\0'); z != std::string::npos) s.resize(z);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    if (s.size() > static_cast<size_t>(fieldWidth)) s.resize(static_cast<size_t>(fieldWidth));
    return s;
}

// Resolves every entry and checks that its type suits its field.
SHORT prepare(Node& n, SHORT count, const KeldrinRecField* pairs, const SHORT* types,
              std::vector<Prepared>* out, SHORT* failIndex, KeldrinErrorBlock* err) {
    Model& m = Model::get();
    out->resize(static_cast<size_t>(count));
    for (SHORT i = 0; i < count; ++i) {
        auto bad = [&](SHORT code) {
            if (failIndex) *failIndex = i;
            return fail(err, code, pairs[i].RecordId, pairs[i].FieldId);
        };
        Field* f = m.field(n, pairs[i].RecordId, pairs[i].FieldId, nullptr);
        if (!f) return bad(m.record(n, pairs[i].RecordId) ? KELDRIN_E_NOFIELD : KELDRIN_E_NORECORD);
        auto slot = slotOf(types[i]);
        if (!slot || fieldKind(types[i]) != fieldKind(f->type)) return bad(KELDRIN_E_TYPE);
        (*out)[static_cast<size_t>(i)] = Prepared{f, *slot};
    }
    return KELDRIN_OK;
}

}  // namespace

std::optional<Slot> slotOf(SHORT code) {
    Slot s;
    if (code >= 1) {
        s.size = even(code);
        s.align4 = false;
        return s;
    }
    switch (code) {
        case -24:
        case -23:
        case -22:
            s.size = code == -22 ? 12 : 20;
            s.descriptor = true;
            s.status = 8;
            s.level = 10;
            (code == -24 ? s.xust : s.xts) = code == -22 ? -1 : 12;
            return s;
        case -21:
        case -16:
        case -12:
            s.size = code == -12 ? 16 : 24;
            s.status = 8;
            s.level = 10;
            if (code == -21) s.xust = 12;
            if (code == -16) s.xts = 12;
            return s;
        case -20:
        case -19:
        case -15:
        case -14:
        case -11:
        case -10:
            s.size = code <= -14 ? 16 : 8;
            s.status = 4;
            s.level = 6;
            if (code >= -20 && code <= -19) s.xust = 8;
            if (code == -15 || code == -14) s.xts = 8;
            return s;
        case -18:
        case -13:
        case -9:
            s.size = code == -9 ? 6 : 16;
            s.align4 = code != -9;
            s.status = 2;
            s.level = 4;
            if (code == -18) s.xust = 8;
            if (code == -13) s.xts = 8;
            return s;
        case -17:
        case -8:
        case -6:
        case -2:
            s.size = 8;
            return s;
        case -7:
        case -5:
        case -4:
        case -1:
            s.size = 4;
            return s;
        case -3:
            s.size = 2;
            s.align4 = false;
            return s;
        default:
            return std::nullopt;
    }
}

std::vector<int> slotPositions(SHORT count, const SHORT* types) {
    std::vector<int> positions;
    int cursor = 0;
    for (SHORT i = 0; i < count; ++i) {
        auto s = slotOf(types[i]);
        if (!s) return {};
        if (s->align4) cursor = (cursor + 2) & ~2;
        positions.push_back(cursor);
        cursor += s->size;
    }
    return positions;
}

SHORT specClass(double v, bool single) {
    if (std::isfinite(v)) return KELDRIN_CLASS_NUMBER;
    if (single) {
        float f = static_cast<float>(v);
        uint32_t u;
        std::memcpy(&u, &f, 4);
        if (u >= kFloatSpecial && u <= kFloatSpecial + 2)
            return static_cast<SHORT>(u - kFloatSpecial);
        return KELDRIN_CLASS_BAD;
    }
    uint64_t u;
    std::memcpy(&u, &v, 8);
    if (u >= kDoubleSpecial && u <= kDoubleSpecial + 2)
        return static_cast<SHORT>(u - kDoubleSpecial);
    return KELDRIN_CLASS_BAD;
}

double specValue(SHORT cls) {
    if (cls < 0 || cls > 2) cls = KELDRIN_CLASS_BAD;
    uint64_t u = kDoubleSpecial + static_cast<uint64_t>(cls);
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}

float specValueSingle(SHORT cls) {
    if (cls < 0 || cls > 2) cls = KELDRIN_CLASS_BAD;
    uint32_t u = kFloatSpecial + static_cast<uint32_t>(cls);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

SHORT readValues(Target t, SHORT count, const KeldrinRecField* pairs, const SHORT* types,
                 void* buffer, SHORT* failIndex, KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (count <= 0 || !pairs || !types || !buffer) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    std::vector<Prepared> prepared;
    if (SHORT rc = prepare(*n, count, pairs, types, &prepared, failIndex, err)) return rc;
    // Numbers that do not fit the requested width fail the batch before
    // anything is written.
    for (SHORT i = 0; i < count; ++i) {
        const Value& v = prepared[static_cast<size_t>(i)].field->value;
        if (isNumericType(types[i]) && !v.special && !fits(v.number, numWidth(types[i]))) {
            if (failIndex) *failIndex = i;
            return fail(err, KELDRIN_E_RANGE, pairs[i].RecordId, pairs[i].FieldId);
        }
    }
    auto* base = static_cast<unsigned char*>(buffer);
    std::vector<int> pos = slotPositions(count, types);
    for (SHORT i = 0; i < count; ++i) {
        const Prepared& p = prepared[static_cast<size_t>(i)];
        const Value& v = p.field->value;
        unsigned char* at = base + pos[static_cast<size_t>(i)];
        SHORT code = types[i];
        if (p.slot.descriptor) {
            putText(base + get32(at), get16(at + 4), v.text);
        } else if (code >= 1) {
            putText(at, p.slot.size, v.text);
        } else if (code == -8) {
            putTime(at, v.time);
        } else if (code == -7) {
            put32(at, v.time.Seconds);
        } else if (code == -17) {
            KeldrinUst u{};
            xts2xust(&v.time, &u);
            put32(at, u.Seconds);
            put32(at + 4, static_cast<uint32_t>(u.Micro));
        } else if (code == -2) {
            put32(at, static_cast<uint32_t>(v.pair[0]));
            put32(at + 4, static_cast<uint32_t>(v.pair[1]));
        } else {
            putNumber(at, code, v);
        }
        if (p.slot.status >= 0) put16(at + p.slot.status, v.status);
        if (p.slot.level >= 0) put16(at + p.slot.level, v.level);
        if (p.slot.xts >= 0) putTime(at + p.slot.xts, v.stamp);
        if (p.slot.xust >= 0) {
            KeldrinUst u{};
            xts2xust(&v.stamp, &u);
            put32(at + p.slot.xust, u.Seconds);
            put32(at + p.slot.xust + 4, static_cast<uint32_t>(u.Micro));
        }
    }
    return succeed(err);
}

SHORT writeValues(Target t, SHORT count, const KeldrinRecField* pairs, const SHORT* types,
                  const void* buffer, SHORT* failIndex, KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (count <= 0 || !pairs || !types || !buffer) return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    std::vector<Prepared> prepared;
    if (SHORT rc = prepare(*n, count, pairs, types, &prepared, failIndex, err)) return rc;
    const auto* base = static_cast<const unsigned char*>(buffer);
    std::vector<int> pos = slotPositions(count, types);
    std::vector<Value> values(static_cast<size_t>(count));
    KeldrinTime now = clockNow();
    // Every value is parsed and checked first, so that a bad one writes nothing.
    for (SHORT i = 0; i < count; ++i) {
        const Prepared& p = prepared[static_cast<size_t>(i)];
        const unsigned char* at = base + pos[static_cast<size_t>(i)];
        SHORT code = types[i];
        Value v = p.field->value;
        SHORT bad = KELDRIN_OK;
        if (p.slot.descriptor) {
            v.text = getText(base + get32(at), get16(at + 4), p.field->type);
        } else if (code >= 1) {
            v.text = getText(at, p.slot.size, p.field->type);
        } else if (code == -8 || code == -7 || code == -17) {
            KeldrinTime tm = getTime(at);
            if (code == -7) tm = KeldrinTime{get32(at), 0};
            if (code == -17) {
                KeldrinUst u{get32(at), static_cast<LONG>(get32(at + 4))};
                if (xust2xts(&u, &tm) != KELDRIN_OK) bad = KELDRIN_E_BADTIME;
            }
            bool none = tm.Seconds == KELDRIN_TIME_NONE_WORD && tm.Micro == KELDRIN_TIME_NONE_WORD;
            if (!validTime(tm) && !none) bad = KELDRIN_E_BADTIME;
            v.time = tm;
        } else if (code == -2) {
            v.pair[0] = static_cast<LONG>(get32(at));
            v.pair[1] = static_cast<LONG>(get32(at + 4));
        } else {
            double x = getNumber(at, code, &v.special, &v.specialClass);
            if (!v.special) {
                Num w = numWidth(p.field->type);
                if (!std::isfinite(x) || !fits(x, w)) bad = KELDRIN_E_RANGE;
                if (w == Num::Float) x = static_cast<float>(x);
                if (w == Num::Long || w == Num::Short) x = std::trunc(x);
                v.number = x;
            }
        }
        if (p.slot.status >= 0) v.status = get16(at + p.slot.status);
        if (p.slot.level >= 0) v.level = get16(at + p.slot.level);
        v.stamp = now;
        if (p.slot.xts >= 0) v.stamp = getTime(at + p.slot.xts);
        if (p.slot.xust >= 0) {
            KeldrinUst u{get32(at + p.slot.xust), static_cast<LONG>(get32(at + p.slot.xust + 4))};
            if (xust2xts(&u, &v.stamp) != KELDRIN_OK) bad = KELDRIN_E_BADTIME;
        }
        if (!validTime(v.stamp)) bad = KELDRIN_E_BADTIME;
        if (bad != KELDRIN_OK) {
            if (failIndex) *failIndex = i;
            return fail(err, bad, pairs[i].RecordId, pairs[i].FieldId);
        }
        values[static_cast<size_t>(i)] = std::move(v);
    }
    // A value written with its time is also filed as a history sample of its
    // field at that time.
    for (SHORT i = 0; i < count; ++i) {
        Prepared& p = prepared[static_cast<size_t>(i)];
        if (p.slot.xts >= 0 || p.slot.xust >= 0)
            fileSample(*p.field, values[static_cast<size_t>(i)]);
        p.field->value = std::move(values[static_cast<size_t>(i)]);
    }
    return succeed(err);
}

}  // namespace kh
