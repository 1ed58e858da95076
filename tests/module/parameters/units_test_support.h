// Helpers of the unit tests: the unit classes served from the process's own
// class table (collections recreate their members by class), unit tables
// built in code, memory streams and the thread's error information.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "comobj.h"
#include "interfaces/IMvEngUnitType.h"
#include "parameters/eng_unit.h"
#include "parameters/eng_unit_type.h"
#include "persistence/obj_collection.h"

namespace units_test {

using Bytes = std::vector<uint8_t>;

// Serves CMvEngUnit and CMvEngUnitType from the process's class table for
// the lifetime of the object.
class ServedUnitClasses {
public:
    ServedUnitClasses() {
        Serve<CMvEngUnit>(CLSID_MvEngUnit, &unitCookie_);
        Serve<CMvEngUnitType>(CLSID_MvEngUnitType, &typeCookie_);
    }
    ~ServedUnitClasses() {
        CoRevokeClassObject(unitCookie_);
        CoRevokeClassObject(typeCookie_);
    }
    ServedUnitClasses(const ServedUnitClasses&) = delete;
    ServedUnitClasses& operator=(const ServedUnitClasses&) = delete;

private:
    template <class T>
    static void Serve(REFCLSID clsid, DWORD* cookie) {
        mv::ComPtr<IUnknown> factory;
        ASSERT_EQ(mv::CreateClassFactory<T>(IID_IUnknown, factory.PutVoid()), S_OK);
        ASSERT_EQ(CoRegisterClassObject(clsid, factory.get(), CLSCTX_INPROC_SERVER,
                                        REGCLS_MULTIPLEUSE, cookie),
                  S_OK);
    }
    DWORD unitCookie_ = 0;
    DWORD typeCookie_ = 0;
};

inline mv::ComPtr<IMvEngUnit> NewUnit() {
    mv::ComPtr<mv::ComObject<CMvEngUnit>> unit;
    EXPECT_EQ(mv::MakeComObject(&unit), S_OK);
    return mv::ComPtr<IMvEngUnit>(unit.get());
}

inline mv::ComPtr<IMvEngUnitType> NewUnitType(const char16_t* name = u"") {
    mv::ComPtr<mv::ComObject<CMvEngUnitType>> type;
    EXPECT_EQ(mv::MakeComObject(&type), S_OK);
    EXPECT_EQ(type->put_Name(mv::Bstr(name).get()), S_OK);
    return mv::ComPtr<IMvEngUnitType>(type.get());
}

inline mv::ComPtr<IMvObjCollection> NewCollection() {
    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection;
    EXPECT_EQ(mv::MakeComObject(&collection), S_OK);
    return mv::ComPtr<IMvObjCollection>(collection.get());
}

// One unit of a table: its name and its factors to the standard unit.
struct UnitRow {
    const char16_t* name;
    double multiplier;
    double offset;
};

// Adds the units to `type`, in order.
inline void AddUnits(IMvEngUnitType* type, std::initializer_list<UnitRow> rows) {
    for (const UnitRow& row : rows) {
        mv::ComPtr<IMvEngUnit> unit;
        ASSERT_EQ(type->AddUnit(mv::Bstr(row.name).get(), unit.Put()), S_OK);
        ASSERT_EQ(unit->put_Multiplier(row.multiplier), S_OK);
        ASSERT_EQ(unit->put_Offset(row.offset), S_OK);
    }
}

// Files `type` in `collection` under its name.
inline void File(IMvObjCollection* collection, IMvEngUnitType* type) {
    mv::Bstr name;
    ASSERT_EQ(type->get_Name(name.Out()), S_OK);
    ASSERT_EQ(collection->Add(name.get(), type), S_OK);
}

inline std::u16string NameOf(IMvEngUnit* unit) {
    mv::Bstr name;
    EXPECT_EQ(unit->get_Name(name.Out()), S_OK);
    return std::u16string(name.view());
}

inline mv::ComPtr<IStream> NewStream(const Bytes& bytes = {}) {
    mv::ComPtr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

inline Bytes StreamBytes(IStream* stream) {
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    Bytes out;
    uint8_t buffer[4096];
    for (ULONG got = 0; SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got;)
        out.insert(out.end(), buffer, buffer + got);
    return out;
}

// The description of the thread's error information (taken, so cleared), or
// "(none)".
inline std::u16string TakeErrorText() {
    mv::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info) return u"(none)";
    mv::Bstr text;
    info->GetDescription(text.Out());
    return std::u16string(text.view());
}

}  // namespace units_test
