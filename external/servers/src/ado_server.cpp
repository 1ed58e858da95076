// The ADO server stand-in: data sources of the registry store, each naming a
// SQLite database; queries read whole into free-threaded record sets.
#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hosted_internal.h"
#include "sys.h"

MV_DEFINE_GUID(IID_IHostedAdoServer, 0xC62AA4A7, 0xC7C3, 0x4333, 0xAA, 0x1E, 0x95, 0xE5, 0x9C, 0xB5,
               0x20, 0x1E);
MV_DEFINE_GUID(IID_IHostedRecordSet, 0x5B0D6E41, 0x2F7A, 0x4C8E, 0x9D, 0x13, 0x6A, 0x51, 0xE2, 0x0C,
               0x84, 0x3F);

namespace hosted {

// The ADO server's methods, every parameter by reference.
struct IHostedAdoServer : IDispatch {
    virtual HRESULT Query(BSTR* connection, BSTR* query, VARIANT* errorText, VARIANT* result) = 0;
    virtual HRESULT Connect(BSTR* connection, BSTR* user, BSTR* password, LONG* options,
                            VARIANT* result) = 0;
    virtual HRESULT Disconnect(BSTR* connection, VARIANT* result) = 0;
    virtual HRESULT FieldInfo(IDispatch** recordSet, VARIANT* names, VARIANT* types,
                              VARIANT* result) = 0;
    virtual HRESULT ReadRows(IDispatch** recordSet, VARIANT_BOOL* flag, VARIANT* rows,
                             VARIANT* result) = 0;
};

// What a query gave: column names, ADO type numbers and the rows' cells.
struct QueryResult {
    std::vector<std::u16string> names;
    std::vector<LONG> types;
    std::vector<std::vector<mv::Variant>> rows;
};

// A record set of the server. Its content is fixed before it is handed out,
// so any thread may read it and release it.
struct IHostedRecordSet : IDispatch {
    virtual HRESULT get_RecordCount(LONG* count) = 0;
    virtual const QueryResult& Content() const = 0;  // not on the dispatch interface
};

}  // namespace hosted

MV_IID_OF(hosted::IHostedAdoServer, IID_IHostedAdoServer);
MV_IID_OF(hosted::IHostedRecordSet, IID_IHostedRecordSet);

