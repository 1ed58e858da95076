// The script language's syntax tree and its parser.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "script.h"

namespace mv::script {

// A place in the source: 0-based line and column (in UTF-16 code units).
struct Position {
    ULONG line = 0;
    LONG column = 0;
};

// A compile error: its number (1002 "Syntax error", ...) and where it is.
struct SyntaxError {
    LONG number;
    Position at;
};

enum class Operator {
    Pow,
    Neg,
    Mul,
    Div,
    Idiv,
    Mod,
    Add,
    Sub,
    Cat,
    Eq,
    Ne,
    Lt,
    Le,
    Gt,
    Ge,
    Is,
    Not,
    And,
    Or,
    Xor,
};

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

// An expression: a literal, an operator, a reference (a name, a member of
// an object, either with arguments: a variable, an array element, a call),
// or an argument left out of a call list.
struct Expr {
    enum class Kind { Literal, Unary, Binary, Ref, Missing } kind;
    Position at;
    Variant value;                // Literal
    Operator op = Operator::Add;  // Unary, Binary
    ExprPtr left, right;          // operands; Ref: left is the object of a member
    std::u16string name;          // Ref: the name, folded to lower case
    std::u16string spelling;      // Ref: the name as written
    std::vector<ExprPtr> args;    // Ref
    bool parens = false;          // Ref: arguments in parentheses (even none)
    bool grouped = false;         // written in parentheses of its own: passed by value
    uint32_t id = 0;              // Ref without an object: its name's number in the program
    uint32_t local = 0;  // the same inside a procedure, of one of its declared names: 1 + its index
    int depth = 1;       // of its tree, bounded (evaluation recurses)
    Expr* nextDead = nullptr;  // the destructor's chain of nodes still to take apart

    Expr() = default;
    Expr(const Expr&) = delete;
    Expr& operator=(const Expr&) = delete;
    ~Expr();
};

struct Stmt;
using Block = std::vector<std::unique_ptr<Stmt>>;

struct DimItem {
    std::u16string name;
    std::vector<ExprPtr> bounds;  // upper bounds; none for a scalar
    bool array = false;           // with parentheses (Dim a() is a dynamic array)
};

struct CaseClause {
    std::vector<ExprPtr> values;  // empty: Case Else
    Block body;
};

struct Procedure {
    std::u16string name;  // folded
    bool function = false;
    std::vector<std::u16string> params;  // folded
    std::vector<bool> byVal;
    std::vector<std::u16string> locals;  // folded names its Dims declare, wherever they stand
    // Its parameters, then its locals that are no parameter: each once.
    std::vector<std::u16string> declared;
    Block body;

    // The index of a name in `declared`, or -1.
    int Declared(const std::u16string& folded) const;
};

struct Stmt {
    enum class Kind {
        Assign,
        Set,
        Call,
        Dim,
        ReDim,
        Erase,
        Const,
        If,
        Select,
        For,
        ForEach,
        DoLoop,
        ExitDo,
        ExitFor,
        ExitFunction,
        ExitSub,
        ResumeNext,
        GoTo0,
    } kind;
    Position at;
    ExprPtr target;       // Assign, Set: the place; Call: the reference called; For: the variable
    ExprPtr value;        // Assign, Set; If/DoLoop: the condition; Select: the tested value;
                          // For: the start; ForEach: the collection
    ExprPtr limit, step;  // For
    std::vector<DimItem> dims;                               // Dim, ReDim
    std::vector<ExprPtr> arrays;                             // Erase: the variables, in order
    bool preserve = false;                                   // ReDim Preserve
    std::u16string name;                                     // ForEach: folded name
    std::vector<std::pair<std::u16string, ExprPtr>> consts;  // Const: folded names and values
    std::vector<CaseClause> branches;      // If (values[0] the condition; empty: Else), Select
    Block body;                            // loops
    bool testFirst = true, until = false;  // DoLoop; no condition: an endless loop
    Stmt* nextDead = nullptr;  // the destructor's chain of statements still to take apart

    Stmt() = default;
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    ~Stmt();
};

struct Program {
    Block code;
    std::vector<std::unique_ptr<Procedure>> procedures;
    bool explicitNames = false;  // Option Explicit
    size_t bytes = 0;            // an estimate of its nodes' memory
    uint32_t names = 0;          // the distinct names its references use (ids 1 to names)
};

// A name as the language compares it: ASCII letters in lower case.
std::u16string FoldName(std::u16string_view name);

// Parses a whole text; throws SyntaxError.
Program Parse(std::u16string_view text);

}  // namespace mv::script
