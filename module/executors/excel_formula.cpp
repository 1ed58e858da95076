// The spreadsheet formula: a workbook on the spreadsheet server of the
// object-server thread computes the outputs from the inputs. Every server
// call goes through the fixed-DISPID wrappers, which carry it to that thread.
#include "executors/excel_formula.h"

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "calculation/calculation.h"
#include "exceptions.h"
#include "frame/exception_text.h"
#include "frame/hosted_servers.h"
#include "frame/object_server.h"
#include "frame/trace.h"

namespace {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

// The call's message; `message` null gives the form without one.
std::string CallText(MvExcelCall call, const MvExcelTarget& t, const char* message) {
    const char* sheet = t.Sheet.c_str();
    const char* name = t.Name.c_str();
    const int row = static_cast<int>(t.Row);
    const int column = static_cast<int>(t.Column);
    if (message) {
        switch (call) {
            case MvExcelCall::CellWrite:
                return Format("Error storing value in Sheet: '%s' Cell(%d, %d). %s.\n", sheet, row,
                              column, message);
            case MvExcelCall::NameWrite:
                return Format("Error storing value in Sheet: '%s' Range '%s'. %s.\n", sheet, name,
                              message);
            case MvExcelCall::Command:
                return Format("Error Executing Command: '%s'. %s.\n", name, message);
            case MvExcelCall::CellRead:
                return Format("Error reading value from Sheet: '%s' Cell(%d, %d). %s.\n", sheet,
                              row, column, message);
            case MvExcelCall::NameRead:
                return Format("Error reading value from Sheet: '%s' Cell '%s'. %s.\n", sheet, name,
                              message);
        }
    }
    switch (call) {
        case MvExcelCall::CellWrite:
            return Format("Error storing value in Sheet: '%s' Cell(%d, %d).\n", sheet, row, column);
        case MvExcelCall::NameWrite:
            return Format("Error storing value in Sheet: '%s' Range '%s'.\n", sheet, name);
        case MvExcelCall::Command:
            return Format("Error Executing Command: '%s'.\n", name);
        case MvExcelCall::CellRead:
            return Format("Error reading value from Sheet: '%s' Cell(%d, %d).\n", sheet, row,
                          column);
        case MvExcelCall::NameRead:
            return Format("Error reading value from Sheet: '%s' Cell '%s'.\n", sheet, name);
    }
    return {};
}

// A VARIANT_BOOL false: what the writes and the command give on failure.
bool IsFalse(const VARIANT& result) {
    return result.vt == VT_BOOL && result.boolVal == VARIANT_FALSE;
}

bool IsEmptyString(const VARIANT& result) {
    return result.vt == VT_BSTR && SysStringLen(result.bstrVal) == 0;
}

bool FitsShort(LONG value) {
    return value >= INT16_MIN && value <= INT16_MAX;
}

// What one ParamInfo entry names in the workbook, read before any write.
struct Address {
    mv::Bstr Sheet;
    mv::Bstr Method;
    MvExcelTarget Target;
    bool IsCell() const { return Target.Row != 0 && Target.Column != 0; }
};

Address ReadAddress(IMvParameter* parameter) {
    Address a;
    if (!parameter) return a;
    (void)parameter->get_SpreadSheetName(a.Sheet.Out());
    (void)parameter->get_SpreadSheetRow(&a.Target.Row);
    (void)parameter->get_SpreadSheetColumn(&a.Target.Column);
    (void)parameter->get_SpreadSheetMethod(a.Method.Out());
    a.Target.Sheet = a.Sheet.Utf8();
    a.Target.Name = a.Method.Utf8();
    return a;
}

// One run's calls on an open workbook: the collected messages grow by one
// per failed call, and the run goes on.
class WorkbookRun {
public:
    WorkbookRun(IDispatch* server, BSTR workbook, std::string& collected)
        : server_(server), workbook_(workbook), collected_(collected) {}

