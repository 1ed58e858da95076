// The spreadsheet formula's failure texts and workbook lock, shared by the
// executor and its tests.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "base.h"

// The five per-parameter calls of a spreadsheet run.
enum class MvExcelCall { CellWrite, NameWrite, Command, CellRead, NameRead };

// Where a call went: the sheet, the cell (row, column) or the defined name
// (for a command: the command).
struct MvExcelTarget {
    std::string Sheet;
    LONG Row = 0;
    LONG Column = 0;
    std::string Name;
};

// The message a failed call appends to the run's collected text: a framework
// exception's message in the call's own form, a standard logic or runtime
// error in the common form, anything else the call's form without a message.
std::string MvExcelCallFailureText(std::exception_ptr error, MvExcelCall call,
                                   const MvExcelTarget& target);

// The message of a cell that a 16-bit row or column cannot carry: the call's
// form without a message, with the full numbers.
std::string MvExcelCellRangeText(MvExcelCall call, const MvExcelTarget& target);

// The message of a failed open (`closing` false) or close of the workbook
// file: "Error opening workbook '%s'. %s.\n" with the exception's message,
// or "Error opening workbook '%s'.\n" when it has none ("closing" likewise).
std::string MvExcelWorkbookFailureText(std::exception_ptr error, const std::string& file,
                                       bool closing);

// The workbook's name as the spreadsheet server knows it: the text after the
// last "\" or "/" of the file name.
std::string MvExcelWorkbookName(const std::string& file);

// The process-wide lock of one workbook, by its name (MvExcelWorkbookName)
// with ASCII letters folded, so two paths to one workbook share it. Runs on
// one workbook hold it from the open to the close (or the last read), so one
// run's inputs never meet another run's outputs; closing the workbook and
// listing its names hold it too. No calculation's lock is taken under it.
std::shared_ptr<std::mutex> MvExcelWorkbookLock(const std::string& file);
