// History reads: raw samples over a span, the newest sample, and samples on
// a regular grid.
#include <cmath>
#include <cstring>

#include "impl.h"

namespace kh {

namespace {

bool historyType(SHORT code) {
    return code == -23 || code == -16 || code == -15 || code == -14 || code == -13 || code == -8 ||
           code == -2 || code == -1;
}

int64_t stampMicros(const Value& v) {
    int64_t m = 0;
    toMicros(v.stamp, &m);
    return m;
}

// Writes one sample element; character descriptors count from `base`.
void putElement(unsigned char* base, unsigned char* at, SHORT code, const Slot& slot,
                const Value& v, const KeldrinTime& stamp) {
    if (slot.descriptor) {
        int width = get16(at + 4);
        if (width > 0) {
            size_t n = std::min(v.text.size(), static_cast<size_t>(width));
            std::memcpy(base + get32(at), v.text.data(), n);
            std::memset(base + get32(at) + n, ' ', static_cast<size_t>(width) - n);
        }
    } else if (code == -8) {
        putTime(at, v.time);
    } else if (code == -2) {
        put32(at, static_cast<uint32_t>(v.pair[0]));
        put32(at + 4, static_cast<uint32_t>(v.pair[1]));
    } else {
        Num w = numWidth(code);
        double x = v.special ? 0.0 : v.number;
        if (w == Num::Double)
            putDouble(at, v.special ? specValue(v.specialClass) : x);
        else if (w == Num::Float)
            putFloat(at, v.special ? specValueSingle(v.specialClass) : static_cast<float>(x));
        else if (w == Num::Long)
            put32(at, static_cast<uint32_t>(static_cast<int32_t>(std::trunc(x))));
        else
            put16(at, static_cast<SHORT>(std::trunc(x)));
    }
    if (slot.status >= 0) put16(at + slot.status, v.status);
    if (slot.level >= 0) put16(at + slot.level, v.level);
    if (slot.xts >= 0) putTime(at + slot.xts, stamp);
}

// The value at grid time t from the last sample at or before t (prev, null
// when there is none), held or interpolated towards the one after it (next,
// may be null). code receives the sample code.
Value valueAt(const Value* prev, const Value* next, int64_t t, bool interpolate, bool numeric,
              SHORT* code) {
    if (!prev) {
        Value none;
        none.special = true;
        none.specialClass = KELDRIN_CLASS_NOVALUE;
        none.status = -2;
        none.level = -1;
        *code = 2;
        return none;
    }
    Value v = *prev;
    int64_t tp = stampMicros(*prev);
    *code = tp == t ? 0 : 1;
    if (tp != t && interpolate && numeric && next && !prev->special && !next->special) {
        int64_t tn = stampMicros(*next);
        double f = static_cast<double>(t - tp) / static_cast<double>(tn - tp);
        v.number = prev->number + (next->number - prev->number) * f;
        if (next->level > prev->level) {
            v.level = next->level;
            v.status = next->status;
        }
    }
    return v;
}

}  // namespace

SHORT readHistory(Target t, const HistoryRequest& r, KeldrinErrorBlock* err) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (!r.begin || !r.fields || !r.types || !r.sampleCodes || !r.times || !r.buffers ||
        !r.buffers[0] || !r.returned || r.maxSamples <= 0 || r.fieldCount != 1 ||
        (r.period && !r.end))
        return fail(err, KELDRIN_E_BADARG);
    Node* n = m.target(t, err);
    if (!n) return codeOf(err, KELDRIN_E_NOSERVER);
    bool grid = r.period != nullptr;
    if (grid && t == Target::Selected && !n->atLeast113()) return fail(err, KELDRIN_E_VERSION);
    Field* f = m.field(*n, r.recordId, r.fields[0], err);
    if (!f) return codeOf(err, KELDRIN_E_NOFIELD);
    if ((r.historyKey | 1) != (r.fields[0] | 1))
        return fail(err, KELDRIN_E_BADARG, r.recordId, r.fields[0]);
    SHORT code = r.types[0];
    auto slot = slotOf(code);
    if (!historyType(code) || !slot || fieldKind(code) != fieldKind(f->type))
        return fail(err, KELDRIN_E_TYPE, r.recordId, r.fields[0]);
    int64_t b = 0, e = 0, p = 0;
    if (!ustToMicros(*r.begin, &b) || (r.end && !ustToMicros(*r.end, &e)) ||
        (grid && !ustToMicros(*r.period, &p)))
        return fail(err, KELDRIN_E_BADTIME, r.recordId, r.fields[0]);

    auto* base = static_cast<unsigned char*>(r.buffers[0]);
    const auto& h = f->history;
    LONG count = 0;
    SHORT more = 0;
    auto emit = [&](const Value& v, int64_t at, SHORT sampleCode) {
        KeldrinTime stamp{};
        fromMicros(at, &stamp);
        putElement(base, base + static_cast<size_t>(count) * slot->size, code, *slot, v, stamp);
        r.times[count] = microsToUst(at);
        r.sampleCodes[count] = sampleCode;
        ++count;
    };

    if (grid) {
        if (r.mode != 2) return fail(err, KELDRIN_E_BADMODE);
        int64_t points = p == 0 ? 1 : (e < b ? 0 : (e - b) / p + 1);
        if (points > r.maxSamples) points = r.maxSamples;
        bool numeric = isNumericType(code) && code != -1;
        // The grid rises, so one walk of the series serves every point.
        size_t after = 0;  // the first sample later than the point
        for (int64_t k = 0; k < points; ++k) {
            int64_t at = b + k * p;
            while (after < h.size() && stampMicros(h[after]) <= at) ++after;
            const Value* prev = after > 0 ? &h[after - 1] : nullptr;
            const Value* next = after < h.size() ? &h[after] : nullptr;
            SHORT sc = 0;
            Value v = valueAt(prev, next, at, r.flag == 0, numeric, &sc);
            emit(v, at, sc);
        }
    } else if (r.mode == 2) {
        if (!r.end) return fail(err, KELDRIN_E_BADARG);
        for (const Value& s : h) {
            int64_t at = stampMicros(s);
            if (at < b || at > e) continue;
            if (count == r.maxSamples) {
                more = 1;
                break;
            }
            emit(s, at, 0);
        }
    } else if (r.mode == 9 || r.mode == 4) {
        const Value* newest = nullptr;
        for (const Value& s : h)
            if (stampMicros(s) <= b) newest = &s;
        if (newest)
            emit(*newest, stampMicros(*newest), 0);
        else
            r.times[0] = KeldrinUst{0, 0};
    } else {
        return fail(err, KELDRIN_E_BADMODE);
    }
    *r.returned = count;
    if (r.more) *r.more = more;
    return succeed(err);
}

}  // namespace kh