    void Write(const Address& a, VARIANT* value) {
        MvExcelCall call = a.IsCell() ? MvExcelCall::CellWrite : MvExcelCall::NameWrite;
        if (!a.IsCell() && a.Method.Length() == 0) return;
        if (a.IsCell() && !InRange(a, call)) return;
        try {
            mv::Variant result;
            BSTR sheet = a.Sheet.get();
            if (a.IsCell()) {
                SHORT row = static_cast<SHORT>(a.Target.Row);
                SHORT column = static_cast<SHORT>(a.Target.Column);
                result =
                    ExcelServer_Call60030007(server_, &workbook_, &sheet, &row, &column, value);
            } else {
                BSTR name = a.Method.get();
                result = ExcelServer_Call6003000E(server_, &workbook_, &sheet, &name, value);
            }
            if (!IsFalse(result)) return;
            collected_ += a.IsCell() ? CallText(call, a.Target, nullptr)
                                     : Format("Error storing value in Sheet: '%s' Cell '%s'.\n",
                                              a.Target.Sheet.c_str(), a.Target.Name.c_str());
        } catch (...) {
            collected_ += MvExcelCallFailureText(std::current_exception(), call, a.Target);
        }
    }

    void Command(const Address& a) {
        try {
            BSTR sheet = a.Sheet.get();
            BSTR command = a.Method.get();
            mv::Variant result = ExcelServer_Call6003000A(server_, &workbook_, &sheet, &command);
            if (IsFalse(result)) collected_ += CallText(MvExcelCall::Command, a.Target, nullptr);
        } catch (...) {
            collected_ +=
                MvExcelCallFailureText(std::current_exception(), MvExcelCall::Command, a.Target);
        }
    }

    // The value read, Empty when nothing was read.
    mv::Variant Read(const Address& a) {
        MvExcelCall call = a.IsCell() ? MvExcelCall::CellRead : MvExcelCall::NameRead;
        if (!a.IsCell() && a.Method.Length() == 0) return {};
        if (a.IsCell() && !InRange(a, call)) return {};
        try {
            BSTR sheet = a.Sheet.get();
            if (a.IsCell()) {
                SHORT row = static_cast<SHORT>(a.Target.Row);
                SHORT column = static_cast<SHORT>(a.Target.Column);
                return ExcelServer_Call60030009(server_, &workbook_, &sheet, &row, &column);
            }
            BSTR name = a.Method.get();
            return ExcelServer_Call6003000F(server_, &workbook_, &sheet, &name);
        } catch (...) {
            collected_ += MvExcelCallFailureText(std::current_exception(), call, a.Target);
        }
        return {};
    }

private:
    // A cell beyond 16 bits is reported and not sent to the server.
    bool InRange(const Address& a, MvExcelCall call) {
        if (FitsShort(a.Target.Row) && FitsShort(a.Target.Column)) return true;
        collected_ += MvExcelCellRangeText(call, a.Target);
        return false;
    }

    IDispatch* server_;
    BSTR workbook_;
    std::string& collected_;
};

}  // namespace

std::string MvExcelCallFailureText(std::exception_ptr error, MvExcelCall call,
                                   const MvExcelTarget& target) {
    try {
        std::rethrow_exception(error);
    } catch (const CException&) {
        return CallText(call, target, MvExceptionText(error, 256).c_str());
    } catch (const std::logic_error&) {
        return MvExceptionText(error);
    } catch (const std::runtime_error&) {
        return MvExceptionText(error);
    } catch (...) {
        return CallText(call, target, nullptr);
    }
}

std::string MvExcelCellRangeText(MvExcelCall call, const MvExcelTarget& target) {
    return CallText(call, target, nullptr);
}

std::string MvExcelWorkbookFailureText(std::exception_ptr error, const std::string& file,
                                       bool closing) {
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const CException&) {
        message = MvExceptionText(error, 256);
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
    }
    const char* verb = closing ? "closing" : "opening";
    if (message.empty()) return Format("Error %s workbook '%s'.\n", verb, file.c_str());
    return Format("Error %s workbook '%s'. %s.\n", verb, file.c_str(), message.c_str());
}

