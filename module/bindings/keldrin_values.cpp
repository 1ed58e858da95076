// Historian values, times and errors as the bindings move them.
#include "bindings/keldrin_values.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <type_traits>
#include <vector>

#include "calculation/calculation.h"
#include "environment/calc_environment.h"
#include "frame/keldrin_client.h"
#include "frame/owned_string.h"
#include "frame/time_conversions.h"
#include "sources/keldrin_servers.h"

namespace {

LONG Even(LONG n) {
    return n + (n & 1);
}

// Little-endian fields of the batch buffer.
SHORT Get16(const BYTE* p) {
    return static_cast<SHORT>(p[0] | (p[1] << 8));
}
uint32_t Get32(const BYTE* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void Put16(BYTE* p, SHORT v) {
    p[0] = static_cast<BYTE>(v & 0xFF);
    p[1] = static_cast<BYTE>((v >> 8) & 0xFF);
}
void Put32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
float GetFloat(const BYTE* p) {
    uint32_t u = Get32(p);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}
double GetDouble(const BYTE* p) {
    uint64_t u = Get32(p) | (uint64_t{Get32(p + 4)} << 32);
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}
void PutFloat(BYTE* p, float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    Put32(p, u);
}
void PutDouble(BYTE* p, double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    Put32(p, static_cast<uint32_t>(u));
    Put32(p + 4, static_cast<uint32_t>(u >> 32));
}
KeldrinTime GetTime(const BYTE* p) {
    return KeldrinTime{Get32(p), Get32(p + 4)};
}
void PutTime(BYTE* p, const KeldrinTime& t) {
    Put32(p, t.Seconds);
    Put32(p + 4, t.Micro);
}
KeldrinUst GetUst(const BYTE* p) {
    return KeldrinUst{Get32(p), static_cast<LONG>(Get32(p + 4))};
}
void PutUst(BYTE* p, const KeldrinUst& u) {
    Put32(p, u.Seconds);
    Put32(p + 4, static_cast<uint32_t>(u.Micro));
}

// A double truncated toward zero into an integer type; NaN gives 0 and a
// value outside the type its nearest limit.
template <class T>
T Truncated(double x) {
    if (std::isnan(x)) return 0;
    if (x <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (x >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(std::trunc(x));
}

// A double into a float; outside the float range it saturates to infinity.
float Narrowed(double x) {
    if (std::isfinite(x) && std::fabs(x) > std::numeric_limits<float>::max())
        return x > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
    return static_cast<float>(x);
}

// What a slot of a type code holds: offsets of status, level and the XTS or
// XUST time (-1: none) and its size.
struct SlotShape {
    LONG size = 0;
    int status = -1, level = -1, xts = -1, xust = -1;
    bool descriptor = false;
};

constexpr SlotShape ComputeShape(SHORT t) {
    SlotShape s;
    switch (t) {
        case -24:
        case -23:
        case -22:
            s = {t == -22 ? 12 : 20, 8, 10, t == -23 ? 12 : -1, t == -24 ? 12 : -1, true};
            break;
        case -21:
        case -16:
        case -12:
            s = {t == -12 ? 16 : 24, 8, 10, t == -16 ? 12 : -1, t == -21 ? 12 : -1};
            break;
        case -20:
        case -19:
        case -15:
        case -14:
        case -11:
        case -10:
            s = {t >= -11 ? 8 : 16, 4, 6, (t == -15 || t == -14) ? 8 : -1,
                 (t == -20 || t == -19) ? 8 : -1};
            break;
        case -18:
        case -13:
        case -9:
            s = {t == -9 ? 6 : 16, 2, 4, t == -13 ? 8 : -1, t == -18 ? 8 : -1};
            break;
        case -17:
        case -8:
        case -6:
        case -2:
            s.size = 8;
            break;
        case -7:
        case -5:
        case -4:
        case -1:
            s.size = 4;
            break;
        case -3:
            s.size = 2;
            break;
        default:
            break;
    }
    return s;
}

// The shapes of the codes from 0 down to -24, looked up once per value.
constexpr auto kShapes = [] {
    std::array<SlotShape, 25> shapes{};
    for (SHORT t = 0; t >= -24; --t) shapes[static_cast<std::size_t>(-t)] = ComputeShape(t);
    return shapes;
}();

SlotShape ShapeOf(SHORT t) {
    return t <= 0 && t >= -24 ? kShapes[static_cast<std::size_t>(-t)] : SlotShape{};
}

enum class Num { None, Double, Float, Long, Short };

Num NumberOf(SHORT t) {
    switch (t) {
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
        case -19:
        case -14:
        case -10:
        case -4:
            return Num::Long;
        case -18:
        case -13:
        case -9:
        case -3:
            return Num::Short;
        default:
            return Num::None;
    }
}

// Slots start on a multiple of 4, except the 16-bit codes -9 and -3 and
// character fields, which need only an even position.
LONG AlignKeldrinValueSlot(LONG position, SHORT type) {
    if (type == -9 || type == -3 || type >= 0) return position;
    return (position + 2) & ~LONG{2};
}

LONG UseQtFormat(IMvParameter* parameter) {
    LONG qt = 0;
    if (parameter) parameter->get_Use_QT_Format(&qt);
    return qt;
}

// An empty VARIANT of the type, its value to be set.
VARIANT OfType(VARTYPE vt) {
    VARIANT v{};
    v.vt = vt;
    return v;
}

}  // namespace

// ---- times -----------------------------------------------------------------

VARIANT KeldrinTimeToVariant(bool local, const KeldrinTime& time, LONG useQtFormat,
                             bool* converted) {
    VARIANT v = OfType(VT_DATE);
    v.date = 0.0;
    bool ok = true;
    if (useQtFormat != 1) {
        ok = KeldrinTimeToDate(local ? 1 : 0, &time, &v.date);
    } else if (!HistorianTimeToDate(local ? 1 : 0, &time, &v.date, true)) {
        v.vt = VT_EMPTY;  // a time the microsecond form cannot convert
        ok = false;
    }
    if (converted && !ok) *converted = false;
    return v;
}

HRESULT VariantToKeldrinTime(bool local, KeldrinTime* time, const VARIANT& value,
                             const DATE* fallback, LONG useQtFormat) {
    *time = KeldrinTime{0, 0};
    auto convert = [&](DATE date) {
        if (useQtFormat == 1)
            DateToHistorianTime(local ? 1 : 0, date, time, true);
        else
            DateToKeldrinTime(local ? 1 : 0, date, time);
    };
    if (value.vt != VT_EMPTY) {
        mv::Variant date;
        HRESULT hr = VariantChangeTypeEx(&date, &value, LOCALE_USER_DEFAULT, 0, VT_DATE);
        if (SUCCEEDED(hr)) convert(date.date);
        return hr;
    }
    if (fallback) convert(*fallback);
    return S_OK;
}

// ---- values to VARIANTs ----------------------------------------------------

VARIANT KeldrinCharsToVariant(const char* chars, LONG length) {
    std::string text(chars && length > 0 ? std::string(chars, static_cast<size_t>(length))
                                         : std::string());
    if (auto z = text.find('\0'); z != std::string::npos) text.resize(z);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    VARIANT v = OfType(VT_BSTR);
    v.bstrVal = mv::Bstr(std::string_view(text)).Detach();
    return v;
}

VARIANT ShortToVariant(SHORT value) {
    VARIANT v = OfType(VT_I2);
    v.iVal = value;
    return v;
}

VARIANT LongToVariant(LONG value) {
    VARIANT v = OfType(VT_I4);
    v.lVal = value;
    return v;
}

VARIANT RecordValueToVariant(float value) {
    VARIANT v = OfType(RSPECTYP(value) == KELDRIN_CLASS_NUMBER ? VT_R4 : VT_EMPTY);
    v.fltVal = v.vt == VT_R4 ? value : 0.0f;
    return v;
}

VARIANT DataValueToVariant(double value) {
    VARIANT v = OfType(DSPECTYP(value) == KELDRIN_CLASS_NUMBER ? VT_R8 : VT_EMPTY);
    v.dblVal = v.vt == VT_R8 ? value : 0.0;
    return v;
}

VARIANT KeldrinBufferToVariant(LONG first, LONG second) {
    VARIANT v;
    VariantInit(&v);
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    if (!array) return v;
    LONG values[2] = {first, second};
    for (LONG i = 0; i < 2; ++i) {
        mv::Variant element(values[i]);
        SafeArrayPutElement(array, &i, &element);
    }
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = array;
    return v;
}

// ---- VARIANTs to values ----------------------------------------------------

HRESULT VariantToPaddedChars(char* destination, LONG width, const VARIANT& value) {
    if (!destination || width <= 0) return S_OK;
    std::memset(destination, ' ', static_cast<size_t>(width));
    if (value.vt == VT_EMPTY) return S_OK;
    mv::Variant text;
    HRESULT hr = VariantChangeTypeEx(&text, &value, LOCALE_USER_DEFAULT, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    std::string narrow = mv::ToUtf8(text.bstrVal);
    size_t n = std::min(narrow.size(), static_cast<size_t>(width));
    // A character that does not fit whole is left out: its place stays blank.
    if (n < narrow.size())
        while (n > 0 && (static_cast<unsigned char>(narrow[n]) & 0xC0) == 0x80) --n;
    std::memcpy(destination, narrow.data(), n);
    return S_OK;
}

namespace {

template <class T, VARTYPE Vt>
HRESULT VariantToInteger(T* destination, const BindingDefinition& d, T VARIANT::*member) {
    *destination = 0;
    HRESULT hr = S_OK;
    if (d.Value.vt != VT_EMPTY) {
        mv::Variant changed;
        hr = VariantChangeTypeEx(&changed, &d.Value, LOCALE_USER_DEFAULT, 0, Vt);
        if (SUCCEEDED(hr)) *destination = changed.*member;
    }
    // An empty value is written as the offset.
    if (d.UnitConversionMultiplier != 0.0)
        *destination =
            Truncated<T>(*destination * d.UnitConversionMultiplier + d.UnitConversionOffset);
    return hr;
}

}  // namespace

HRESULT VariantToShort(SHORT* destination, const BindingDefinition& d) {
    return VariantToInteger<SHORT, VT_I2>(destination, d, &VARIANT::iVal);
}

HRESULT VariantToLong(LONG* destination, const BindingDefinition& d) {
    return VariantToInteger<LONG, VT_I4>(destination, d, &VARIANT::lVal);
}

namespace {

// A number with the definition's unit conversion; an empty value is the
// client's "no value" special value.
template <class T, VARTYPE Vt>
HRESULT VariantToReal(T* destination, const BindingDefinition& d, T VARIANT::*member, T noValue) {
    *destination = 0;
    if (d.Value.vt == VT_EMPTY) {
        *destination = noValue;
        return S_OK;
    }
    mv::Variant changed;
    HRESULT hr = VariantChangeTypeEx(&changed, &d.Value, LOCALE_USER_DEFAULT, 0, Vt);
    if (FAILED(hr)) return hr;
    *destination = changed.*member;
    if (d.UnitConversionMultiplier != 0.0) {
        double x = changed.*member * d.UnitConversionMultiplier + d.UnitConversionOffset;
        if constexpr (std::is_same_v<T, float>)
            *destination = Narrowed(x);
        else
            *destination = x;
    }
    return S_OK;
}

}  // namespace

HRESULT VariantToFloat(float* destination, const BindingDefinition& d) {
    return VariantToReal<float, VT_R4>(destination, d, &VARIANT::fltVal,
                                       RSPECGET(KELDRIN_CLASS_NOVALUE));
}

HRESULT VariantToDouble(double* destination, const BindingDefinition& d) {
    return VariantToReal<double, VT_R8>(destination, d, &VARIANT::dblVal,
                                        DSPECGET(KELDRIN_CLASS_NOVALUE));
}

HRESULT VariantToKeldrinPair(const VARIANT& value, LONG* first, LONG* second) {
    const VARIANT* v = &value;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    if (!(v->vt & VT_ARRAY)) return S_FALSE;
    SAFEARRAY* array = (v->vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    const auto element = static_cast<VARTYPE>(v->vt & VT_TYPEMASK);
    LONG lower = 0, upper = -1;
    if (!array || (element != VT_VARIANT && element != VT_I4) || SafeArrayGetDim(array) != 1 ||
        FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper - lower != 1)
        return S_FALSE;
    LONG out[2] = {};
    for (LONG i = 0; i < 2; ++i) {
        LONG index = lower + i;
        if (element == VT_I4) {
            if (FAILED(SafeArrayGetElement(array, &index, &out[i]))) return S_FALSE;
            continue;
        }
        mv::Variant item, changed;
        HRESULT hr = SafeArrayGetElement(array, &index, &item);
        if (SUCCEEDED(hr)) hr = VariantChangeTypeEx(&changed, &item, LOCALE_USER_DEFAULT, 0, VT_I4);
        if (hr == E_OUTOFMEMORY) return hr;
        if (FAILED(hr)) return S_FALSE;
        out[i] = changed.lVal;
    }
    *first = out[0];
    *second = out[1];
    return S_OK;
}

// ---- errors ----------------------------------------------------------------

std::string KeldrinFieldName(const KeldrinRecField& pair, bool local) {
    // The name is cut to the buffer: the server reports at most its length.
    char name[256] = {};
    SHORT length = static_cast<SHORT>(sizeof name - 1);
    if (local) {
        L_GETNMFDB_LNAME(pair.RecordId, pair.FieldId, name, &length);
    } else {
        LONG major = 0, minor = 0;
        GetKeldrinDbVersion(false, &major, &minor);
        if (KeldrinVersionHasLongNames(major, minor))
            GETNMFDB_LNAME(pair.RecordId, pair.FieldId, name, &length);
        else
            GETNMFDB(pair.RecordId, pair.FieldId, name, &length);
    }
    if (length < 0) length = 0;
    if (length > static_cast<SHORT>(sizeof name - 1)) length = static_cast<SHORT>(sizeof name - 1);
    TrimTrailingBlanks(name, static_cast<size_t>(length));
    return name;
}

void FormatKeldrinError(CMvCalculation& calc, const KeldrinErrorBlock& err, SHORT count,
                        const KeldrinRecField* pairs, SHORT failIndex, const char* operation,
                        bool local, bool append) {
    std::string text = "Error ";
    text += operation;
    text += local ? " local Keldrin field" : " Keldrin field";
    if (pairs && failIndex >= 0 && failIndex < count) {
        text += " \"";
        text += KeldrinFieldName(pairs[failIndex], local);
        text += '"';
    }
    text += ':';
    text += KeldrinErrorMessage(&err, local);
    if (append)
        calc.AddError(text);
    else
        calc.SetError(text);
}

// ---- the batch buffer --------------------------------------------------------

LONG KeldrinSlotSize(SHORT type) {
    if (type == -24 || type == -17) return 0;
    return ShapeOf(type).size;
}

BYTE* LayoutKeldrinValueBuffer(SHORT count, SHORT* types, void** values, bool timeForm) {
    if (count <= 0 || !types || !values) return nullptr;
    // Sizes on the stack for a batch under 500 values.
    LONG small[500];
    std::vector<LONG> large;
    LONG* sizes = small;
    if (count >= 500) {
        large.resize(static_cast<size_t>(count));
        sizes = large.data();
    }
    int64_t slotBytes = 0, stringBytes = 0;
    for (SHORT k = 0; k < count; ++k) {
        SHORT& t = types[k];
        if (t < -16) return nullptr;
        if (timeForm && t >= -12 && t <= -9) t = static_cast<SHORT>(t - 9);
        if (t >= 0) {
            stringBytes += Even(t);
            sizes[k] = timeForm ? 20 : 12;
        } else {
            sizes[k] = ShapeOf(t).size;
        }
        slotBytes += sizes[k];
    }
    int64_t total = stringBytes + 2 * slotBytes;
    if (total > std::numeric_limits<LONG>::max()) return nullptr;
    BYTE* buffer = nullptr;
    try {
        buffer = GetTlsExecutionBuffer(static_cast<LONG>(total));
    } catch (...) {
        return nullptr;
    }
    if (!buffer) return nullptr;
    LONG cursor = 0;
    auto strings = static_cast<LONG>(2 * slotBytes);
    for (SHORT k = 0; k < count; ++k) {
        SHORT& t = types[k];
        if (t >= 1) {
            LONG length = Even(t);
            t = timeForm ? -23 : -22;
            cursor = AlignKeldrinValueSlot(cursor, t);
            Put32(buffer + cursor, static_cast<uint32_t>(strings));
            // The widest field, 32,767 characters, made even no longer fits
            // the 16-bit length: it is given as it is.
            Put16(buffer + cursor + 4, static_cast<SHORT>(std::min(length, LONG{0x7FFF})));
            strings += length;
        } else {
            cursor = AlignKeldrinValueSlot(cursor, t);
        }
        values[k] = buffer + cursor;
        cursor += sizes[k];
    }
    return buffer;
}

namespace {

uint64_t Get64(const BYTE* p) {
    return Get32(p) | (uint64_t{Get32(p + 4)} << 32);
}

uint64_t TimeBits(const KeldrinTime& t) {
    return (uint64_t{t.Micro} << 32) | t.Seconds;
}

// Replaces the target's value by v, which the target takes over. A value of
// a type up to VT_DATE owns nothing to free.
void Adopt(VARIANT& target, const VARIANT& v) {
    if (target.vt > VT_DATE) VariantClear(&target);
    target = v;
}

// The time stamp of the time at `p` (the microsecond form when `universal`),
// with that time in the historian form in *time: from the definition's last
// stamp when that was made of the same bytes the same way, else converted
// and kept for the next read.
VARIANT StampOf(BindingDefinition& d, const BYTE* p, bool universal, bool local, LONG qt,
                KeldrinTime* time) {
    StampMemo& memo = d.Stamp;
    const uint64_t read = Get64(p);
    // The local form converts through the process's time zone, which a
    // tzset may have changed since.
    const char* const zone[2] = {tzname[0], tzname[1]};
    const long offset = timezone;
    if (memo.Kept && memo.Read == read && memo.Universal == universal && memo.Local == local &&
        memo.UseQtFormat == qt && memo.ZoneNames[0] == zone[0] && memo.ZoneNames[1] == zone[1] &&
        memo.ZoneOffset == offset) {
        *time = KeldrinTime{static_cast<ULONG>(memo.Time), static_cast<ULONG>(memo.Time >> 32)};
        VARIANT v = OfType(memo.Vt);
        v.date = memo.Date;
        return v;
    }
    bool converted = true;
    if (universal) {
        KeldrinUst u = GetUst(p);
        converted = L_XUST2XTS(&u, time) == KELDRIN_OK;
    } else {
        *time = GetTime(p);
    }
    VARIANT v = KeldrinTimeToVariant(local, *time, qt, &converted);
    memo = StampMemo{};
    if (converted)
        memo = StampMemo{.Kept = true,
                         .Universal = universal,
                         .Local = local,
                         .UseQtFormat = qt,
                         .ZoneNames = {zone[0], zone[1]},
                         .ZoneOffset = offset,
                         .Read = read,
                         .Time = TimeBits(*time),
                         .Vt = v.vt,
                         .Date = v.date};
    return v;
}

}  // namespace

void StoreKeldrinValue(BindingDefinition& d, SHORT t, const BYTE* p, const BYTE* buffer,
                       LONG bufferSize) {
    SHORT level = -1, status = -2;
    VARIANT value{};
    const bool local = d.IsLocal == 1;
    const LONG qt = UseQtFormat(d.Parameter);
    const SlotShape shape = ShapeOf(t);
    const Num num = NumberOf(t);
    if (shape.descriptor) {
        LONG offset = static_cast<LONG>(Get32(p));
        LONG length = Get16(p + 4);
        if (buffer && offset >= 0 && length > 0 && offset <= bufferSize - length)
            value = KeldrinCharsToVariant(reinterpret_cast<const char*>(buffer + offset), length);
        else
            value = KeldrinCharsToVariant(nullptr, 0);
    } else if (num != Num::None) {
        const double m = d.UnitConversionMultiplier, o = d.UnitConversionOffset;
        switch (num) {
            case Num::Double: {
                double x = GetDouble(p);
                // The historian's special values stay empty: only a number
                // is converted.
                if (m != 0.0 && DSPECTYP(x) == KELDRIN_CLASS_NUMBER) x = (x - o) / m;
                value = DataValueToVariant(x);
                break;
            }
            case Num::Float: {
                float x = GetFloat(p);
                if (m != 0.0 && RSPECTYP(x) == KELDRIN_CLASS_NUMBER) x = Narrowed((x - o) / m);
                value = RecordValueToVariant(x);
                break;
            }
            case Num::Long: {
                auto x = static_cast<LONG>(Get32(p));
                if (m != 0.0) x = Truncated<LONG>((x - o) / m);
                value = LongToVariant(x);
                break;
            }
            default: {
                SHORT x = Get16(p);
                if (m != 0.0) x = Truncated<SHORT>((x - o) / m);
                value = ShortToVariant(x);
                break;
            }
        }
    } else if (t == -17) {
        KeldrinUst u = GetUst(p);
        KeldrinTime x = kNoKeldrinTime;
        L_XUST2XTS(&u, &x);
        value = KeldrinTimeToVariant(local, x, qt);
    } else if (t == -8) {
        value = KeldrinTimeToVariant(local, GetTime(p), qt);
    } else if (t == -2) {
        value =
            KeldrinBufferToVariant(static_cast<LONG>(Get32(p)), static_cast<LONG>(Get32(p + 4)));
    } else if (t == -1) {
        value = LongToVariant(static_cast<LONG>(Get32(p)));
    } else if (d.FieldType >= 1) {
        value = KeldrinCharsToVariant(reinterpret_cast<const char*>(p), Even(d.FieldType));
    }
    if (shape.status >= 0) status = Get16(p + shape.status);
    if (shape.level >= 0) level = Get16(p + shape.level);

    KeldrinTime time = kNoKeldrinTime;
    const bool saved = shape.xts >= 0 || shape.xust >= 0;
    const VARIANT stamp = shape.xts >= 0    ? StampOf(d, p + shape.xts, false, local, qt, &time)
                          : shape.xust >= 0 ? StampOf(d, p + shape.xust, true, local, qt, &time)
                                            : DataValueToVariant(CMvCalculation::CurrentDateTime());
    Adopt(d.Value, value);
    d.Level = level;
    d.Status = status;
    Adopt(d.TimeStamp, stamp);
    if (saved) d.Time = TimeBits(time);
}

HRESULT PutKeldrinValue(const BindingDefinition& d, SHORT t, BYTE* p, BYTE* buffer,
                        const KeldrinUst* storeTime) {
    // A value that does not convert is put as what the conversion left;
    // running out of memory is no such value.
    HRESULT outOfMemory = S_OK;
    auto put = [&](HRESULT hr) {
        if (hr == E_OUTOFMEMORY) outOfMemory = hr;
    };
    const bool local = d.IsLocal == 1;
    const LONG qt = UseQtFormat(d.Parameter);
    const SlotShape shape = ShapeOf(t);
    if (shape.descriptor && t != -24) {
        LONG offset = static_cast<LONG>(Get32(p));
        LONG length = Get16(p + 4);
        if (buffer && offset >= 0 && length > 0)
            put(VariantToPaddedChars(reinterpret_cast<char*>(buffer + offset), length, d.Value));
    } else if (NumberOf(t) == Num::Double) {
        double x = 0.0;
        put(VariantToDouble(&x, d));
        PutDouble(p, x);
    } else if (NumberOf(t) == Num::Float) {
        float x = 0.0f;
        put(VariantToFloat(&x, d));
        PutFloat(p, x);
    } else if (NumberOf(t) == Num::Long || t == -1) {
        LONG x = 0;
        put(VariantToLong(&x, d));
        Put32(p, static_cast<uint32_t>(x));
    } else if (NumberOf(t) == Num::Short) {
        SHORT x = 0;
        put(VariantToShort(&x, d));
        Put16(p, x);
    } else if (t == -8) {
        KeldrinTime x{};
        put(VariantToKeldrinTime(local, &x, d.Value, nullptr, qt));
        PutTime(p, x);
    } else if (t == -2) {
        // Only a pair reaches a batch; the writer leaves out anything else.
        LONG first = 0, second = 0;
        put(VariantToKeldrinPair(d.Value, &first, &second));
        Put32(p, static_cast<uint32_t>(first));
        Put32(p + 4, static_cast<uint32_t>(second));
    } else if (d.FieldType >= 1) {
        put(VariantToPaddedChars(reinterpret_cast<char*>(p), Even(d.FieldType), d.Value));
    }
    if (shape.status >= 0 && t != -24) Put16(p + shape.status, d.Status);
    if (shape.level >= 0 && t != -24) Put16(p + shape.level, d.Level);

    const DATE noDate = 0.0;
    if (shape.xts >= 0) {
        KeldrinTime x{};
        if (storeTime)
            L_XUST2XTS(storeTime, &x);
        else
            put(VariantToKeldrinTime(local, &x, d.TimeStamp, &noDate, qt));
        PutTime(p + shape.xts, x);
    } else if (shape.xust >= 0 && t != -24) {
        if (storeTime) {
            PutUst(p + shape.xust, *storeTime);
        } else {
            KeldrinTime x{};
            put(VariantToKeldrinTime(local, &x, d.TimeStamp, &noDate, qt));
            KeldrinUst u{};
            L_XTS2XUST(&x, &u);
            PutUst(p + shape.xust, u);
        }
    }
    return outOfMemory;
}
