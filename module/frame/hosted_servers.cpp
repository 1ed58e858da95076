// Fixed-DISPID wrappers of the spreadsheet and ADO servers.
#include "frame/hosted_servers.h"

#include <array>
#include <cstddef>

#include "exceptions.h"

namespace {

// Copies of the caller's strings, freed when the call is over (whatever the
// server left in them).
template <std::size_t N>
class BstrCopies {
public:
    explicit BstrCopies(std::array<const BSTR*, N> sources) {
        for (std::size_t i = 0; i < N; ++i) {
            BSTR source = sources[i] ? *sources[i] : nullptr;
            if (source) {
                copies_[i] = SysAllocStringLen(source, SysStringLen(source));
                if (!copies_[i]) throw COleDispatchException(E_OUTOFMEMORY, {}, {});
            }
        }
    }
    ~BstrCopies() {
        for (BSTR& b : copies_) SysFreeString(b);
    }
    BstrCopies(const BstrCopies&) = delete;
    BstrCopies& operator=(const BstrCopies&) = delete;

    BSTR* operator[](std::size_t i) { return &copies_[i]; }

private:
    std::array<BSTR, N> copies_{};
};

// A by-reference argument: VT_BYREF with the type, pointing at `p`.
template <VARTYPE Vt, class T>
VARIANT ByRef(T* p) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | Vt;
    v.byref = p;
    return v;
}
VARIANT Ref(BSTR* p) {
    return ByRef<VT_BSTR>(p);
}
VARIANT Ref(SHORT* p) {
    return ByRef<VT_I2>(p);
}
VARIANT RefBool(VARIANT_BOOL* p) {
    return ByRef<VT_BOOL>(p);
}
VARIANT Ref(LONG* p) {
    return ByRef<VT_I4>(p);
}
VARIANT Ref(VARIANT* p) {
    return ByRef<VT_VARIANT>(p);
}
VARIANT Ref(IDispatch** p) {
    return ByRef<VT_DISPATCH>(p);
}

// Invokes `id` as a method; every failure becomes COleDispatchException.
template <std::size_t N>
mv::Variant Invoke(IDispatch* server, DISPID id, const std::array<VARIANT, N>& args,
                   VARTYPE resultType) {
    if (!server) throw COleDispatchException(E_POINTER, {}, {});
    try {
        return mv::DispInvokeHelper(server, id, DISPATCH_METHOD, args.data(), static_cast<UINT>(N),
                                    resultType);
    } catch (const COleDispatchException&) {
        throw;
    } catch (const mv::DispatchException& e) {
        throw COleDispatchException(e);
    }
}

}  // namespace

mv::Variant ExcelServer_Call60030004(IDispatch* server, BSTR* workbook) {
    BstrCopies<1> s({workbook});
    return Invoke<1>(server, 0x60030004, {Ref(s[0])}, VT_VARIANT);
}

mv::Variant ExcelServer_Call60030007(IDispatch* server, BSTR* workbook, BSTR* sheet, SHORT* row,
                                     SHORT* column, VARIANT* value) {
    BstrCopies<2> s({workbook, sheet});
    return Invoke<5>(server, 0x60030007, {Ref(s[0]), Ref(s[1]), Ref(row), Ref(column), Ref(value)},
                     VT_VARIANT);
}

mv::Variant ExcelServer_Call6003000E(IDispatch* server, BSTR* workbook, BSTR* sheet,
                                     BSTR* definedName, VARIANT* value) {
    BstrCopies<3> s({workbook, sheet, definedName});
    return Invoke<4>(server, 0x6003000E, {Ref(s[0]), Ref(s[1]), Ref(s[2]), Ref(value)}, VT_VARIANT);
}

mv::Variant ExcelServer_Call6003000A(IDispatch* server, BSTR* workbook, BSTR* sheet,
                                     BSTR* command) {
    BstrCopies<3> s({workbook, sheet, command});
    return Invoke<3>(server, 0x6003000A, {Ref(s[0]), Ref(s[1]), Ref(s[2])}, VT_VARIANT);
}

void ExcelServer_Call60030008(IDispatch* server, BSTR* workbook, BSTR* sheet) {
    BstrCopies<2> s({workbook, sheet});
    Invoke<2>(server, 0x60030008, {Ref(s[0]), Ref(s[1])}, VT_EMPTY);
}

mv::Variant ExcelServer_Call60030009(IDispatch* server, BSTR* workbook, BSTR* sheet, SHORT* row,
                                     SHORT* column) {
    BstrCopies<2> s({workbook, sheet});
    return Invoke<4>(server, 0x60030009, {Ref(s[0]), Ref(s[1]), Ref(row), Ref(column)}, VT_VARIANT);
}

