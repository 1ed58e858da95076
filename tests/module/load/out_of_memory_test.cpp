// Running out of memory, allocation by allocation, through the registered
// module: the k-th allocation of a load, a save, a creation, a run or a
// release fails, for every k of a small scenario and a spread of them for a
// large one, with operator new failing and with the C allocator failing. Every call then returns
// (no exception, no process end), a success is a whole result, a document file is unchanged and no
// claim on it is left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "../executors/formula_artefacts.h"
#include "com.h"
#include "comobj.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvDataSet.h"
#include "interfaces/IMvFormulaLibrary.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "interfaces/IMvPersistXML.h"
#include "interfaces/IMvScheduleGroup.h"
#include "module_load_test_support.h"
#include "oleaut.h"
#include "out_of_memory_sweep.h"
#include "xml.h"

namespace {

namespace fs = std::filesystem;
using namespace loadtest;
using namespace oomtest;
using Bytes = std::vector<uint8_t>;

// Every k of a scenario up to this many allocations; a spread of this many
// points of a larger one.
constexpr size_t kEveryUpTo = 300;
constexpr size_t kSpread = 48;

// An object of the class with a name and, for a container, members.
mv::ComPtr<IUnknown> Filled(const char16_t* progId) {
    auto object = New(progId);
    if (auto disp = As<IDispatch>(object.get()))
        mv::DispPutPropertyByName(disp.get(), u"Name", mv::Variant(u"Tank 4"));
    const std::u16string_view id(progId);
    mv::ComPtr<IMvParameter> parameter;
    if (id == u"Morva.Calc.Calculation") {
        auto calc = As<IMvCalculation>(object.get());
        calc->put_FormulaType(mvcVBS_Script_Method);
        calc->put_ScriptText(mv::Bstr(u"ReturnValue = A * 3 + B").get());
        for (const char16_t* name : {u"A", u"B"}) {
            calc->AddParameter(mv::Bstr(name).get(), parameter.Put());
            parameter->put_ParameterType(mvcInput);
            parameter->put_BindingType(mvcConstant);
            parameter->put_Value(mv::Variant(2.5));
        }
    } else if (id == u"Morva.Calc.FormulaLibrary") {
        mv::ComPtr<IMvCalculation> formula;
        for (const char16_t* name : {u"Double", u"Triple"}) {
            As<IMvFormulaLibrary>(object.get())->AddFormula(mv::Bstr(name).get(), formula.Put());
            formula->AddParameter(mv::Bstr(u"X").get(), parameter.Put());
        }
    } else if (id == u"Morva.Calc.ObjCollection") {
        for (const char16_t* name : {u"Flow", u"Level", u"Pressure"}) {
            auto member = As<IMvParameter>(New(u"Morva.Calc.Parameter").get());
            member->put_Name(mv::Bstr(name).get());
            As<IMvObjCollection>(object.get())->Add(mv::Bstr(name).get(), member.get());
        }
    } else if (id == u"Morva.Calc.ScheduleGroup") {
        mv::ComPtr<IMvCalculationRef> ref;
        for (const char16_t* name : {u"First", u"Second"})
            As<IMvScheduleGroup>(object.get())->AddCalculation(mv::Bstr(name).get(), ref.Put());
    } else if (id == u"Morva.Calc.DataSet") {
        mv::ComPtr<IMvDataSetColumn> column;
        for (const char16_t* name : {u"Time", u"Value"})
            As<IMvDataSet>(object.get())->AddDataSetColumn(mv::Bstr(name).get(), column.Put());
    }
    return object;
}

Bytes StreamBytes(IStream* stream) {
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    Bytes bytes(static_cast<size_t>(stat.cbSize.QuadPart));
    stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    bytes.resize(read);
    return bytes;
}

mv::ComPtr<IStream> NewStream(const Bytes& bytes = {}) {
    mv::ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    return stream;
}

// The object's stream form (empty when it cannot be saved).
Bytes Saved(IUnknown* object) {
    auto stream = NewStream();
    auto persist = As<IPersistStream>(object);
    if (!persist || FAILED(persist->Save(stream.get(), TRUE))) return {};
    return StreamBytes(stream.get());
}

mv::ComPtr<IXMLDOMNode> NewRoot(const std::u16string& xml = u"<Row/>") {
    mv::ComPtr<IXMLDOMDocument> doc;
    mv::CreateXmlDocument(doc.Put());
    VARIANT_BOOL ok = VARIANT_FALSE;
    doc->loadXML(mv::Bstr(xml).get(), &ok);
    mv::ComPtr<IXMLDOMElement> root;
    doc->get_documentElement(root.Put());
    return mv::ComPtr<IXMLDOMNode>(root.get());
}

std::u16string XmlOf(IXMLDOMNode* node) {
    mv::Bstr xml;
    node->get_xml(xml.Out());
    return std::u16string(xml.view());
}

// The object's XML form under a <Row> element (empty when it cannot be
// saved).
std::u16string SavedXml(IUnknown* object) {
    auto root = NewRoot();
    auto persist = As<IMvPersistXML>(object);
    if (!persist || FAILED(persist->SaveXML(root.get()))) return {};
    return XmlOf(root.get());
}

Bytes FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Saves the object as the document file `path`; the file's bytes.
Bytes SavedFile(IUnknown* object, const fs::path& path) {
    const mv::Bstr file(mv::ToUtf16(path.string()));
    EXPECT_EQ(As<IMvPersistFile>(object)->SaveToFile(file.get()), S_OK);
    return FileBytes(path);
}

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class OutOfMemory : public ModuleLoad {
protected:
    void SetUp() override {
        ModuleLoad::SetUp();
        setenv("MORVA_DLL_PATH", formula_test::FormulasDir().c_str(), 1);
        // The test's folder is also the module's base folder, read once at
        // its load: rows put the calculations they bind to under Calc.
        dir_ = fs::path(MV_TEST_BINARY_DIR) / ("oom-" + std::to_string(getpid()));
        fs::create_directories(dir_ / "Calc");
        setenv("MORVA_CALC_BASE", dir_.c_str(), 1);
        module_ = LoadLibraryA(path_.c_str());
        ASSERT_NE(module_, nullptr) << mv::LoaderErrorText();
        ASSERT_EQ(Export<HResultFn>(module_, "DllRegisterServer")(), S_OK);
    }
    void TearDown() override {
        CoFreeUnusedLibrariesEx(0, 0);
        if (module_) {
            Export<HResultFn>(module_, "DllUnregisterServer")();
            FreeLibrary(module_);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
        unsetenv("MORVA_DLL_PATH");
        unsetenv("MORVA_CALC_BASE");
        ModuleLoad::TearDown();
    }

    std::vector<Scenario> PersistenceScenarios();
    std::vector<Scenario> OtherScenarios();

    HMODULE module_ = nullptr;
    fs::path dir_;
};

// The classes that persist; the first three also as document files.
const char16_t* const kPersisting[] = {
    u"Morva.Calc.Calculation",    u"Morva.Calc.FormulaLibrary", u"Morva.Calc.ObjCollection",
    u"Morva.Calc.Parameter",      u"Morva.Calc.DataSet",        u"Morva.Calc.DataSetColumn",
    u"Morva.Calc.ScheduleGroup",  u"Morva.Calc.EngUnit",        u"Morva.Calc.EngUnitType",
    u"Morva.Calc.FormulaRef",     u"Morva.Calc.CalcOLEMethod",  u"Morva.Calc.CalcOLEArg",
    u"Morva.Calc.CalculationRef", u"Morva.Calc.DravikConnect",
};
constexpr int kDocumentClasses = 3;

// A load of the document file `path`, whose object has the stream form
// `bytes`: the file stays as it was and, with no claim left on it, loads
// whole again.
std::function<std::string()> FileLoad(const char16_t* progId, const fs::path& path,
                                      const Bytes& bytes) {
    const Bytes document = FileBytes(path);
    return [=]() -> std::string {
        const mv::Bstr file(mv::ToUtf16(path.string()));
        auto target = New(progId);
        auto persist = As<IMvPersistFile>(target.get());
        const HRESULT hr = InWindow([&] { return persist->LoadFromFile(file.get()); });
        if (auto e = Answered(hr); !e.empty()) return e;
        if (hr == S_OK && Saved(target.get()) != bytes) return "partly loaded";
        if (FileBytes(path) != document) return "the file changed";
        auto again = New(progId);
        if (As<IMvPersistFile>(again.get())->LoadFromFile(file.get()) != S_OK)
            return "the file no longer loads";
        return Saved(again.get()) == bytes ? "" : "the file lost content";
    };
}

std::vector<Scenario> OutOfMemory::PersistenceScenarios() {
    std::vector<Scenario> rows;
    int index = 0;
    for (const char16_t* progId : kPersisting) {
        const std::string name = mv::ToUtf8(progId);
        const Bytes bytes = Saved(Filled(progId).get());
        const std::u16string xml = SavedXml(Filled(progId).get());
        rows.push_back({name + " stream load", [=]() -> std::string {
                            auto target = New(progId);
                            auto stream = NewStream(bytes);
                            auto persist = As<IPersistStream>(target.get());
                            const HRESULT hr =
                                InWindow([&] { return persist->Load(stream.get()); });
                            if (auto e = Answered(hr); !e.empty()) return e;
                            if (hr == S_OK && Saved(target.get()) != bytes) return "partly loaded";
                            return "";
                        }});
        rows.push_back({name + " stream save", [=]() -> std::string {
                            // A schedule group's form holds the time it was last changed.
                            auto source = Filled(progId);
                            const Bytes expected = Saved(source.get());
                            auto stream = NewStream();
                            auto persist = As<IPersistStream>(source.get());
                            const HRESULT hr =
                                InWindow([&] { return persist->Save(stream.get(), TRUE); });
                            if (auto e = Answered(hr); !e.empty()) return e;
                            if (hr == S_OK && StreamBytes(stream.get()) != expected)
                                return "partly saved";
                            if (Saved(source.get()) != expected) return "the object changed";
                            return "";
                        }});
        rows.push_back({name + " XML load", [=]() -> std::string {
                            auto target = New(progId);
                            auto root = NewRoot(xml);
                            auto persist = As<IMvPersistXML>(target.get());
                            const HRESULT hr =
                                InWindow([&] { return persist->LoadXML(root.get()); });
                            if (auto e = Answered(hr); !e.empty()) return e;
                            if (hr == S_OK && SavedXml(target.get()) != xml) return "partly loaded";
                            return "";
                        }});
        rows.push_back({name + " XML save", [=]() -> std::string {
                            auto source = Filled(progId);
                            const std::u16string expected = SavedXml(source.get());
                            auto root = NewRoot();
                            auto persist = As<IMvPersistXML>(source.get());
                            const HRESULT hr =
                                InWindow([&] { return persist->SaveXML(root.get()); });
                            if (auto e = Answered(hr); !e.empty()) return e;
                            if (hr == S_OK && XmlOf(root.get()) != expected) return "partly saved";
                            return "";
                        }});
        if (index++ >= kDocumentClasses) continue;

        const fs::path path = dir_ / (name + ".mvc");
        const mv::Bstr file(mv::ToUtf16(path.string()));
        const Bytes document = SavedFile(Filled(progId).get(), path);
        rows.push_back({name + " file load", FileLoad(progId, path, bytes)});
        rows.push_back({name + " file save", [=]() -> std::string {
                            auto source = Filled(progId);
                            mv::DispPutPropertyByName(As<IDispatch>(source.get()).get(), u"Name",
                                                      mv::Variant(u"Tank 5"));
                            const Bytes renamed = Saved(source.get());
                            auto persist = As<IMvPersistFile>(source.get());
                            const HRESULT hr =
                                InWindow([&] { return persist->SaveToFile(file.get()); });
                            if (auto e = Answered(hr); !e.empty()) return e;
                            std::string broken;
                            if (FAILED(hr) && FileBytes(path) != document)
                                broken = "the file changed";
                            auto again = New(progId);
                            if (As<IMvPersistFile>(again.get())->LoadFromFile(file.get()) != S_OK)
                                broken = "the file no longer loads";
                            else if (Saved(again.get()) != (FAILED(hr) ? bytes : renamed))
                                broken = "the file holds neither document";
                            // The next round starts from the first document.
                            std::ofstream(path, std::ios::binary | std::ios::trunc)
                                .write(reinterpret_cast<const char*>(document.data()),
                                       static_cast<std::streamsize>(document.size()));
                            return broken;
                        }});
    }
    return rows;
}

std::vector<Scenario> OutOfMemory::OtherScenarios() {
    std::vector<Scenario> rows;
    for (const char16_t* progId : kPersisting) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
        rows.push_back({mv::ToUtf8(progId) + " creation", [=]() -> std::string {
                            mv::ComPtr<IUnknown> object;
                            const HRESULT hr = InWindow([&] {
                                return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                        IID_IUnknown, object.PutVoid());
                            });
                            if (auto e = Answered(hr); !e.empty()) return e;
                            if (SUCCEEDED(hr) != static_cast<bool>(object)) return "no object";
                            return "";
                        }});
    }
    // A run of kind 3 and of kind 6; once memory is back, the next run is
    // right again.
    auto runs = [](LONG kind) {
        return [kind]() -> std::string {
            auto calc = As<IMvCalculation>(New(u"Morva.Calc.Calculation").get());
            calc->put_FormulaType(kind);
            mv::ComPtr<IMvParameter> parameter;
            double expected = 42;
            if (kind == mvcVBS_Script_Method) {
                calc->put_ScriptText(mv::Bstr(u"ReturnValue = A * 3").get());
                calc->AddParameter(mv::Bstr(u"A").get(), parameter.Put());
                parameter->put_ParameterType(mvcInput);
                parameter->put_BindingType(mvcConstant);
                parameter->put_Value(mv::Variant(4.0));
                expected = 12;
            } else {
                calc->put_DllName(mv::Bstr(u"MvTestFormulas.dll").get());
                calc->put_FunctionName(mv::Bstr(u"ReturnFortyTwo").get());
            }
            auto right = [&] {
                mv::Variant value, number;
                return calc->get_Value(&value) == S_OK &&
                       SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8)) &&
                       number.dblVal == expected;
            };
            const HRESULT hr = InWindow([&] { return calc->Calculate(); });
            if (g_escaped) return "an exception left the entry point";
            mv::Bstr error;
            calc->get_ErrorText(error.Out());
            if (hr == S_OK && error.view().empty() && !right()) return "a wrong value";
            if (calc->Calculate() != S_OK || !right()) return "the next run is wrong";
            return "";
        };
    };
    // A large document, whose allocations are sampled.
    {
        auto calc = As<IMvCalculation>(New(u"Morva.Calc.Calculation").get());
        mv::ComPtr<IMvParameter> parameter;
        for (int i = 0; i < 300; ++i) {
            calc->AddParameter(mv::Bstr(u"P" + mv::ToUtf16(std::to_string(i))).get(),
                               parameter.Put());
            parameter->put_Description(mv::Bstr(u"input of the large document").get());
        }
        const fs::path path = dir_ / "large.mvc";
        SavedFile(calc.get(), path);
        rows.push_back({"large calculation file load",
                        FileLoad(u"Morva.Calc.Calculation", path, Saved(calc.get()))});
    }
    // Values that change type on the way: running out of memory while a
    // number becomes text is no value that does not convert.
    {
        const std::u16string typed =
            u"<Row><LibraryName>Plant</LibraryName><Name "
            u"xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" "
            u"dt:dt=\"r8\">1234.56789</Name></Row>";
        auto loaded = New(u"Morva.Calc.FormulaRef");
        As<IMvPersistXML>(loaded.get())->LoadXML(NewRoot(typed).get());
        const std::u16string expected = SavedXml(loaded.get());
        rows.push_back({"Morva.Calc.FormulaRef XML load of a number name", [=]() -> std::string {
                            auto target = New(u"Morva.Calc.FormulaRef");
                            auto root = NewRoot(typed);
                            auto persist = As<IMvPersistXML>(target.get());
                            const HRESULT hr =
                                InWindow([&] { return persist->LoadXML(root.get()); });
                            if (auto e = Answered(hr); !e.empty()) return e;
                            if (hr == S_OK && SavedXml(target.get()) != expected)
                                return "partly loaded";
                            return "";
                        }});
    }
    rows.push_back(
        {"Morva.Calc.DataSet cell read as text", []() -> std::string {
             auto set = As<IMvDataSet>(New(u"Morva.Calc.DataSet").get());
             mv::Variant cell(1234.56789), row, data;
             LONG index = 0;
             for (mv::Variant* array : {&row, &data}) {
                 array->vt = VT_ARRAY | VT_VARIANT;
                 array->parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
             }
             SafeArrayPutElement(row.parray, &index, &cell);
             SafeArrayPutElement(data.parray, &index, &row);
             set->put_Data(data);
             // The cell alone, then the column as an array.
             mv::Variant single, column, element;
             SHORT level = 0, status = 0;
             const HRESULT hr = InWindow([&] {
                 HRESULT read = set->GetDS_Values(0, 0, VT_BSTR, 0, 0, &single, &level, &status);
                 if (SUCCEEDED(read))
                     read = set->GetDS_Values(0, 0, VT_BSTR, 1, 0, &column, &level, &status);
                 return read;
             });
             if (auto e = Answered(hr); !e.empty()) return e;
             if (hr != S_OK) return "";
             if (column.vt == (VT_ARRAY | VT_VARIANT))
                 SafeArrayGetElement(column.parray, &index, &element);
             for (const mv::Variant* text : {&single, &element})
                 if (text->vt != VT_BSTR || text->bstrVal != std::u16string(u"1234.56789"))
                     return "a wrong value";
             return "";
         }});
    // A calculation's parameter list: a part lost for lack of memory would
    // pass for a parameter without it.
    rows.push_back({"Morva.Calc.Calculation parameter details", []() -> std::string {
                        auto calc = As<IMvCalculation3>(Filled(u"Morva.Calc.Calculation").get());
                        auto shown = [](const VARIANT& list) {
                            std::u16string text;
                            const bool isList = list.vt == (VT_ARRAY | VT_VARIANT);
                            for (LONG r = 0; isList && r < 2; ++r) {
                                mv::Variant row;
                                SafeArrayGetElement(list.parray, &r, &row);
                                for (LONG c = 0; row.vt == (VT_ARRAY | VT_VARIANT) && c < 10; ++c) {
                                    mv::Variant cell, cellText;
                                    SafeArrayGetElement(row.parray, &c, &cell);
                                    VariantChangeType(&cellText, &cell, 0, VT_BSTR);
                                    text +=
                                        std::u16string(cellText.vt == VT_BSTR && cellText.bstrVal
                                                           ? cellText.bstrVal
                                                           : u"?") +
                                        u"|";
                                }
                            }
                            return text;
                        };
                        mv::Variant expected, details;
                        calc->ListParameterDetails(&expected);
                        const HRESULT hr =
                            InWindow([&] { return calc->ListParameterDetails(&details); });
                        if (auto e = Answered(hr); !e.empty()) return e;
                        if (hr == S_OK && shown(details) != shown(expected)) return "a part lost";
                        return "";
                    }});
    rows.push_back({"Calculate kind 3", runs(mvcVBS_Script_Method)});
    rows.push_back({"Calculate kind 6", runs(mvcDLL_Execute_Method)});
    // The last release of a loaded calculation and of a loaded library.
    for (const char16_t* progId : {u"Morva.Calc.Calculation", u"Morva.Calc.FormulaLibrary"}) {
        const Bytes bytes = Saved(Filled(progId).get());
        rows.push_back({mv::ToUtf8(progId) + " release", [=]() -> std::string {
                            auto object = New(progId);
                            As<IPersistStream>(object.get())->Load(NewStream(bytes).get());
                            IUnknown* last = object.Detach();
                            InWindow([&] {
                                last->Release();
                                return S_OK;
                            });
                            return g_escaped ? "an exception left Release" : "";
                        }});
    }
    return rows;
}

