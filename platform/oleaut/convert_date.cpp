// Dates to and from text in the en-US rules: M/D/YYYY and h:mm:ss AM|PM.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "oleaut/civil_date.h"
#include "oleaut/convert_internal.h"

namespace mv::convert {
namespace {

static_assert(kFirstDate == civil::kFirstDateDay && kPastLastDate == civil::kLastDateDay + 1);

char16_t Lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool IsLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// 1..12 for an English month name or its three-letter (or "sept") short form.
int MonthFromWord(const std::u16string& w) {
    static const char16_t* const kNames[] = {u"january",   u"february", u"march",    u"april",
                                             u"may",       u"june",     u"july",     u"august",
                                             u"september", u"october",  u"november", u"december"};
    for (int m = 0; m < 12; ++m) {
        const std::u16string_view name(kNames[m]);
        if (w == name || w == name.substr(0, 3) || (m == 8 && w == u"sept")) return m + 1;
    }
    return 0;
}

enum class Kind { Number, Month, Am, Pm, Colon, DateSep, Dot };

struct Token {
    Kind kind;
    int value = 0;  // DateSep: 1 for "-"
    int width = 0;  // digits written, to tell "24" from "2024"
};

bool Tokenize(std::u16string_view text, std::vector<Token>* out) {
    size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        if (IsBlank(c)) {
            ++i;
        } else if (c >= u'0' && c <= u'9') {
            Token t{Kind::Number};
            while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
                if (t.width < 9) t.value = t.value * 10 + (text[i] - u'0');
                ++t.width;
                ++i;
            }
            if (t.width > 9) return false;
            out->push_back(t);
        } else if (IsLetter(c)) {
            std::u16string w;
            while (i < text.size() && IsLetter(text[i])) w += Lower(text[i++]);
            if (i < text.size() && text[i] == u'.') ++i;  // "Jan." and "a.m" style abbreviations
            if (w == u"am" || w == u"a") {
                out->push_back({Kind::Am});
            } else if (w == u"pm" || w == u"p") {
                out->push_back({Kind::Pm});
            } else if (const int m = MonthFromWord(w)) {
                out->push_back({Kind::Month, m});
            } else {
                return false;
            }
        } else if (c == u':') {
            out->push_back({Kind::Colon});
            ++i;
        } else if (c == u'/' || c == u'-' || c == u',') {
            out->push_back({Kind::DateSep, c == u'-'});
            ++i;
        } else if (c == u'.') {
            out->push_back({Kind::Dot});
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

int ExpandYear(const Token& t) {
    if (t.width <= 2) return t.value < 30 ? 2000 + t.value : 1900 + t.value;
    return t.value;
}

bool ValidDay(int y, int m, int d) {
    return m >= 1 && m <= 12 && d >= 1 &&
           d <= static_cast<int>(civil::DaysInMonth(y, static_cast<unsigned>(m)));
}

int CurrentYear() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now.wYear;
}

// Resolves the date numbers (and a month name, 0 when absent) into y/m/d.
bool ResolveDate(const std::vector<Token>& nums, int month_name, int* y, int* m, int* d) {
    const size_t n = nums.size();
    if (month_name != 0) {
        *m = month_name;
        if (n == 1) {
            if (nums[0].width <= 2 && ValidDay(CurrentYear(), month_name, nums[0].value)) {
                *y = CurrentYear();
                *d = nums[0].value;
            } else {
                *y = ExpandYear(nums[0]);
                *d = 1;
            }
            return true;
        }
        if (n == 2) {
            const bool year_first = nums[0].width > 2 || nums[0].value > 31;
            *y = ExpandYear(nums[year_first ? 0 : 1]);
            *d = nums[year_first ? 1 : 0].value;
            return true;
        }
        return false;
    }
    if (n == 3) {
        if (nums[0].width > 2 || nums[0].value > 31) {
            *y = ExpandYear(nums[0]);
            *m = nums[1].value;
            *d = nums[2].value;
        } else if (nums[0].value > 12 &&
                   !ValidDay(ExpandYear(nums[0]), nums[1].value, nums[2].value)) {
            // The first cannot be a month: year-month-day when that is a
            // date ("14 2 3" is 2/3/2014), else day-month-year ("13-1-1970").
            *d = nums[0].value;
            *m = nums[1].value;
            *y = ExpandYear(nums[2]);
        } else if (nums[0].value > 12) {
            *y = ExpandYear(nums[0]);
            *m = nums[1].value;
            *d = nums[2].value;
        } else {
            *m = nums[0].value;
            *d = nums[1].value;
            *y = ExpandYear(nums[2]);
        }
        return true;
    }
    if (n == 2) {
        const int year = CurrentYear();
        if (nums[0].width <= 2 && nums[1].width <= 2) {
            if (ValidDay(year, nums[0].value, nums[1].value)) {
                *y = year, *m = nums[0].value, *d = nums[1].value;
                return true;
            }
            if (ValidDay(year, nums[1].value, nums[0].value)) {
                *y = year, *m = nums[1].value, *d = nums[0].value;
                return true;
            }
        }
        // A month and a year: "2 30" and "30 2" are 2/1/1930.
        const int month_at = nums[0].value >= 1 && nums[0].value <= 12 ? 0 : 1;
        *m = nums[static_cast<size_t>(month_at)].value;
        *y = ExpandYear(nums[static_cast<size_t>(1 - month_at)]);
        *d = 1;
        return true;
    }
    return false;
}

}  // namespace

HRESULT FormatDate(DATE value, ULONG flags, std::u16string* out) {
    if (!(value >= kFirstDate && value < kPastLastDate)) return E_INVALIDARG;
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(value, &st)) return E_INVALIDARG;
    const bool epoch_day = st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30;
    const bool midnight = st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
    bool show_date, show_time;
    if (flags & VAR_DATEVALUEONLY) {
        show_date = true, show_time = false;
    } else if (flags & VAR_TIMEVALUEONLY) {
        show_date = false, show_time = true;
    } else {
        show_date = !epoch_day;
        show_time = epoch_day || !midnight;
    }
    char buf[64];
    std::string text;
    if (show_date) {
        std::snprintf(buf, sizeof buf, "%d/%d/%d", st.wMonth, st.wDay, st.wYear);
        text = buf;
    }
    if (show_time) {
        const int h12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        std::snprintf(buf, sizeof buf, "%s%d:%02d:%02d %s", show_date ? " " : "", h12, st.wMinute,
                      st.wSecond, st.wHour < 12 ? "AM" : "PM");
        text += buf;
    }
    *out = std::u16string(text.begin(), text.end());
    return S_OK;
}