namespace hosted {

MV_DISPATCH_TABLE(IHostedAdoServer, mv::Method<&IHostedAdoServer::Query>(0x60030000, u"Query"),
                  mv::Method<&IHostedAdoServer::Connect>(0x60030001, u"Connect"),
                  mv::Method<&IHostedAdoServer::Disconnect>(0x60030002, u"Disconnect"),
                  mv::Method<&IHostedAdoServer::FieldInfo>(0x60030003, u"FieldInfo"),
                  mv::Method<&IHostedAdoServer::ReadRows, VT_EMPTY, VT_BOOL>(0x60030004,
                                                                             u"ReadRows"))

MV_DISPATCH_TABLE(IHostedRecordSet,
                  mv::PropGet<&IHostedRecordSet::get_RecordCount>(1, u"RecordCount"))

namespace detail {
namespace {

constexpr const char* kDataSources = "SOFTWARE\\ODBC\\ODBC.INI\\";

// A BSTR argument as UTF-8, with every character its length counts.
std::string Utf8(BSTR text) {
    return mv::ToUtf8(std::u16string_view(text ? text : u"", SysStringLen(text)));
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The ADO type number of a declared column type, by SQLite's affinity rules.
LONG AdoType(const char* declared) {
    std::string t = Upper(declared ? declared : "");
    auto has = [&](const char* word) { return t.find(word) != std::string::npos; };
    if (has("INT")) return 3;                                   // adInteger
    if (has("CHAR") || has("CLOB") || has("TEXT")) return 202;  // adVarWChar
    if (has("BLOB")) return 205;                                // adLongVarBinary
    if (has("REAL") || has("FLOA") || has("DOUB")) return 5;    // adDouble
    return 12;                                                  // adVariant
}

mv::Variant Cell(sqlite3_stmt* stmt, int column) {
    mv::Variant v;
    switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_INTEGER: {
            sqlite3_int64 n = sqlite3_column_int64(stmt, column);
            if (n >= INT32_MIN && n <= INT32_MAX) {
                v.vt = VT_I4;
                v.lVal = static_cast<LONG>(n);
            } else {
                v.vt = VT_I8;
                v.llVal = n;
            }
            break;
        }
        case SQLITE_FLOAT:
            v.vt = VT_R8;
            v.dblVal = sqlite3_column_double(stmt, column);
            break;
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
            int bytes = sqlite3_column_bytes(stmt, column);
            v = mv::Variant(std::u16string_view(
                mv::ToUtf16(std::string_view(text ? text : "", text ? bytes : 0))));
            break;
        }
        case SQLITE_BLOB: {
            const void* data = sqlite3_column_blob(stmt, column);
            auto bytes = static_cast<ULONG>(sqlite3_column_bytes(stmt, column));
            SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, bytes);
            void* target = nullptr;
            if (array && bytes && SUCCEEDED(SafeArrayAccessData(array, &target))) {
                std::memcpy(target, data, bytes);
                SafeArrayUnaccessData(array);
            }
            if (array) {
                v.vt = VT_ARRAY | VT_UI1;
                v.parray = array;
            }
            break;
        }
        default:
            v.vt = VT_NULL;
            break;
    }
    return v;
}

// A one-dimensional VT_ARRAY | VT_VARIANT holding copies of `items`; empty
// when no memory could be had.
mv::Variant VariantArray(const std::vector<mv::Variant>& items) {
    mv::Variant out;
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
    if (!array) return out;
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
        if (FAILED(SafeArrayPutElement(array, &i, const_cast<mv::Variant*>(&items[i])))) {
            SafeArrayDestroy(array);
            return out;
        }
    }
    out.vt = VT_ARRAY | VT_VARIANT;
    out.parray = array;
    return out;
}

// Runs exactly one statement that returns columns and reads all its rows.
bool RunQuery(sqlite3* db, const std::string& sql, QueryResult* out, std::u16string* error) {
    if (sql.find('\0') != std::string::npos) {
        *error = u"The query holds a null character.";
        return false;
    }
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, &tail) != SQLITE_OK) {
        *error = mv::ToUtf16(sqlite3_errmsg(db));
        return false;
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    if (!stmt) {
        *error = u"The query is empty.";
        return false;
    }
    // What follows the statement may hold blanks, semicolons and comments only.
    for (const char* rest = tail; rest && *rest;) {
        sqlite3_stmt* next = nullptr;
        const char* after = nullptr;
        int rc = sqlite3_prepare_v2(db, rest, -1, &next, &after);
        sqlite3_finalize(next);
        if (rc != SQLITE_OK || next || after == rest) {
            *error = u"The query holds more than one statement.";
            return false;
        }
        rest = after;
    }
    const int columns = sqlite3_column_count(stmt.get());
    if (columns == 0) {
        *error = u"The query returns no columns.";
        return false;
    }
    for (int i = 0; i < columns; ++i) {
        const char* name = sqlite3_column_name(stmt.get(), i);
        out->names.push_back(mv::ToUtf16(name ? name : ""));
        out->types.push_back(AdoType(sqlite3_column_decltype(stmt.get(), i)));
    }
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        std::vector<mv::Variant> row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i) row.push_back(Cell(stmt.get(), i));
        out->rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        *error = mv::ToUtf16(sqlite3_errmsg(db));
        return false;
    }
    return true;
}

// The "Database" value of data source `name`: 1 found, 0 no such data
// source, -1 the data source names no database.
int DatabasePath(const std::string& name, std::string* path) {
    if (name.find_first_of(std::string_view("\\\0", 2)) != std::string::npos) return 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kDataSources + name).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return 0;
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, "Database", nullptr, &type, nullptr, &size);
    std::string value(size, '\0');
    if (rc == ERROR_SUCCESS && type == REG_SZ && size > 0)
        rc = RegQueryValueExA(key, "Database", nullptr, &type,
                              reinterpret_cast<BYTE*>(value.data()), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return -1;
    value.resize(std::strlen(value.c_str()));
    if (value.empty()) return -1;
    *path = std::move(value);
    return 1;
}

