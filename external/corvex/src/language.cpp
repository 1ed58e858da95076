#include "language.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "script/stack_room.h"

namespace cvx {
namespace {

struct SyntaxError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Recursive descent over one line.
class LineParser {
public:
    explicit LineParser(std::string_view text) : s_(text) {}

    Statement Line() {
        Statement st;
        skip();
        if (!IsNameStart(peek())) throw SyntaxError("Expected a name");
        st.target = name();
        if (peek() == ':') {
            ++p_;
            skip();
            if (!IsNameStart(peek())) throw SyntaxError("Expected a name");
            st.targetNode = std::move(st.target);
            st.target = name();
        }
        if (peek() != '=') throw SyntaxError("Expected \"=\"");
        ++p_;
        st.value = sum();
        if (p_ < s_.size()) throw unexpected();
        return st;
    }

private:
    char peek() {
        skip();
        return p_ < s_.size() ? s_[p_] : '\0';
    }
    void skip() {
        while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\r')) ++p_;
    }
    SyntaxError unexpected() {
        if (p_ >= s_.size()) return SyntaxError("Expected an expression");
        return SyntaxError("Unexpected \"" + std::string(1, s_[p_]) + "\"");
    }
    std::string name() {
        size_t start = p_;
        while (p_ < s_.size() && IsNameChar(s_[p_])) ++p_;
        if (p_ - start > kMaxNameBytes) throw SyntaxError("Name longer than 599 bytes");
        return std::string(s_.substr(start, p_ - start));
    }

    static Expr binary(char op, Expr a, Expr b) {
        Expr e;
        e.kind = Expr::Binary;
        e.op = op;
        e.args.push_back(std::move(a));
        e.args.push_back(std::move(b));
        return e;
    }
    // Bounds the recursion, so that a line of a million "(" cannot run the
    // stack out, whatever stack the thread was made with. A level of the
    // parse takes more stack than the same level of a run, so a tree that
    // was parsed also leaves the run its room.
    struct Depth {
        explicit Depth(int* d) : d_(d) {
            if (++*d_ > kMaxDepth || mv::script::StackLow()) throw SyntaxError(kTooDeep);
        }
        ~Depth() { --*d_; }
        int* d_;
    };
    static constexpr int kMaxDepth = 200;

    Expr sum() {
        Depth guard(&depth_);
        Expr e = product();
        for (char c = peek(); c == '+' || c == '-'; c = peek()) {
            ++p_;
            e = binary(c, std::move(e), product());
        }
        return e;
    }
    Expr product() {
        Expr e = unary();
        for (char c = peek(); c == '*' || c == '/'; c = peek()) {
            ++p_;
            e = binary(c, std::move(e), unary());
        }
        return e;
    }
    Expr unary() {
        Depth guard(&depth_);
        if (peek() != '-') return power();
        ++p_;
        Expr e;
        e.kind = Expr::Negate;
        e.args.push_back(unary());
        return e;
    }
    Expr power() {
        Expr base = primary();
        if (peek() != '^') return base;
        ++p_;
        return binary('^', std::move(base), unary());  // right to left; -x allowed
    }
    Expr primary() {
        char c = peek();
        if (c == '(') {
            ++p_;
            Expr e = sum();
            if (peek() != ')') throw SyntaxError("Expected \")\"");
            ++p_;
            return e;
        }
        if (IsDigit(c) || c == '.') return number();
        if (!IsNameStart(c)) throw unexpected();
        Expr e;
        e.kind = Expr::Name;
        e.name = name();
        if (peek() == ':') {
            ++p_;
            if (!IsNameStart(peek())) throw SyntaxError("Expected a name");
            e.node = std::move(e.name);
            e.name = name();
        } else if (peek() == '(') {
            ++p_;
            e.kind = Expr::Call;
            if (peek() != ')') {
                e.args.push_back(sum());
                while (peek() == ',') {
                    ++p_;
                    e.args.push_back(sum());
                }
            }
            if (peek() != ')') throw SyntaxError("Expected \")\"");
            ++p_;
        }
        return e;
    }
    Expr number() {
        size_t start = p_;
        auto digits = [&] {
            size_t from = p_;
            while (p_ < s_.size() && IsDigit(s_[p_])) ++p_;
            return p_ - from;
        };
        size_t count = digits();
        if (p_ < s_.size() && s_[p_] == '.') {
            ++p_;
            count += digits();
        }
        if (count == 0) throw SyntaxError("Invalid number");
        if (p_ < s_.size() && (s_[p_] == 'e' || s_[p_] == 'E')) {
            ++p_;
            if (p_ < s_.size() && (s_[p_] == '+' || s_[p_] == '-')) ++p_;
            if (digits() == 0) throw SyntaxError("Invalid number");
        }
        Expr e;
        // Locale-free: "." is the decimal point, as in en-US.
        std::from_chars(s_.data() + start, s_.data() + p_, e.number);
        return e;
    }

