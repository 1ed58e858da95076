// Stand-ins of the five hosted automation servers and their control surface
// for tests.
//
// The servers are COM classes with a table-driven IDispatch. A test makes
// them creatable with RegisterServers: their class objects go into the
// process-local class table and their ProgIDs into the registry store
// (HKEY_CLASSES_ROOT\<ProgID>\CLSID), so CLSIDFromProgID and
// CoCreateInstance find them as they find any registered server.
//
// Every method records its call.
//
// Spreadsheet server ("MvFunctions.clsExcelServer"), every parameter by
// reference, on workbooks seeded by file name (SeedWorkbook). A workbook is
// found by the file's base name (after the last "/" or "\\"), ASCII case
// folded; an empty sheet name means the first sheet. A call on an unknown or
// closed workbook, or on an unknown sheet, raises a dispatch exception.
//   0x60030004 Open(file): opens the workbook; VT_BSTR, the base name.
//   0x60030005 Close(workbook, save): marks it closed; VT_EMPTY.
//   0x60030007 PutCell(workbook, sheet, row, column, value): VT_BOOL true.
//   0x60030008 Recalculate(workbook, sheet): recorded only.
//   0x60030009 GetCell(workbook, sheet, row, column): the cell's value (a
//     computed cell is evaluated now), VT_EMPTY for an empty cell.
//   0x6003000A Command(workbook, sheet, command): VT_BOOL, what the command
//     registered by that name answers; false for an unknown command.
//   0x6003000E PutName(workbook, sheet, name, value): stores the value in
//     every cell of the name; VT_BOOL true, false for an unknown name.
//   0x6003000F GetName(workbook, sheet, name): one cell's value, or a range
//     as a 2-D VT_ARRAY | VT_VARIANT; an unknown name raises.
//   0x60030010 Names(workbook, sheet): VT_ARRAY | VT_VARIANT, bounds 0..2:
//     element 0 the sheet's name, elements 1 and 2 VT_ARRAY | VT_BSTR of the
//     defined names and their contents, from 0, one element per name.
// SetResult and SetFailure override this behaviour. The ADO server works
// on SQLite databases, the data-access and control-recipe servers on a
// recipe database seeded by the test; the configuration server answers only
// its ProgID property (DISPID 1), which every recipe server has. Everything
// here is process-wide and thread-safe.
//
// ADO server ("MvFunctions.clsAdoServer"), every parameter by reference:
//   0x60030001 Connect(name, user, password, options): opens the database of
//     the data source `name` (WriteDataSource), read-write and never
//     creating it; one connection per name (a second connect keeps the one
//     open). VT_BOOL true, else VT_BSTR with the reason. User, password and
//     options are recorded, not checked.
//   0x60030002 Close(name): VT_BOOL true, else VT_BSTR (not connected).
//   0x60030000 Query(name, sql, error): runs exactly one statement that
//     returns columns, over the open connection of `name` (or, when none is
//     open, over one opened for this query alone), reads every row and
//     returns a free-threaded record set that holds no database handle, so
//     any thread may release it; else a null record set and a VT_BSTR in
//     `error`. Success leaves `error` as it was.
//   0x60030003 FieldInfo(recordSet, names, types): the column names (VT_BSTR)
//     and ADO type numbers (VT_I4) from the declared types, by SQLite's
//     affinity rules (INT: 3; CHAR, CLOB, TEXT: 202; BLOB: 205; REAL, FLOA,
//     DOUB: 5; anything else or none: 12), each as VT_ARRAY | VT_VARIANT;
//     VT_BOOL true. Anything but a record set of this server: VT_BSTR, the
//     two arrays untouched.
//   0x60030004 ReadRows(recordSet, flag, rows): VT_ARRAY | VT_VARIANT of
//     rows, each VT_ARRAY | VT_VARIANT of its cells in column order (an
//     integer as VT_I4, or VT_I8 beyond 32 bits; a real VT_R8; text VT_BSTR;
//     NULL VT_NULL; a blob VT_ARRAY | VT_UI1); VT_BOOL true. The flag is
//     recorded only. A foreign record set as for FieldInfo.
//
// Data-access server ("MvDRVSVR.IDataAccess"), each method answering a
// VT_BOOL; the connection and the error text by reference:
//   0x60030000 (connection, error): a new connection object, unopened (the
//     one the argument held is released).
//   0x60030002 (connection, server, driver, database, user, password [five
//     BSTRs by value], error): opens the connection; the settings are
//     recorded, not checked.
// Control-recipe server ("MvDRVSVR.IControlRecipe"), control, item and
// parameter IDs as 16-bit integers by value:
//   0x60030002 (connection, control, error): accepts a seeded control ID.
//   0x60030000 (connection, control, item, parameter, value [by reference],
//     error): reads the seeded value.
//   0x60030001 (connection, control, item, parameter, value [by value],
//     error): stores the value over a seeded one.
// A recipe method answers false and sets the error text when the connection
// is not an open connection of the data-access server, the control ID or
// value is not seeded, or a refusal is set (SetRefusal). The error text is
// left as the caller passed it on success and on a refusal without a text.
// Connection objects are free-threaded, so the apartment's proxies hand them
// over unwrapped.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "com.h"