HRESULT ParseDate(std::u16string_view text, ULONG flags, DATE* out) {
    std::vector<Token> toks;
    if (!Tokenize(text, &toks)) return DISP_E_TYPEMISMATCH;

    std::vector<Token> date_nums;
    int month_name = 0;
    bool have_time = false, dot_time = false;
    int hour = 0, minute = 0, second = 0;
    for (size_t i = 0; i < toks.size(); ++i) {
        const Token& t = toks[i];
        if (t.kind == Kind::Number) {
            // A colon, or a dot between numbers, separates hours, minutes and
            // seconds: "7.30" is 07:30, "12.5.9" is 12:05:09.
            const auto time_separator = [&](size_t k) {
                return k < toks.size() && (toks[k].kind == Kind::Colon ||
                                           (toks[k].kind == Kind::Dot && k + 1 < toks.size() &&
                                            toks[k + 1].kind == Kind::Number));
            };
            const bool clock = time_separator(i + 1);
            const bool bare_hour = i + 1 < toks.size() &&
                                   (toks[i + 1].kind == Kind::Am || toks[i + 1].kind == Kind::Pm);
            if (!clock && !bare_hour) {
                date_nums.push_back(t);
                continue;
            }
            if (have_time) return DISP_E_TYPEMISMATCH;
            have_time = true;
            int parts[3] = {t.value, 0, 0};
            int count = 1;
            size_t j = i + 1;
            while (time_separator(j) && j + 1 < toks.size() && toks[j + 1].kind == Kind::Number) {
                if (count == 3) return DISP_E_TYPEMISMATCH;
                dot_time = dot_time || toks[j].kind == Kind::Dot;
                parts[count++] = toks[j + 1].value;
                j += 2;
            }
            if (time_separator(j)) return DISP_E_TYPEMISMATCH;
            hour = parts[0], minute = parts[1], second = parts[2];
            if (j < toks.size() && (toks[j].kind == Kind::Am || toks[j].kind == Kind::Pm)) {
                if (toks[j].kind == Kind::Pm && hour < 12) hour += 12;
                if (toks[j].kind == Kind::Am && hour == 12) hour = 0;
                ++j;
            }
            i = j - 1;
        } else if (t.kind == Kind::Month) {
            if (month_name != 0) return DISP_E_TYPEMISMATCH;
            month_name = t.value;
        } else if (t.kind != Kind::DateSep) {
            return DISP_E_TYPEMISMATCH;  // a stray colon, dot or AM/PM
        }
    }
    if (hour > 23 || minute > 59 || second > 59) return DISP_E_TYPEMISMATCH;
    // A dotted time is no number: "-1.1" and "1.1-" carry a sign.
    const auto sign = [](const Token& t) { return t.kind == Kind::DateSep && t.value == 1; };
    if (dot_time && (sign(toks.front()) || sign(toks.back()))) return DISP_E_TYPEMISMATCH;

    SYSTEMTIME st{};
    st.wYear = 1899, st.wMonth = 12, st.wDay = 30;
    if (!date_nums.empty() || month_name != 0) {
        int y = 0, m = 0, d = 0;
        if (!ResolveDate(date_nums, month_name, &y, &m, &d)) return DISP_E_TYPEMISMATCH;
        if (y < 100 || y > 9999 || !ValidDay(y, m, d)) return DISP_E_TYPEMISMATCH;
        st.wYear = static_cast<WORD>(y), st.wMonth = static_cast<WORD>(m),
        st.wDay = static_cast<WORD>(d);
    } else if (!have_time) {
        return DISP_E_TYPEMISMATCH;
    }
    if (flags & VAR_TIMEVALUEONLY) st.wYear = 1899, st.wMonth = 12, st.wDay = 30;
    if (!(flags & VAR_DATEVALUEONLY)) {
        st.wHour = static_cast<WORD>(hour), st.wMinute = static_cast<WORD>(minute);
        st.wSecond = static_cast<WORD>(second);
    }
    DATE result = 0.0;
    if (!SystemTimeToVariantTime(&st, &result)) return DISP_E_TYPEMISMATCH;
    *out = result;
    return S_OK;
}

}  // namespace mv::convert