    std::string_view s_;
    size_t p_ = 0;
    int depth_ = 0;
};

// A name with its letters in one case: two names are the same when their
// keys are (names are ASCII).
std::string NameKey(std::string_view name) {
    std::string key(name);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

// Visits every node of a tree, each before its arguments and those from
// the first, with a list of the nodes still to visit (kept by the caller
// from one tree to the next) instead of recursion.
template <class Visit>
void EachNode(const Expr& root, std::vector<const Expr*>* pending, Visit visit) {
    pending->assign(1, &root);
    while (!pending->empty()) {
        const Expr* e = pending->back();
        pending->pop_back();
        visit(*e);
        for (auto a = e->args.rbegin(); a != e->args.rend(); ++a) pending->push_back(&*a);
    }
}

// The names of a program in the order first found, each found again by its
// key in a hashed index instead of a search of the list.
class NameList {
public:
    explicit NameList(size_t expected) { index_.reserve(expected); }

    void Note(const std::string& name, const std::string& node, LONG kind) {
        auto [at, added] = index_.try_emplace(NameKey(name), list_.size());
        if (added) {
            list_.push_back({name, node, node.empty() ? "" : name, kind, 0.0});
            return;
        }
        Discovered& d = list_[at->second];
        d.kind |= kind;
        if (d.node.empty() && !node.empty()) {
            d.node = node;
            d.record = name;
        }
    }
    std::vector<Discovered> Take() { return std::move(list_); }

private:
    std::vector<Discovered> list_;
    std::unordered_map<std::string, size_t> index_;
};

// Takes a tree apart in place: the nodes are destroyed one by one, none of
// them holding another, and nothing is allocated, as a tree is also
// destroyed while a failed allocation unwinds. The nodes still to destroy
// are a list. A node taken from it gives its arguments as the new list; the
// rest of the old list hangs under the node, a leaf by then, which goes
// first in the new list, so that it is reached when nothing else is left.
void Dismantle(std::vector<Expr>& args) noexcept {
    if (args.empty()) return;
    std::vector<Expr> pending = std::move(args);
    Expr e;
    for (;;) {
        if (e.args.empty()) {
            if (pending.empty()) return;
            e = std::move(pending.back());
            pending.pop_back();
            continue;
        }
        std::vector<Expr> children = std::move(e.args);
        if (pending.empty()) {
            pending = std::move(children);
            continue;
        }
        e.args = std::move(pending);
        pending = std::move(children);
        // Room for the carrier without growing the list: its last node, if
        // need be, is the next one taken.
        Expr next;
        if (pending.size() == pending.capacity()) {
            next = std::move(pending.back());
            pending.pop_back();
        }
        pending.push_back(std::move(e));
        if (pending.size() > 1) std::swap(pending.front(), pending.back());
        e = std::move(next);
    }
}

}  // namespace

Expr& Expr::operator=(Expr&& other) noexcept {
    if (this == &other) return *this;
    Dismantle(args);
    kind = other.kind;
    number = other.number;
    name = std::move(other.name);
    node = std::move(other.node);
    op = other.op;
    args = std::move(other.args);
    return *this;
}

Expr::~Expr() {
    Dismantle(args);
}

bool Parse(const std::string& text, Program* program, std::string* error) {
    program->statements.clear();
    size_t start = 0;
    for (int line = 1; start <= text.size(); ++line) {
        size_t end = text.find('\n', start);
        std::string_view s = std::string_view(text).substr(
            start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() + 1 : end + 1;
        size_t first = s.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || s[first] == '#') continue;
        try {
            Statement st = LineParser(s).Line();
            st.line = line;
            program->statements.push_back(std::move(st));
        } catch (const SyntaxError& e) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, " (line %d)", line);
            *error = e.what() + std::string(suffix);
            program->statements.clear();
            return false;
        }
    }
    return true;
}

std::vector<Discovered> Discover(const Program& program) {
    NameList names(program.statements.size());
    std::vector<const Expr*> pending;
    for (const Statement& st : program.statements) {
        names.Note(st.target, st.targetNode, 2);
        EachNode(st.value, &pending, [&](const Expr& e) {
            if (e.kind == Expr::Name) names.Note(e.name, e.node, 1);
        });
    }
    return names.Take();
}

std::vector<FormulaUse> FormulasCalled(const Program& program) {
    std::vector<FormulaUse> out;
    std::unordered_set<std::string> found;
    std::vector<const Expr*> pending;
    for (const Statement& st : program.statements)
        EachNode(st.value, &pending, [&](const Expr& e) {
            if (e.kind == Expr::Call && found.insert(NameKey(e.name)).second)
                out.push_back({e.name, st.line});
        });
    return out;
}

}  // namespace cvx
