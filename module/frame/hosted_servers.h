// Fixed-DISPID wrappers of the hosted automation servers: the spreadsheet
// server ("MvFunctions.clsExcelServer"), the ADO server
// ("MvFunctions.clsAdoServer") and the two recipe servers (below). The
// identifiers, parameter kinds and result types are the module's contract
// with those servers.
//
// Every wrapper invokes its identifier as a method on the interface it is
// given (from the object-server thread's getters). The spreadsheet and ADO
// wrappers pass every parameter by reference. Where marked "copy", the
// wrapper passes a fresh copy of the caller's BSTR and frees it after the
// call, so that a change the server makes to it never reaches the caller;
// all other arguments are the caller's own variables, and the server's
// changes to them do reach the caller.
//
// The spreadsheet and ADO wrappers catch nothing: a failed call (a member
// that raised an exception, a bad argument, a missing method, a null
// interface) throws COleDispatchException (exceptions.h). A VARIANT result
// is the caller's to keep; an IDispatch result is the caller's one
// reference.
#pragma once

#include <exception>
#include <string>

#include "com.h"

// Spreadsheet server. The strings are copied (a null pointer or a null BSTR
// passes a null BSTR); row, column, value and flag are the caller's own.
mv::Variant ExcelServer_Call60030004(IDispatch* server, BSTR* workbook);
mv::Variant ExcelServer_Call60030007(IDispatch* server, BSTR* workbook, BSTR* sheet, SHORT* row,
                                     SHORT* column, VARIANT* value);
mv::Variant ExcelServer_Call6003000E(IDispatch* server, BSTR* workbook, BSTR* sheet,
                                     BSTR* definedName, VARIANT* value);
mv::Variant ExcelServer_Call6003000A(IDispatch* server, BSTR* workbook, BSTR* sheet, BSTR* command);
// Recalculates; whatever the server returns is dropped.
void ExcelServer_Call60030008(IDispatch* server, BSTR* workbook, BSTR* sheet);
mv::Variant ExcelServer_Call60030009(IDispatch* server, BSTR* workbook, BSTR* sheet, SHORT* row,
                                     SHORT* column);
mv::Variant ExcelServer_Call6003000F(IDispatch* server, BSTR* workbook, BSTR* sheet,
                                     BSTR* definedName);
mv::Variant ExcelServer_Call60030005(IDispatch* server, BSTR* workbook, VARIANT_BOOL* save);
mv::Variant ExcelServer_Call60030010(IDispatch* server, BSTR* workbook, BSTR* sheet);

// ADO server. Every argument is the caller's own variable.
mv::Variant AdoServer_Call60030001(IDispatch* server, BSTR* connection, BSTR* user, BSTR* password,
                                   LONG* options);
// The record set, or null when the server returned none.
IDispatch* AdoServer_Call60030000(IDispatch* server, BSTR* connection, BSTR* query,
                                  VARIANT* errorText);
mv::Variant AdoServer_Call60030004(IDispatch* server, IDispatch** recordSet, VARIANT_BOOL* flag,
                                   VARIANT* rows);
mv::Variant AdoServer_Call60030003(IDispatch* server, IDispatch** recordSet, VARIANT* fieldNames,
                                   VARIANT* fieldTypes);
mv::Variant AdoServer_Call60030002(IDispatch* server, BSTR* connection);

// Recipe servers ("MvDRVSVR.IDataAccess" and "MvDRVSVR.IControlRecipe").
// The connection and the error text are the caller's own variables, passed
// by reference; the settings and identifiers go by value. Each answers the
// server's VT_BOOL; a failed call (a raised exception, a missing method, a
// null interface, a result that is no boolean) counts as false and throws
// nothing.
//
// Data access: a new connection object into *connection.
bool DataAccessServer_Call60030000(IDispatch* server, IDispatch** connection, BSTR* errorText);
// Data access: opens *connection with the five settings.
bool DataAccessServer_Call60030002(IDispatch* server, IDispatch** connection, BSTR sqlServer,
                                   BSTR sqlDriver, BSTR database, BSTR user, BSTR password,
                                   BSTR* errorText);
// Control recipe: selects the control recipe on the open connection.
bool ControlRecipeServer_Call60030002(IDispatch* server, IDispatch** connection, SHORT controlId,
                                      BSTR* errorText);
// Control recipe: reads one parameter of one item into *value.
bool ControlRecipeServer_Call60030000(IDispatch* server, IDispatch** connection, SHORT controlId,
                                      SHORT itemId, SHORT parameterId, VARIANT* value,
                                      BSTR* errorText);
// Control recipe: writes `value` (a copy) to one parameter of one item.
bool ControlRecipeServer_Call60030001(IDispatch* server, IDispatch** connection, SHORT controlId,
                                      SHORT itemId, SHORT parameterId, const VARIANT& value,
                                      BSTR* errorText);

// The text of an exception that an ADO server call threw: the dispatch
// failure's message (at most 1,023 characters), else "Exception Occurred in
// ADO Server.".
std::string AdoServer_ExceptionText(std::exception_ptr error);