// Opens the database of data source `name`: read-write, never creating it,
// and checked to be a SQLite database. Null with the reason in *error.
sqlite3* OpenDataSource(const std::string& name, std::u16string* error) {
    if (name.empty()) {
        *error = u"No data source name given.";
        return nullptr;
    }
    std::string path;
    int found = DatabasePath(name, &path);
    if (found <= 0) {
        *error = found == 0 ? u"Data source name not found: " + mv::ToUtf16(name)
                            : u"Data source " + mv::ToUtf16(name) + u" names no database.";
        return nullptr;
    }
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        *error = u"Cannot open data source " + mv::ToUtf16(name) + u": " +
                 mv::ToUtf16(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

void PutText(VARIANT* target, std::u16string_view text) {
    VariantClear(target);
    *target = mv::Variant(text).Detach();
}

void PutTrue(VARIANT* result) {
    result->vt = VT_BOOL;
    result->boolVal = VARIANT_TRUE;
}

// The record set behind an argument, or null (with the reason in `result`)
// when it is not one of this server's.
mv::ComPtr<IHostedRecordSet> RecordSetOf(IDispatch* arg, VARIANT* result) {
    mv::ComPtr<IHostedRecordSet> rs;
    if (!arg || FAILED(arg->QueryInterface(IID_IHostedRecordSet, rs.PutVoid()))) {
        rs.Reset();
        PutText(result, u"No record set of this server.");
    }
    return rs;
}

class CHostedRecordSet : public mv::ComObjectRoot<CHostedRecordSet>,
                         public mv::DispatchImpl<IHostedRecordSet> {
public:
    using InterfaceMap = mv::Interfaces<IHostedRecordSet, mv::Via<IDispatch, IHostedRecordSet>>;
    HRESULT FinalConstruct() {
        Bump(Counter::RecordSetsAlive);
        return S_OK;
    }
    void FinalRelease() { Bump(Counter::RecordSetsAlive, -1); }

    HRESULT get_RecordCount(LONG* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(content_.rows.size());
        return S_OK;
    }
    const QueryResult& Content() const override { return content_; }
    void Fill(QueryResult content) { content_ = std::move(content); }

private:
    QueryResult content_;
};

class CHostedAdoServer : public mv::ComObjectRoot<CHostedAdoServer>,
                         public mv::DispatchImpl<IHostedAdoServer>,
                         private Counted<Server::Ado> {
public:
    using InterfaceMap = mv::Interfaces<IHostedAdoServer, mv::Via<IDispatch, IHostedAdoServer>>;
    HRESULT FinalConstruct() { return Construct(); }
    void FinalRelease() {
        for (auto& [name, db] : connections_) sqlite3_close(db);
        connections_.clear();
        Destruct();
    }

    HRESULT Query(BSTR* connection, BSTR* query, VARIANT* errorText, VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030000,
                     {A(connection), A(query), A(errorText)}, result, [&](VARIANT* r) {
                         return DoQuery(Utf8(*connection), Utf8(*query), errorText, r);
                     });
    }
    HRESULT Connect(BSTR* connection, BSTR* user, BSTR* password, LONG* options,
                    VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030001,
                     {A(connection), A(user), A(password), A(options)}, result,
                     [&](VARIANT* r) { return DoConnect(Utf8(*connection), r); });
    }
    HRESULT Disconnect(BSTR* connection, VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030002, {A(connection)}, result,
                     [&](VARIANT* r) { return DoClose(Utf8(*connection), r); });
    }
    HRESULT FieldInfo(IDispatch** recordSet, VARIANT* names, VARIANT* types,
                      VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030003,
                     {A(recordSet), A(names), A(types)}, result, [&](VARIANT* r) {
                         mv::ComPtr<IHostedRecordSet> rs = RecordSetOf(*recordSet, r);
                         if (!rs) return S_OK;
                         const QueryResult& content = rs->Content();
                         std::vector<mv::Variant> n, t;
                         for (const auto& name : content.names) n.emplace_back(name);
                         for (LONG type : content.types) t.emplace_back(type);
                         mv::Variant nameArray = VariantArray(n);
                         mv::Variant typeArray = VariantArray(t);
                         if (nameArray.vt == VT_EMPTY || typeArray.vt == VT_EMPTY)
                             return E_OUTOFMEMORY;
                         VariantClear(names);
                         *names = nameArray.Detach();
                         VariantClear(types);
                         *types = typeArray.Detach();
                         PutTrue(r);
                         return S_OK;
                     });
    }
    HRESULT ReadRows(IDispatch** recordSet, VARIANT_BOOL* flag, VARIANT* rows,
                     VARIANT* result) override {
        return Serve(Server::Ado, IID_IHostedAdoServer, 0x60030004,
                     {A(recordSet), ABool(flag), A(rows)}, result, [&](VARIANT* r) {
                         mv::ComPtr<IHostedRecordSet> rs = RecordSetOf(*recordSet, r);
                         if (!rs) return S_OK;
                         std::vector<mv::Variant> all;
                         for (const auto& cells : rs->Content().rows) {
                             all.push_back(VariantArray(cells));
                             if (all.back().vt == VT_EMPTY) return E_OUTOFMEMORY;
                         }
                         mv::Variant array = VariantArray(all);
                         if (array.vt == VT_EMPTY) return E_OUTOFMEMORY;
                         VariantClear(rows);
                         *rows = array.Detach();
                         Bump(Counter::AdoFetches);
                         PutTrue(r);
                         return S_OK;
                     });
    }