mv::Variant ExcelServer_Call6003000F(IDispatch* server, BSTR* workbook, BSTR* sheet,
                                     BSTR* definedName) {
    BstrCopies<3> s({workbook, sheet, definedName});
    return Invoke<3>(server, 0x6003000F, {Ref(s[0]), Ref(s[1]), Ref(s[2])}, VT_VARIANT);
}

mv::Variant ExcelServer_Call60030005(IDispatch* server, BSTR* workbook, VARIANT_BOOL* save) {
    BstrCopies<1> s({workbook});
    return Invoke<2>(server, 0x60030005, {Ref(s[0]), RefBool(save)}, VT_VARIANT);
}

mv::Variant ExcelServer_Call60030010(IDispatch* server, BSTR* workbook, BSTR* sheet) {
    BstrCopies<2> s({workbook, sheet});
    return Invoke<2>(server, 0x60030010, {Ref(s[0]), Ref(s[1])}, VT_VARIANT);
}

mv::Variant AdoServer_Call60030001(IDispatch* server, BSTR* connection, BSTR* user, BSTR* password,
                                   LONG* options) {
    return Invoke<4>(server, 0x60030001, {Ref(connection), Ref(user), Ref(password), Ref(options)},
                     VT_VARIANT);
}

IDispatch* AdoServer_Call60030000(IDispatch* server, BSTR* connection, BSTR* query,
                                  VARIANT* errorText) {
    mv::Variant result =
        Invoke<3>(server, 0x60030000, {Ref(connection), Ref(query), Ref(errorText)}, VT_DISPATCH);
    // The reference moves to the caller.
    IDispatch* recordSet = result.pdispVal;
    VariantInit(&result);
    return recordSet;
}

mv::Variant AdoServer_Call60030004(IDispatch* server, IDispatch** recordSet, VARIANT_BOOL* flag,
                                   VARIANT* rows) {
    return Invoke<3>(server, 0x60030004, {Ref(recordSet), RefBool(flag), Ref(rows)}, VT_VARIANT);
}

mv::Variant AdoServer_Call60030003(IDispatch* server, IDispatch** recordSet, VARIANT* fieldNames,
                                   VARIANT* fieldTypes) {
    return Invoke<3>(server, 0x60030003, {Ref(recordSet), Ref(fieldNames), Ref(fieldTypes)},
                     VT_VARIANT);
}

mv::Variant AdoServer_Call60030002(IDispatch* server, BSTR* connection) {
    return Invoke<1>(server, 0x60030002, {Ref(connection)}, VT_VARIANT);
}

namespace {

VARIANT Short(SHORT n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I2;
    v.iVal = n;
    return v;
}

// A BSTR by value: the caller's own, not copied (the call only reads it).
VARIANT Text(BSTR text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text;
    return v;
}

template <std::size_t N>
bool InvokeBool(IDispatch* server, DISPID id, const std::array<VARIANT, N>& args) noexcept {
    try {
        mv::Variant result = Invoke<N>(server, id, args, VT_BOOL);
        return result.vt == VT_BOOL && result.boolVal != VARIANT_FALSE;
    } catch (...) {
        return false;
    }
}

}  // namespace

bool DataAccessServer_Call60030000(IDispatch* server, IDispatch** connection, BSTR* errorText) {
    return InvokeBool<2>(server, 0x60030000, {Ref(connection), Ref(errorText)});
}

bool DataAccessServer_Call60030002(IDispatch* server, IDispatch** connection, BSTR sqlServer,
                                   BSTR sqlDriver, BSTR database, BSTR user, BSTR password,
                                   BSTR* errorText) {
    return InvokeBool<7>(server, 0x60030002,
                         {Ref(connection), Text(sqlServer), Text(sqlDriver), Text(database),
                          Text(user), Text(password), Ref(errorText)});
}

bool ControlRecipeServer_Call60030002(IDispatch* server, IDispatch** connection, SHORT controlId,
                                      BSTR* errorText) {
    return InvokeBool<3>(server, 0x60030002, {Ref(connection), Short(controlId), Ref(errorText)});
}

bool ControlRecipeServer_Call60030000(IDispatch* server, IDispatch** connection, SHORT controlId,
                                      SHORT itemId, SHORT parameterId, VARIANT* value,
                                      BSTR* errorText) {
    return InvokeBool<6>(server, 0x60030000,
                         {Ref(connection), Short(controlId), Short(itemId), Short(parameterId),
                          Ref(value), Ref(errorText)});
}

bool ControlRecipeServer_Call60030001(IDispatch* server, IDispatch** connection, SHORT controlId,
                                      SHORT itemId, SHORT parameterId, const VARIANT& value,
                                      BSTR* errorText) {
    return InvokeBool<6>(server, 0x60030001,
                         {Ref(connection), Short(controlId), Short(itemId), Short(parameterId),
                          value, Ref(errorText)});
}