namespace hosted {

enum class Server : int {
    Excel = 0,          // "MvFunctions.clsExcelServer"
    Ado = 1,            // "MvFunctions.clsAdoServer"
    Configuration = 2,  // "MvDRVSVR.IConfiguration"
    ControlRecipe = 3,  // "MvDRVSVR.IControlRecipe"
    DataAccess = 4,     // "MvDRVSVR.IDataAccess"
};
constexpr int kServerCount = 5;

constexpr unsigned Bit(Server s) {
    return 1u << static_cast<int>(s);
}
constexpr unsigned kAllServers = (1u << kServerCount) - 1;
constexpr unsigned kFunctionServers = Bit(Server::Excel) | Bit(Server::Ado);

const char* ProgId(Server s);
const CLSID& ClassId(Server s);

// Registers the servers of `mask` (class objects and ProgIDs). S_OK, or the
// first failure (the others are still tried). Registering one twice keeps
// one registration.
HRESULT RegisterServers(unsigned mask = kAllServers);
// Revokes every class object registered here and removes the five ProgID
// keys, so that no ProgID of a stand-in resolves afterwards.
void RevokeServers();

// One call a stand-in received: its DISPID, its arguments as text (a BSTR's
// text, "(null)" for a null BSTR; a number in decimal; a VARIANT_BOOL as -1
// or 0; a VARIANT as its text, or "vt=<n>" when it has none; an IDispatch
// as "object" or "(null)") and the thread it ran on.
struct Call {
    Server server;
    DISPID id;
    std::vector<std::string> args;
    std::thread::id thread;
};
std::vector<Call> Calls();

// Creation of `s` fails with `hr` (S_OK: succeeds).
void SetCreateFailure(Server s, HRESULT hr);
// Method `id` of `s` returns `result` (copied; an object is held until
// Reset) instead of doing its work.
void SetResult(Server s, DISPID id, const VARIANT& result);
// Method `id` of `s` raises an exception with `code` and `description`.
void SetFailure(Server s, DISPID id, HRESULT code, std::u16string description);
// When on, every method writes back its by-reference arguments instead of
// doing its work: each BSTR becomes "changed", each 16- or 32-bit integer
// grows by one, each VARIANT_BOOL flips, and each VARIANT becomes the text
// "changed"; it then returns VT_EMPTY (the ADO query: a null record set).
void SetRewriteArguments(bool on);

// Objects of `s` alive now, and created since the last Reset.
int LiveObjects(Server s);
int Creations(Server s);

// Calls of method `id` of `s` since the last Reset.
int CallCount(Server s, DISPID id);

enum class Counter : int {
    AdoConnects = 0,         // databases opened by the ADO connect
    AdoQueries,              // record sets made by the ADO query
    AdoFetches,              // row sets handed out by the ADO ReadRows
    RecordSetsAlive,         // ADO record sets not yet released
    RecipeConnectionsAlive,  // data-access connection objects not yet released
};
int Count(Counter c);

// Writes the data source `name` into the registry store: key
// HKEY_LOCAL_MACHINE\SOFTWARE\ODBC\ODBC.INI\<name>, value "Database"
// (REG_SZ) holding `databasePath`.
HRESULT WriteDataSource(std::string_view name, std::string_view databasePath);

// The recipe database. A seeded control ID is accepted by 0x60030002; a
// seeded value is read by 0x60030000 and replaced by 0x60030001 (seeding a
// value seeds its control ID too).
void SeedControlId(SHORT controlId);
void SeedRecipeValue(SHORT controlId, SHORT itemId, SHORT parameterId, const VARIANT& value);
// The value held now for the three IDs (VT_EMPTY when none is seeded).
mv::Variant RecipeValue(SHORT controlId, SHORT itemId, SHORT parameterId);
// While on, recipe method `id` of `s` answers false, with `text` in its
// error text (none when empty), and does nothing else.
void SetRefusal(Server s, DISPID id, bool on, std::u16string text = {});

// The spreadsheet server's workbooks. A seeded workbook starts closed unless
// `open`; seeding one again replaces it.
using CellReader = std::function<mv::Variant(std::u16string_view sheet, SHORT row, SHORT column)>;
// A computed cell: evaluated on every read, over the workbook's cells.
using CellFormula = std::function<mv::Variant(const CellReader& read)>;
void SeedWorkbook(std::u16string_view file, std::vector<std::u16string> sheets, bool open = false);
void SeedCell(std::u16string_view workbook, std::u16string_view sheet, SHORT row, SHORT column,
              const VARIANT& value);
void SeedComputedCell(std::u16string_view workbook, std::u16string_view sheet, SHORT row,
                      SHORT column, CellFormula formula);
// A defined name of `rows` x `columns` cells from (row, column), with the
// content text that the name list reports.
void SeedName(std::u16string_view workbook, std::u16string_view name, std::u16string_view sheet,
              SHORT row, SHORT column, SHORT rows, SHORT columns, std::u16string_view content);
// The command of that name (for every workbook) answers what `command` does.
void SetCommand(std::u16string_view name, std::function<bool()> command);
// A cell's stored value (VT_EMPTY when none), and whether a workbook is open.
mv::Variant CellValue(std::u16string_view workbook, std::u16string_view sheet, SHORT row,
                      SHORT column);
bool IsWorkbookOpen(std::u16string_view workbook);

// Forgets the workbooks and commands, calls, results, failures, refusals, the recipe database, the
// rewrite switch, the creation counts and the counters of things done (live
// objects, record sets and connections keep being counted).
void Reset();

}  // namespace hosted
