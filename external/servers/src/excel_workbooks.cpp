// The spreadsheet stand-in's workbooks: seeded sheets of cells and defined
// names, opened, read, written and closed by the server's methods.
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "hosted_internal.h"

namespace hosted {

namespace {

using CellKey = std::pair<SHORT, SHORT>;

struct Sheet {
    std::u16string name;
    std::map<CellKey, mv::Variant> values;
    std::map<CellKey, CellFormula> formulas;
};

struct DefinedName {
    std::u16string sheet;
    SHORT row = 0, column = 0, rows = 1, columns = 1;
    std::u16string content;
};

struct Book {
    std::vector<Sheet> sheets;
    std::vector<std::pair<std::u16string, DefinedName>> names;  // in seeding order
    bool open = false;
};

struct Books {
    // Recursive: a computed cell reads other cells while its own read runs.
    std::recursive_mutex m;
    std::map<std::u16string, Book> byKey;
    std::map<std::u16string, std::function<bool()>> commands;
};

Books& B() {
    static Books* books = new Books;  // never destroyed: server threads may outlive it
    return *books;
}

std::u16string Fold(std::u16string_view text) {
    std::u16string folded(text);
    for (char16_t& c : folded)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return folded;
}

std::u16string_view BaseName(std::u16string_view path) {
    const std::size_t slash = path.find_last_of(u"/\\");
    return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

std::u16string_view View(BSTR text) {
    return {text ? text : u"", SysStringLen(text)};
}

Book* Find(std::u16string_view workbook) {
    auto found = B().byKey.find(Fold(BaseName(workbook)));
    return found == B().byKey.end() ? nullptr : &found->second;
}

Sheet* FindSheet(Book& book, std::u16string_view name) {
    if (book.sheets.empty()) return nullptr;
    if (name.empty()) return &book.sheets.front();
    for (Sheet& sheet : book.sheets)
        if (Fold(sheet.name) == Fold(name)) return &sheet;
    return nullptr;
}

// The open workbook and the sheet a call names, or the failure text.
std::u16string Locate(BSTR workbook, BSTR sheetName, Book** book, Sheet** sheet) {
    *book = Find(View(workbook));
    if (!*book || !(*book)->open)
        return u"The workbook '" + std::u16string(View(workbook)) + u"' is not open";
    *sheet = FindSheet(**book, View(sheetName));
    if (!*sheet) return u"The sheet '" + std::u16string(View(sheetName)) + u"' does not exist";
    return {};
}

// The defined name and its sheet, or null when either is missing.
const DefinedName* FindName(Book& book, std::u16string_view name, Sheet** sheet) {
    for (auto& [key, n] : book.names)
        if (Fold(key) == Fold(name)) {
            *sheet = FindSheet(book, n.sheet);
            return *sheet ? &n : nullptr;
        }
    return nullptr;
}

mv::Variant ReadCell(Book& book, Sheet& sheet, SHORT row, SHORT column) {
    if (auto f = sheet.formulas.find({row, column}); f != sheet.formulas.end()) {
        CellFormula formula = f->second;
        CellReader read = [&book](std::u16string_view name, SHORT r, SHORT c) {
            Sheet* other = FindSheet(book, name);
            return other ? ReadCell(book, *other, r, c) : mv::Variant();
        };
        return formula(read);
    }
    auto v = sheet.values.find({row, column});
    return v == sheet.values.end() ? mv::Variant() : v->second;
}

void SetBool(VARIANT* result, bool value) {
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

HRESULT PutString(SAFEARRAY* array, LONG index, std::u16string_view text) {
    mv::Bstr b(text);
    return SafeArrayPutElement(array, &index, b.get());
}

// A vector of strings from 0, one element per text.
SAFEARRAY* StringVector(const std::vector<std::u16string>& texts) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    for (std::size_t i = 0; array && i < texts.size(); ++i)
        (void)PutString(array, static_cast<LONG>(i), texts[i]);
    return array;
}

}  // namespace

void SeedWorkbook(std::u16string_view file, std::vector<std::u16string> sheets, bool open) {
    std::lock_guard lock(B().m);
    Book book;
    book.open = open;
    for (auto& name : sheets) book.sheets.push_back({std::move(name), {}, {}});
    B().byKey[Fold(BaseName(file))] = std::move(book);
}

void SeedCell(std::u16string_view workbook, std::u16string_view sheet, SHORT row, SHORT column,
              const VARIANT& value) {
    std::lock_guard lock(B().m);
    Book* book = Find(workbook);
    if (Sheet* s = book ? FindSheet(*book, sheet) : nullptr) {
        s->formulas.erase({row, column});
        s->values[{row, column}] = mv::Variant(value);
    }
}

void SeedComputedCell(std::u16string_view workbook, std::u16string_view sheet, SHORT row,
                      SHORT column, CellFormula formula) {
    std::lock_guard lock(B().m);
    Book* book = Find(workbook);
    if (Sheet* s = book ? FindSheet(*book, sheet) : nullptr)
        s->formulas[{row, column}] = std::move(formula);
}

void SeedName(std::u16string_view workbook, std::u16string_view name, std::u16string_view sheet,
              SHORT row, SHORT column, SHORT rows, SHORT columns, std::u16string_view content) {
    std::lock_guard lock(B().m);
    if (Book* book = Find(workbook))
        book->names.emplace_back(std::u16string(name),
                                 DefinedName{std::u16string(sheet), row, column, rows, columns,
                                             std::u16string(content)});
}

void SetCommand(std::u16string_view name, std::function<bool()> command) {
    std::lock_guard lock(B().m);
    B().commands[Fold(name)] = std::move(command);
}

mv::Variant CellValue(std::u16string_view workbook, std::u16string_view sheet, SHORT row,
                      SHORT column) {
    std::lock_guard lock(B().m);
    Book* book = Find(workbook);
    Sheet* s = book ? FindSheet(*book, sheet) : nullptr;
    if (!s) return {};
    auto v = s->values.find({row, column});
    return v == s->values.end() ? mv::Variant() : v->second;
}

bool IsWorkbookOpen(std::u16string_view workbook) {
    std::lock_guard lock(B().m);
    Book* book = Find(workbook);
    return book && book->open;
}

namespace detail {

std::u16string ExcelOpen(BSTR file, VARIANT* result) {
    std::lock_guard lock(B().m);
    Book* book = Find(View(file));
    if (!book) return u"The workbook file '" + std::u16string(View(file)) + u"' cannot be found";
    book->open = true;
    std::u16string_view name = BaseName(View(file));
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    return {};
}

std::u16string ExcelClose(BSTR workbook) {
    std::lock_guard lock(B().m);
    Book* book = Find(View(workbook));
    if (!book || !book->open)
        return u"The workbook '" + std::u16string(View(workbook)) + u"' is not open";
    book->open = false;
    return {};
}

std::u16string ExcelPutCell(BSTR workbook, BSTR sheet, SHORT row, SHORT column,
                            const VARIANT* value, VARIANT* result) {
    std::lock_guard lock(B().m);
    Book* book = nullptr;
    Sheet* s = nullptr;
    if (std::u16string failure = Locate(workbook, sheet, &book, &s); !failure.empty())
        return failure;
    s->formulas.erase({row, column});
    s->values[{row, column}] = mv::Variant(*value);
    SetBool(result, true);
    return {};
}

std::u16string ExcelRecalculate(BSTR workbook, BSTR sheet) {
    std::lock_guard lock(B().m);
    Book* book = nullptr;
    Sheet* s = nullptr;
    return Locate(workbook, sheet, &book, &s);
}

std::u16string ExcelGetCell(BSTR workbook, BSTR sheet, SHORT row, SHORT column, VARIANT* result) {
    std::lock_guard lock(B().m);
    Book* book = nullptr;
    Sheet* s = nullptr;
    if (std::u16string failure = Locate(workbook, sheet, &book, &s); !failure.empty())
        return failure;
    mv::Variant value = ReadCell(*book, *s, row, column);
    *result = value.Detach();
    return {};
}

std::u16string ExcelCommand(BSTR workbook, BSTR sheet, BSTR command, VARIANT* result) {
    std::function<bool()> run;
    {
        std::lock_guard lock(B().m);
        Book* book = nullptr;
        Sheet* s = nullptr;
        if (std::u16string failure = Locate(workbook, sheet, &book, &s); !failure.empty())
            return failure;
        if (auto c = B().commands.find(Fold(View(command))); c != B().commands.end())
            run = c->second;
    }
    SetBool(result, run && run());
    return {};
}

std::u16string ExcelPutName(BSTR workbook, BSTR sheet, BSTR name, const VARIANT* value,
                            VARIANT* result) {
    std::lock_guard lock(B().m);
    Book* book = nullptr;
    Sheet* s = nullptr;
    if (std::u16string failure = Locate(workbook, sheet, &book, &s); !failure.empty())
        return failure;
    Sheet* target = nullptr;
    if (const DefinedName* n = FindName(*book, View(name), &target)) {
        for (SHORT r = 0; r < n->rows; ++r)
            for (SHORT c = 0; c < n->columns; ++c) {
                const CellKey cell{static_cast<SHORT>(n->row + r),
                                   static_cast<SHORT>(n->column + c)};
                target->formulas.erase(cell);
                target->values[cell] = mv::Variant(*value);
            }
        SetBool(result, true);
        return {};
    }
    SetBool(result, false);
    return {};
}

std::u16string ExcelGetName(BSTR workbook, BSTR sheet, BSTR name, VARIANT* result) {
    std::lock_guard lock(B().m);
    Book* book = nullptr;
    Sheet* s = nullptr;
    if (std::u16string failure = Locate(workbook, sheet, &book, &s); !failure.empty())
        return failure;
    Sheet* target = nullptr;
    if (const DefinedName* found = FindName(*book, View(name), &target)) {
        const DefinedName& n = *found;
        if (n.rows == 1 && n.columns == 1) {
            *result = ReadCell(*book, *target, n.row, n.column).Detach();
            return {};
        }
        SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(n.rows), 1},
                                    {static_cast<ULONG>(n.columns), 1}};
        SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
        if (!array) return u"Out of memory";
        for (SHORT r = 0; r < n.rows; ++r)
            for (SHORT c = 0; c < n.columns; ++c) {
                LONG index[2] = {r + 1, c + 1};
                mv::Variant cell = ReadCell(*book, *target, static_cast<SHORT>(n.row + r),
                                            static_cast<SHORT>(n.column + c));
                (void)SafeArrayPutElement(array, index, &cell);
            }
        result->vt = VT_ARRAY | VT_VARIANT;
        result->parray = array;
        return {};
    }
    return u"The name '" + std::u16string(View(name)) + u"' is not defined";
}

std::u16string ExcelNames(BSTR workbook, BSTR sheet, VARIANT* result) {
    std::lock_guard lock(B().m);
    Book* book = nullptr;
    Sheet* s = nullptr;
    if (std::u16string failure = Locate(workbook, sheet, &book, &s); !failure.empty())
        return failure;
    std::vector<std::u16string> names, contents;
    for (auto& [key, n] : book->names) {
        names.push_back(key);
        contents.push_back(n.content);
    }
    SAFEARRAY* list = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    if (!list) return u"Out of memory";
    mv::Variant items[3];
    items[0] = mv::Variant(std::u16string_view(s->name));
    items[1].vt = VT_ARRAY | VT_BSTR;
    items[1].parray = StringVector(names);
    items[2].vt = VT_ARRAY | VT_BSTR;
    items[2].parray = StringVector(contents);
    for (LONG i = 0; i < 3; ++i) (void)SafeArrayPutElement(list, &i, &items[i]);
    result->vt = VT_ARRAY | VT_VARIANT;
    result->parray = list;
    return {};
}

void ResetWorkbooks() {
    std::map<std::u16string, Book> books;
    std::map<std::u16string, std::function<bool()>> commands;
    {
        std::lock_guard lock(B().m);
        std::swap(books, B().byKey);
        std::swap(commands, B().commands);
    }
}

}  // namespace detail

}  // namespace hosted