std::string MvExcelWorkbookName(const std::string& file) {
    // A Linux path separates with "/", a stored Windows one with "\".
    const std::size_t slash = file.find_last_of("\\/");
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

std::shared_ptr<std::mutex> MvExcelWorkbookLock(const std::string& file) {
    static std::mutex mapLock;
    static std::map<std::string, std::shared_ptr<std::mutex>> locks;
    std::string key = MvExcelWorkbookName(file);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::lock_guard<std::mutex> guard(mapLock);
    auto& lock = locks[key];
    if (!lock) lock = std::make_shared<std::mutex>();
    return lock;
}

void CMvCalculation::Excel_Execute(const ParamInfoTable& table) {
    static constexpr const char* kName = "CMvCalculation::Excel_Execute";
    std::string collected;
    std::string failure;
    try {
        MvStepFrame step(kName);
        mv::ComPtr<IDispatch> server;
        server.Attach(ObjectServer_GetExcelServer());
        if (!server) {
            CharString reason;
            (void)ObjectServer_CheckExcelServer(reason);
            AddError(reason.IsEmpty() ? "Error Getting Excel Server Dispatch\n" : reason.CStr());
            return;
        }
        std::string file;
        SHORT closeAfter = 0;
        {
            mv::ObjectLock lock(this);
            file = m_ExcelFileName;
            closeAfter = m_CloseExcelAfterExecuting;
        }
        if (file.empty()) return;

        // From here to the close only a parameter's own lock and the log's
        // are taken; the error text is written after the workbook is let go.
        std::shared_ptr<std::mutex> workbookLock = MvExcelWorkbookLock(file);
        std::lock_guard<std::mutex> holder(*workbookLock);
        bool opening = true;
        try {
            mv::Bstr fileName(file);
            BSTR fileArg = fileName.get();
            mv::Variant opened = ExcelServer_Call60030004(server.get(), &fileArg);
            opening = false;
            mv::Bstr workbook;
            if (opened.vt == VT_BSTR)
                workbook = mv::Bstr::Attach(std::exchange(opened.bstrVal, nullptr));
            opened.vt = VT_EMPTY;

            std::vector<Address> addresses;
            addresses.reserve(table.Records.size());
            for (const ParamInfo& record : table.Records)
                addresses.push_back(ReadAddress(record.Parameter.get()));

            WorkbookRun run(server.get(), workbook.get(), collected);
            bool recalculate = true;
            for (std::size_t i = 0; i < table.Records.size(); ++i) {
                const ParamInfo& record = table.Records[i];
                if (!(record.ParameterType & mvcInput) || !record.Parameter) continue;
                mv::Variant value;
                (void)record.Parameter->get_Value(&value);
                recalculate = false;
                run.Write(addresses[i], &value);
            }
            for (std::size_t i = 0; i < table.Records.size(); ++i) {
                if (table.Records[i].ParameterType != mvcCommand) continue;
                recalculate = false;
                run.Command(addresses[i]);
            }
            if (recalculate) {
                std::vector<mv::Bstr> sheets;
                sheets.reserve(addresses.size());
                for (Address& a : addresses) sheets.push_back(a.Sheet);
                calculate_excel_sheets(server.get(), workbook.get(), sheets);
            }
            for (std::size_t i = 0; i < table.Records.size(); ++i) {
                const ParamInfo& record = table.Records[i];
                if (!(record.ParameterType & mvcOutput) || !record.Parameter) continue;
                mv::Variant value = run.Read(addresses[i]);
                if (value.vt & VT_ARRAY) {
                    collected += Format(
                        "Error reading %s, multiple cell ranges cannot be used for Morva Calc "
                        "outputs.\n",
                        addresses[i].Target.Name.c_str());
                    continue;
                }
                (void)record.Parameter->put_Value(value);
            }
            if (closeAfter != 0) {
                BSTR workbookArg = workbook.get();
                VARIANT_BOOL save = VARIANT_FALSE;
                try {
                    (void)ExcelServer_Call60030005(server.get(), &workbookArg, &save);
                } catch (...) {
                    failure = MvExcelWorkbookFailureText(std::current_exception(), file, true);
                    MvLogErrorHr(kName, E_UNEXPECTED);
                }
            }
        } catch (...) {
            failure = opening ? MvExcelWorkbookFailureText(std::current_exception(), file, false)
                              : MvRunExceptionText(std::current_exception());
            MvLogErrorHr(kName, E_UNEXPECTED);
        }
    } catch (...) {
        failure = MvRunExceptionText(std::current_exception());
        MvLogErrorHr(kName, E_UNEXPECTED);
    }
    if (!collected.empty() || !failure.empty()) AddError(collected + failure);
}

void CMvCalculation::calculate_excel_sheets(IDispatch* server, BSTR workbook,
                                            const std::vector<mv::Bstr>& sheets) {
    static constexpr const char* kName = "CMvCalculation::calculate_excel_sheets";
    try {
        MvStepFrame step(kName);
        std::u16string last;
        for (const mv::Bstr& sheet : sheets) {
            if (sheet.Length() == 0 || sheet.view() == last) continue;
            last = sheet.view();
            BSTR workbookArg = workbook;
            BSTR sheetArg = sheet.get();
            ExcelServer_Call60030008(server, &workbookArg, &sheetArg);
        }
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
    }
}

std::pair<std::string, mv::ComPtr<IDispatch>> CMvCalculation::ExcelFileAndServer() {
    std::pair<std::string, mv::ComPtr<IDispatch>> found;
    {
        mv::ObjectLock lock(this);
        found.first = m_ExcelFileName;
    }
    if (!found.first.empty()) found.second.Attach(ObjectServer_GetExcelServer());
    return found;
}

HRESULT CMvCalculation::ExcelAutoAddParameters() {
    static constexpr const char* kName = "CMvCalculation::ExcelAutoAddParameters";
    return MvMethodFrame(kName, [&] {
        auto [file, server] = ExcelFileAndServer();
        if (file.empty() || !server) return S_OK;
        mv::Bstr fileName(file);
        BSTR fileArg = fileName.get();
        mv::Variant names;
        {
            // The workbook is let go before the parameters are added: no
            // calculation's lock is taken under a workbook's.
            std::shared_ptr<std::mutex> workbookLock = MvExcelWorkbookLock(file);
            std::lock_guard<std::mutex> holder(*workbookLock);
            mv::Variant opened = ExcelServer_Call60030004(server.get(), &fileArg);
            if (IsEmptyString(opened)) opened = ExcelServer_Call60030004(server.get(), &fileArg);
            if (IsEmptyString(opened)) {
                MvLogErrorHr(kName, E_FAIL);
                return E_FAIL;
            }
            BSTR workbook = opened.vt == VT_BSTR ? opened.bstrVal : nullptr;
            mv::Bstr firstSheet(u"");
            BSTR sheet = firstSheet.get();
            names = ExcelServer_Call60030010(server.get(), &workbook, &sheet);
        }
        AutoAddParameters(&names, nullptr);
        return S_OK;
    });
}

HRESULT CMvCalculation::UnloadExcelFile() {
    return MvMethodFrame("CMvCalculation::UnloadExcelFile", [&] {
        auto [file, server] = ExcelFileAndServer();
        if (file.empty() || !server) return S_OK;
        mv::Bstr workbook(MvExcelWorkbookName(file));
        BSTR workbookArg = workbook.get();
        VARIANT_BOOL save = VARIANT_FALSE;
        std::shared_ptr<std::mutex> workbookLock = MvExcelWorkbookLock(file);
        std::lock_guard<std::mutex> holder(*workbookLock);
        (void)ExcelServer_Call60030005(server.get(), &workbookArg, &save);
        return S_OK;
    });
}

HRESULT CMvCalculation::SaveExcelFile() {
    return MvMethodFrame("CMvCalculation::SaveExcelFile", [] { return S_OK; });
}
