// The formula language of corvex.h: a parser to a program tree, and the
// walk that lists a program's names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base.h"

namespace cvx {

constexpr size_t kMaxNameBytes = 599;

// A text nested deeper than its parse allows, or than the thread's stack
// holds.
constexpr const char* kTooDeep = "Expression nested too deeply";

// A chain of operators (a + b + c ...) nests to the left, one level per
// operator, with no bound on its length: every walk of a tree goes down
// that side in a loop, never by recursion, and so does its destruction.
struct Expr {
    enum Kind { Number, Name, Negate, Binary, Call } kind = Number;
    double number = 0;
    std::string name;  // Name: the parameter (the record of a tag); Call: the formula
    std::string node;  // Name: the node of a tag reference, else empty
    char op = 0;       // Binary: one of + - * / ^
    std::vector<Expr> args;

    Expr() = default;
    Expr(Expr&&) noexcept = default;
    Expr& operator=(Expr&& other) noexcept;
    ~Expr();
};

struct Statement {
    int line = 0;
    std::string target;
    std::string targetNode;
    Expr value;
};

struct Program {
    std::vector<Statement> statements;
};

// Parses a text. On failure returns false with "<message> (line N)".
bool Parse(const std::string& text, Program* program, std::string* error);

// One name of a program, as the parse lists it.
struct Discovered {
    std::string name;
    std::string node;
    std::string record;  // empty for a plain name
    LONG kind = 0;       // 1 read, 2 assigned, 3 both
    double offset = 0;
};
std::vector<Discovered> Discover(const Program& program);

// The formulas a program calls, each once (first spelling), with the line
// of the first call.
struct FormulaUse {
    std::string name;
    int line;
};
std::vector<FormulaUse> FormulasCalled(const Program& program);

}  // namespace cvx