private:
    HRESULT DoConnect(const std::string& name, VARIANT* result) {
        mv::ObjectLock lock(this);
        if (!connections_.count(Upper(name))) {
            std::u16string error;
            sqlite3* db = OpenDataSource(name, &error);
            if (!db) {
                PutText(result, error);
                return S_OK;
            }
            connections_[Upper(name)] = db;
            Bump(Counter::AdoConnects);
        }
        PutTrue(result);
        return S_OK;
    }

    HRESULT DoClose(const std::string& name, VARIANT* result) {
        mv::ObjectLock lock(this);
        auto it = connections_.find(Upper(name));
        if (it == connections_.end()) {
            PutText(result, u"Data source " + mv::ToUtf16(name) + u" is not connected.");
            return S_OK;
        }
        sqlite3_close(it->second);
        connections_.erase(it);
        PutTrue(result);
        return S_OK;
    }

    HRESULT DoQuery(const std::string& name, const std::string& sql, VARIANT* errorText,
                    VARIANT* result) {
        result->vt = VT_DISPATCH;
        result->pdispVal = nullptr;
        QueryResult content;
        std::u16string error;
        bool ok = false;
        {
            mv::ObjectLock lock(this);
            auto it = connections_.find(Upper(name));
            // Without an open connection the query gets one of its own.
            sqlite3* db = it != connections_.end() ? it->second : OpenDataSource(name, &error);
            if (db) ok = RunQuery(db, sql, &content, &error);
            if (db && it == connections_.end()) sqlite3_close(db);
        }
        if (!ok) {
            PutText(errorText, error);
            return S_OK;
        }
        mv::ComPtr<mv::ComObject<CHostedRecordSet>> rs;
        HRESULT hr = mv::MakeComObject<CHostedRecordSet>(&rs);
        if (FAILED(hr)) return hr;
        rs->Fill(std::move(content));
        Bump(Counter::AdoQueries);
        result->pdispVal = static_cast<IHostedRecordSet*>(rs.Detach());
        return S_OK;
    }

    std::map<std::string, sqlite3*> connections_;  // by upper-cased data-source name
};

}  // namespace

HRESULT MakeAdoClassObject(IUnknown** out) {
    return mv::CreateClassFactory<CHostedAdoServer>(IID_IUnknown, reinterpret_cast<void**>(out));
}

}  // namespace detail

HRESULT WriteDataSource(std::string_view name, std::string_view databasePath) {
    HKEY key = nullptr;
    std::string path = detail::kDataSources + std::string(name);
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    std::string value(databasePath);
    rc = RegSetValueExA(key, "Database", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

}  // namespace hosted