// The points of a sweep over `count` allocations: all of them, or a spread
// that takes the first and last few and evenly spaced ones between.
std::vector<size_t> Points(size_t count) {
    std::vector<size_t> points;
    if (count <= kEveryUpTo) {
        for (size_t k = 1; k <= count; ++k) points.push_back(k);
        return points;
    }
    std::set<size_t> spread;
    for (size_t i = 0; i < kSpread; ++i) spread.insert(1 + i * (count - 1) / (kSpread - 1));
    for (size_t k = 1; k <= 16; ++k) spread.insert({k, count + 1 - k});
    return {spread.begin(), spread.end()};
}

TEST_F(OutOfMemory, EveryAllocationOfALoadSaveCreationRunAndReleaseFailsCleanly) {
    std::vector<Scenario> rows = PersistenceScenarios();
    for (Scenario& row : OtherScenarios()) rows.push_back(std::move(row));
    const SweepContext context{dir_};
    for (auto* area :
         {&RegistryScenarios, &ScriptScenarios, &BindingScenarios, &RunFailureScenarios})
        for (Scenario& row : area(context)) rows.push_back(std::move(row));
    std::vector<mv_test::Allocator> allocators{mv_test::Allocator::New};
    if (mv_test::CanFailCAllocator()) allocators.push_back(mv_test::Allocator::C);
    for (mv_test::Allocator allocator : allocators) {
        g_allocator = allocator;
        for (const Scenario& row : rows) {
            SCOPED_TRACE(row.name + (allocator == mv_test::Allocator::C ? " (C allocator)"
                                                                        : " (operator new)"));
            g_failAt = 0;
            g_escaped = false;
            // The first run makes what a process makes once; the second counts.
            ASSERT_EQ(row.run(), "");
            ASSERT_EQ(row.run(), "");
            const size_t count = g_counted;
            // Taken after the first failure, which may open the log file.
            size_t descriptors = 0;
            int failures = 0;
            for (size_t k : Points(count)) {
                g_failAt = k;
                g_escaped = false;
                std::string broken = row.run();
                if (descriptors == 0) descriptors = OpenDescriptors();
                if (broken.empty() && OpenDescriptors() != descriptors)
                    broken = "a descriptor is left";
                if (!broken.empty() && ++failures <= 3)
                    ADD_FAILURE() << "allocation " << k << " of " << count << ": " << broken;
            }
            g_failAt = 0;
            EXPECT_EQ(row.run(), "") << "once memory is back";
        }
    }
    g_allocator = mv_test::Allocator::New;
}

}  // namespace
