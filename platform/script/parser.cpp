// The script language's lexer and recursive-descent parser.
//
// Names and keywords ignore case. Statements end at a line end or ":"; a
// line ending in " _" continues on the next. A statement's position is that
// of its first token, so a statement continued over several lines is placed
// on its first line.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <unordered_map>

#include "oleaut/convert_internal.h"
#include "script/stack_room.h"
#include "script/syntax.h"

namespace mv::script {
namespace {

constexpr LONG kSyntaxError = 1002;
constexpr LONG kExpectedOpenParen = 1005;
constexpr LONG kExpectedCloseParen = 1006;
constexpr LONG kExpectedIdentifier = 1010;
constexpr LONG kExpectedEquals = 1011;
constexpr LONG kExpectedStatement = 1024;
constexpr LONG kExpectedEndOfStatement = 1025;
constexpr LONG kInvalidCharacter = 1032;
constexpr LONG kUnterminatedString = 1033;
constexpr int kMaxNesting = 100;
constexpr int kMaxExpressionDepth = 500;

enum class Tok { End, Newline, Colon, Name, Number, String, Symbol };

struct Token {
    Tok kind;
    Position at;
    std::u16string text = {};  // Name: folded; Symbol: the symbol
    std::u16string spelling = {};
    Variant value = {};  // Number, String and date literals
};

bool IsLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Words the subset does not have: a syntax error where they stand.
bool IsUnsupportedKeyword(const std::u16string& w) {
    for (const char16_t* k : {u"class", u"with", u"execute", u"executeglobal", u"eqv", u"imp",
                              u"new", u"property", u"goto", u"stop"})
        if (w == k) return true;
    return false;
}

class Lexer {
public:
    explicit Lexer(std::u16string_view text) : s_(text) {}

    std::vector<Token> Run() {
        std::vector<Token> out;
        while (true) {
            SkipBlanks();
            if (i_ >= s_.size()) break;
            const char16_t c = s_[i_];
            const Position at = Here();
            if (c == u'\'') {
                SkipLine();
            } else if (c == u'\r' || c == u'\n') {
                if (c == u'\r' && i_ + 1 < s_.size() && s_[i_ + 1] == u'\n') ++i_;
                ++i_;
                NewLine();
                if (out.empty() || out.back().kind != Tok::Newline)
                    out.push_back({Tok::Newline, at});
            } else if (c == u':') {
                ++i_;
                out.push_back({Tok::Colon, at});
            } else if (c == u'_' && IsContinuation()) {
                continue;
            } else if (IsLetter(c)) {
                size_t b = i_;
                while (i_ < s_.size() && (IsLetter(s_[i_]) || IsDigit(s_[i_]) || s_[i_] == u'_'))
                    ++i_;
                Token t{Tok::Name, at, FoldName(s_.substr(b, i_ - b)),
                        std::u16string(s_.substr(b, i_ - b))};
                if (t.text == u"rem") {
                    SkipLine();
                    continue;
                }
                out.push_back(std::move(t));
            } else if (IsDigit(c) || (c == u'.' && i_ + 1 < s_.size() && IsDigit(s_[i_ + 1]))) {
                out.push_back(Number(at));
            } else if (IsRadix()) {
                out.push_back(Radix(at));
            } else if (c == u'"') {
                out.push_back(String(at));
            } else if (c == u'#') {
                out.push_back(DateLiteral(at));
            } else {
                out.push_back(Symbol(at));
            }
        }
        out.push_back({Tok::Newline, Here()});
        out.push_back({Tok::End, Here()});
        return out;
    }

private:
    Position Here() const { return {line_, static_cast<LONG>(i_ - lineStart_)}; }
    void NewLine() {
        ++line_;
        lineStart_ = i_;
    }
    void SkipBlanks() {
        while (i_ < s_.size() && (s_[i_] == u' ' || s_[i_] == u'\t')) ++i_;
    }
    void SkipLine() {
        while (i_ < s_.size() && s_[i_] != u'\r' && s_[i_] != u'\n') ++i_;
    }
    // " _" then blanks and a line end: the statement goes on on the next line.
    bool IsContinuation() {
        if (i_ == 0 || (s_[i_ - 1] != u' ' && s_[i_ - 1] != u'\t')) return false;
        size_t j = i_ + 1;
        while (j < s_.size() && (s_[j] == u' ' || s_[j] == u'\t')) ++j;
        if (j < s_.size() && s_[j] != u'\r' && s_[j] != u'\n') return false;
        i_ = j;
        if (i_ < s_.size() && s_[i_] == u'\r') ++i_;
        if (i_ < s_.size() && s_[i_] == u'\n') ++i_;
        NewLine();
        return true;
    }

    [[noreturn]] void Fail(LONG number, Position at) { throw SyntaxError{number, at}; }

    static int DigitValue(char16_t c) {
        if (IsDigit(c)) return c - u'0';
        if ((c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')) return (c | 0x20) - u'a' + 10;
        return -1;
    }
    // "&h" or "&o" and a digit of that base start a literal; "&" before
    // anything else is the operator ("x" &hi joins x and the variable hi).
    bool IsRadix() const {
        if (s_[i_] != u'&' || i_ + 2 >= s_.size()) return false;
        const char16_t kind = static_cast<char16_t>(s_[i_ + 1] | 0x20);
        if (kind != u'h' && kind != u'o') return false;
        const int d = DigitValue(s_[i_ + 2]);
        return d >= 0 && d < (kind == u'h' ? 16 : 8);
    }

    // Integer when it fits, else Long, else Double.
    static Variant Whole(double v) {
        Variant r;
        if (v <= 32767) {
            r.vt = VT_I2, r.iVal = static_cast<SHORT>(v);
        } else if (v <= 2147483647.0) {
            r.vt = VT_I4, r.lVal = static_cast<LONG>(v);
        } else {
            r = Variant(v);
        }
        return r;
    }

    Token Number(Position at) {
        size_t b = i_;
        bool real = false;
        while (i_ < s_.size() && IsDigit(s_[i_])) ++i_;
        if (i_ < s_.size() && s_[i_] == u'.') {
            real = true;
            ++i_;
            while (i_ < s_.size() && IsDigit(s_[i_])) ++i_;
        }
        if (i_ < s_.size() && (s_[i_] == u'e' || s_[i_] == u'E')) {
            size_t j = i_ + 1;
            if (j < s_.size() && (s_[j] == u'+' || s_[j] == u'-')) ++j;
            if (j < s_.size() && IsDigit(s_[j])) {
                real = true;
                i_ = j;
                while (i_ < s_.size() && IsDigit(s_[i_])) ++i_;
            }
        }
        convert::ParsedNumber p;
        if (FAILED(convert::ParseNumber(s_.substr(b, i_ - b), &p))) Fail(kSyntaxError, at);
        const double d = p.exact ? convert::ExactToDouble(p.value) : p.dbl;
        return {Tok::Number, at, {}, {}, real ? Variant(d) : Whole(d)};
    }

    Token Radix(Position at) {
        const bool hex = s_[i_ + 1] == u'h' || s_[i_ + 1] == u'H';
        i_ += 2;
        uint64_t v = 0;
        size_t digits = 0;
        for (; i_ < s_.size(); ++i_, ++digits) {
            const int d = DigitValue(s_[i_]);
            if (d < 0 || d >= (hex ? 16 : 8)) break;
            if (v > (UINT64_MAX >> 4)) Fail(kSyntaxError, at);
            v = v * (hex ? 16 : 8) + static_cast<uint64_t>(d);
        }
        if (digits == 0) Fail(kSyntaxError, at);
        Variant r;
        if (i_ < s_.size() && s_[i_] == u'&' && v <= 0xFFFFFFFFu) {
            // A trailing & reads the digits as a Long's 32 bits; the value
            // is an Integer when it fits one (&hffffffff& is -1).
            ++i_;
            const auto n = static_cast<LONG>(static_cast<uint32_t>(v));
            if (n >= -32768 && n <= 32767)
                r.vt = VT_I2, r.iVal = static_cast<SHORT>(n);
            else
                r.vt = VT_I4, r.lVal = n;
            return {Tok::Number, at, {}, {}, std::move(r)};
        }
        if (i_ < s_.size() && s_[i_] == u'&') ++i_;
        // Four hex digits are an Integer's bits, eight a Long's.
        if (v <= 0xFFFF) {
            r.vt = VT_I2, r.iVal = static_cast<SHORT>(v);
        } else if (v <= 0xFFFFFFFFu) {
            r.vt = VT_I4, r.lVal = static_cast<LONG>(static_cast<uint32_t>(v));
        } else {
            r = Variant(static_cast<double>(v));
        }
        return {Tok::Number, at, {}, {}, std::move(r)};
    }

    Token String(Position at) {
        std::u16string text;
        ++i_;
        while (true) {
            if (i_ >= s_.size() || s_[i_] == u'\r' || s_[i_] == u'\n')
                Fail(kUnterminatedString, at);
            if (s_[i_] == u'"') {
                if (i_ + 1 < s_.size() && s_[i_ + 1] == u'"') {
                    text += u'"';
                    i_ += 2;
                    continue;
                }
                ++i_;
                break;
            }
            text += s_[i_++];
        }
        return {Tok::String, at, {}, {}, Variant(std::u16string_view(text))};
    }

    Token DateLiteral(Position at) {
        size_t b = ++i_;
        while (i_ < s_.size() && s_[i_] != u'#' && s_[i_] != u'\r' && s_[i_] != u'\n') ++i_;
        if (i_ >= s_.size() || s_[i_] != u'#') Fail(kSyntaxError, at);
        DATE d = 0;
        if (FAILED(convert::ParseDate(s_.substr(b, i_ - b), 0, &d))) Fail(kSyntaxError, at);
        ++i_;
        return {Tok::Number, at, {}, {}, Variant::Date(d)};
    }

    Token Symbol(Position at) {
        static const char16_t* const kTwo[] = {u"<>", u"<=", u">=", u"=>", u"=<", u"><"};
        for (const char16_t* two : kTwo) {
            if (s_.substr(i_, 2) == two) {
                i_ += 2;
                return {Tok::Symbol, at, two};
            }
        }
        const char16_t c = s_[i_];
        if (std::u16string_view(u"=<>+-*/\\^&(),.").find(c) == std::u16string_view::npos)
            Fail(kInvalidCharacter, at);
        ++i_;
        return {Tok::Symbol, at, std::u16string(1, c)};
    }

    std::u16string_view s_;
    size_t i_ = 0, lineStart_ = 0;
    ULONG line_ = 0;
};

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

    Program Run() {
        Program p;
        SkipEnds();
        if (IsWord(u"option")) {
            Next();
            ExpectWord(u"explicit", kSyntaxError);
            p.explicitNames = true;
            EndOfStatement();
            SkipEnds();
        }
        while (Peek().kind != Tok::End) {
            // Public and Private change nothing in a single script's scope.
            if ((IsWord(u"public") || IsWord(u"private")) && !IsWord(u"function", 1) &&
                !IsWord(u"sub", 1) && !IsWord(u"const", 1)) {
                p.code.push_back(DimStatement());
                EndOfStatement();
            } else if (IsWord(u"public") || IsWord(u"private")) {
                Next();
                continue;
            } else if (IsWord(u"function") || IsWord(u"sub")) {
                p.procedures.push_back(ProcedureDef());
            } else {
                ParseStatementInto(p.code);
            }
            SkipEnds();
        }
        p.bytes = bytes_ + sizeof(Program);
        p.names = static_cast<uint32_t>(ids_.size());
        return p;
    }

private:
    const Token& Peek(size_t ahead = 0) const { return t_[std::min(k_ + ahead, t_.size() - 1)]; }
    const Token& Next() { return t_[std::min(k_++, t_.size() - 1)]; }
    bool IsWord(const char16_t* w, size_t ahead = 0) const {
        return Peek(ahead).kind == Tok::Name && Peek(ahead).text == w;
    }
    bool IsSymbol(const char16_t* s) const {
        return Peek().kind == Tok::Symbol && Peek().text == s;
    }
    bool AtEnd() const {
        return Peek().kind == Tok::Newline || Peek().kind == Tok::Colon || Peek().kind == Tok::End;
    }
    [[noreturn]] void Fail(LONG number) { throw SyntaxError{number, Peek().at}; }
    void ExpectWord(const char16_t* w, LONG number) {
        if (!IsWord(w)) Fail(number);
        Next();
    }
    void ExpectSymbol(const char16_t* s, LONG number) {
        if (!IsSymbol(s)) Fail(number);
        Next();
    }
    void EndOfStatement() {
        if (!AtEnd()) Fail(kExpectedEndOfStatement);
    }
    void SkipEnds() {
        while (Peek().kind == Tok::Newline || Peek().kind == Tok::Colon) Next();
    }
    std::u16string Identifier() {
        if (Peek().kind != Tok::Name || IsReserved(Peek().text)) Fail(kExpectedIdentifier);
        return Next().text;
    }

    static bool IsReserved(const std::u16string& w) {
        for (const char16_t* k :
             {u"and",   u"byref",  u"byval",    u"call",   u"case",     u"const",    u"dim",
              u"do",    u"each",   u"else",     u"elseif", u"empty",    u"end",      u"erase",
              u"error", u"exit",   u"explicit", u"false",  u"for",      u"function", u"if",
              u"in",    u"is",     u"loop",     u"mod",    u"next",     u"not",      u"nothing",
              u"null",  u"on",     u"option",   u"or",     u"preserve", u"private",  u"public",
              u"redim", u"resume", u"select",   u"set",    u"step",     u"sub",      u"then",
              u"to",    u"true",   u"until",    u"wend",   u"while",    u"xor"})
            if (w == k) return true;
        return IsUnsupportedKeyword(w);
    }

    // The parse recurses at each nesting: bounded by count, and by the
    // stack the thread has left.
    struct Nest {
        explicit Nest(Parser* p) : p_(p) {
            if (++p_->depth_ > kMaxNesting) p_->Fail(kSyntaxError);
            if (StackLow()) p_->Fail(kOutOfStack);
        }
        ~Nest() { --p_->depth_; }
        Parser* p_;
    };

    // ---- expressions ------------------------------------------------------
    ExprPtr Make(Expr::Kind kind, Position at) {
        auto e = std::make_unique<Expr>();
        bytes_ += sizeof(Expr);
        e->kind = kind;
        e->at = at;
        return e;
    }
    ExprPtr Binary(Operator op, ExprPtr l, ExprPtr r, Position at) {
        ExprPtr e = Make(Expr::Kind::Binary, at);
        e->op = op;
        e->left = std::move(l);
        e->right = std::move(r);
        return Bounded(std::move(e));
    }
    // Evaluating a tree recurses, so its depth is bounded: a long chain such
    // as 1 + 1 + ... nests to the left.
    ExprPtr Bounded(ExprPtr e) {
        int below = 0;
        if (e->left) below = e->left->depth;
        if (e->right) below = std::max(below, e->right->depth);
        for (const ExprPtr& a : e->args) below = std::max(below, a->depth);
        e->depth = below + 1;
        if (e->depth > kMaxExpressionDepth) throw SyntaxError{kSyntaxError, e->at};
        return e;
    }

    ExprPtr Expression() {
        Nest nest(this);
        ExprPtr e = OrLevel();
        while (IsWord(u"xor")) {
            const Position at = Next().at;
            e = Binary(Operator::Xor, std::move(e), OrLevel(), at);
        }
        return e;
    }
    ExprPtr OrLevel() {
        ExprPtr e = AndLevel();
        while (IsWord(u"or")) {
            const Position at = Next().at;
            e = Binary(Operator::Or, std::move(e), AndLevel(), at);
        }
        return e;
    }
    ExprPtr AndLevel() {
        ExprPtr e = NotLevel();
        while (IsWord(u"and")) {
            const Position at = Next().at;
            e = Binary(Operator::And, std::move(e), NotLevel(), at);
        }
        return e;
    }
    ExprPtr NotLevel() {
        if (!IsWord(u"not")) return Comparison();
        Nest nest(this);
        ExprPtr e = Make(Expr::Kind::Unary, Next().at);
        e->op = Operator::Not;
        e->left = NotLevel();
        return Bounded(std::move(e));
    }
    ExprPtr Comparison() {
        ExprPtr e = Concatenation();
        while (true) {
            Operator op;
            if (IsWord(u"is"))
                op = Operator::Is;
            else if (IsSymbol(u"="))
                op = Operator::Eq;
            else if (IsSymbol(u"<>") || IsSymbol(u"><"))
                op = Operator::Ne;
            else if (IsSymbol(u"<"))
                op = Operator::Lt;
            else if (IsSymbol(u"<=") || IsSymbol(u"=<"))
                op = Operator::Le;
            else if (IsSymbol(u">"))
                op = Operator::Gt;
            else if (IsSymbol(u">=") || IsSymbol(u"=>"))
                op = Operator::Ge;
            else
                return e;
            const Position at = Next().at;
            e = Binary(op, std::move(e), Concatenation(), at);
        }
    }
    ExprPtr Concatenation() {
        ExprPtr e = Additive();
        while (IsSymbol(u"&")) {
            const Position at = Next().at;
            e = Binary(Operator::Cat, std::move(e), Additive(), at);
        }
        return e;
    }
    ExprPtr Additive() {
        ExprPtr e = Modulo();
        while (IsSymbol(u"+") || IsSymbol(u"-")) {
            const Operator op = IsSymbol(u"+") ? Operator::Add : Operator::Sub;
            const Position at = Next().at;
            e = Binary(op, std::move(e), Modulo(), at);
        }
        return e;
    }
    ExprPtr Modulo() {
        ExprPtr e = IntegerDivision();
        while (IsWord(u"mod")) {
            const Position at = Next().at;
            e = Binary(Operator::Mod, std::move(e), IntegerDivision(), at);
        }
        return e;
    }
    ExprPtr IntegerDivision() {
        ExprPtr e = Multiplicative();
        while (IsSymbol(u"\\")) {
            const Position at = Next().at;
            e = Binary(Operator::Idiv, std::move(e), Multiplicative(), at);
        }
        return e;
    }
    ExprPtr Multiplicative() {
        ExprPtr e = Power();
        while (IsSymbol(u"*") || IsSymbol(u"/")) {
            const Operator op = IsSymbol(u"*") ? Operator::Mul : Operator::Div;
            const Position at = Next().at;
            e = Binary(op, std::move(e), Power(), at);
        }
        return e;
    }
    // ^ nests to the left; a sign binds tighter than it (-3 ^ 2 is 9, 2 ^ -1
    // is 0.5).
    ExprPtr Power() {
        ExprPtr e = Signed();
        while (IsSymbol(u"^")) {
            const Position at = Next().at;
            e = Binary(Operator::Pow, std::move(e), Signed(), at);
        }
        return e;
    }
    ExprPtr Signed() {
        if (!IsSymbol(u"-") && !IsSymbol(u"+")) return Primary();
        Nest nest(this);
        const bool minus = IsSymbol(u"-");
        ExprPtr e = Make(Expr::Kind::Unary, Next().at);
        e->op = Operator::Neg;
        e->left = Signed();
        return minus ? Bounded(std::move(e)) : std::move(e->left);
    }

    ExprPtr Literal(Variant v, Position at) {
        ExprPtr e = Make(Expr::Kind::Literal, at);
        e->value = std::move(v);
        return e;
    }

    ExprPtr Primary() {
        const Token& t = Peek();
        switch (t.kind) {
            case Tok::Number:
            case Tok::String:
                return Literal(Next().value, t.at);
            case Tok::Symbol:
                if (t.text == u"(") {
                    Next();
                    ExprPtr e = Expression();
                    ExpectSymbol(u")", kExpectedCloseParen);
                    e->grouped = true;
                    return e;
                }
                Fail(kSyntaxError);
            case Tok::Name: {
                if (t.text == u"true" || t.text == u"false")
                    return Literal(Variant(t.text == u"true"), Next().at);
                if (t.text == u"empty") return Literal(Variant(), Next().at);
                if (t.text == u"null") {
                    Variant v;
                    v.vt = VT_NULL;
                    return Literal(std::move(v), Next().at);
                }
                if (t.text == u"nothing") {
                    Variant v;
                    v.vt = VT_DISPATCH, v.pdispVal = nullptr;
                    return Members(Literal(std::move(v), Next().at));  // Nothing.Member: 424
                }
                return Reference();
            }
            default:
                Fail(kSyntaxError);
        }
    }

    void Arguments(Expr* ref) {
        ref->parens = true;
        Next();  // (
        if (IsSymbol(u")")) {
            Next();
            return;
        }
        while (true) {
            ref->args.push_back(IsSymbol(u",") || IsSymbol(u")") ? Missing() : Expression());
            if (IsSymbol(u",")) {
                Next();
                continue;
            }
            ExpectSymbol(u")", kExpectedCloseParen);
            return;
        }
    }
    // An argument left out (f(a, , c)).
    ExprPtr Missing() { return Make(Expr::Kind::Missing, Peek().at); }

    // name[(args)] { .name[(args)] }
    ExprPtr Reference() {
        const Position at = Peek().at;
        ExprPtr e = Make(Expr::Kind::Ref, at);
        e->spelling = Peek().spelling;
        e->name = Identifier();
        e->id = NameId(e->name);
        if (IsSymbol(u"(")) Arguments(e.get());
        return Members(Bounded(std::move(e)));
    }
    // A variable's name alone (a loop's counter, an array Erase takes).
    ExprPtr Variable() {
        ExprPtr e = Make(Expr::Kind::Ref, Peek().at);
        e->spelling = Peek().spelling;
        e->name = Identifier();
        e->id = NameId(e->name);
        return e;
    }
    ExprPtr Members(ExprPtr e) {
        while (IsSymbol(u".")) {
            Next();
            if (Peek().kind != Tok::Name) Fail(kExpectedIdentifier);
            ExprPtr member = Make(Expr::Kind::Ref, Peek().at);
            member->spelling = Peek().spelling;
            member->name = Next().text;
            member->left = std::move(e);
            e = std::move(member);
            if (IsSymbol(u"(")) Arguments(e.get());
            e = Bounded(std::move(e));
        }
        return e;
    }

    // ---- statements -------------------------------------------------------
    std::unique_ptr<Stmt> MakeStmt(Stmt::Kind kind, Position at) {
        auto s = std::make_unique<Stmt>();
        bytes_ += sizeof(Stmt);
        s->kind = kind;
        s->at = at;
        return s;
    }

    // Statements until one of the words that close the block.
    Block BlockUntil(std::initializer_list<const char16_t*> closers) {
        Nest nest(this);
        Block b;
        while (true) {
            SkipEnds();
            if (Peek().kind == Tok::End) Fail(kSyntaxError);
            for (const char16_t* w : closers)
                if (IsWord(w)) return b;
            if (IsWord(u"function") || IsWord(u"sub")) Fail(kSyntaxError);
            ParseStatementInto(b);
        }
    }

    void ParseStatementInto(Block& block) {
        block.push_back(Statement());
        EndOfStatement();
    }

    std::vector<DimItem> DimList(bool requireBounds) {
        std::vector<DimItem> items;
        do {
            if (!items.empty()) Next();  // ,
            DimItem item;
            item.name = Identifier();
            if (IsSymbol(u"(")) {
                item.array = true;
                Next();
                while (!IsSymbol(u")")) {
                    item.bounds.push_back(Expression());
                    if (!IsSymbol(u",")) break;
                    Next();
                }
                ExpectSymbol(u")", kExpectedCloseParen);
            }
            if (requireBounds && item.bounds.empty()) Fail(kExpectedOpenParen);
            items.push_back(std::move(item));
        } while (IsSymbol(u","));
        return items;
    }

    // Dim (or Public, Private) and names: bounds are literals.
    std::unique_ptr<Stmt> DimStatement() {
        auto s = MakeStmt(Stmt::Kind::Dim, Next().at);
        s->dims = DimList(false);
        for (const DimItem& d : s->dims)
            for (const ExprPtr& b : d.bounds)
                if (b->kind != Expr::Kind::Literal) throw SyntaxError{kSyntaxError, b->at};
        return s;
    }

    std::unique_ptr<Stmt> Statement() {
        const Token& t = Peek();
        const Position at = t.at;
        if (t.kind != Tok::Name) Fail(kExpectedStatement);
        if (IsUnsupportedKeyword(t.text)) Fail(kSyntaxError);
        const std::u16string& w = t.text;
        if (w == u"dim") return DimStatement();
        if (w == u"redim") {
            Next();
            auto s = MakeStmt(Stmt::Kind::ReDim, at);
            if (IsWord(u"preserve")) Next(), s->preserve = true;
            s->dims = DimList(true);
            return s;
        }
        if (w == u"erase") {
            Next();
            auto s = MakeStmt(Stmt::Kind::Erase, at);
            do {
                if (!s->arrays.empty()) Next();  // ,
                s->arrays.push_back(Variable());
            } while (IsSymbol(u","));
            return s;
        }
        if (w == u"const") {
            Next();
            auto s = MakeStmt(Stmt::Kind::Const, at);
            do {
                if (!s->consts.empty()) Next();  // ,
                std::u16string name = Identifier();
                ExpectSymbol(u"=", kExpectedEquals);
                s->consts.emplace_back(std::move(name), Expression());
            } while (IsSymbol(u","));
            return s;
        }
        if (w == u"if") return IfStatement();
        if (w == u"select") return SelectStatement();
        if (w == u"for") return ForStatement();
        if (w == u"do") return DoStatement();
        if (w == u"while") {
            Next();
            auto s = MakeStmt(Stmt::Kind::DoLoop, at);
            s->value = Expression();
            s->body = BlockUntil({u"wend"});
            Next();
            return s;
        }
        if (w == u"exit") {
            Next();
            Stmt::Kind kind;
            if (IsWord(u"do"))
                kind = Stmt::Kind::ExitDo;
            else if (IsWord(u"for"))
                kind = Stmt::Kind::ExitFor;
            else if (IsWord(u"function"))
                kind = Stmt::Kind::ExitFunction;
            else if (IsWord(u"sub"))
                kind = Stmt::Kind::ExitSub;
            else
                Fail(kSyntaxError);
            Next();
            return MakeStmt(kind, at);
        }
        if (w == u"on") {
            Next();
            ExpectWord(u"error", kSyntaxError);
            if (IsWord(u"resume")) {
                Next();
                ExpectWord(u"next", kSyntaxError);
                return MakeStmt(Stmt::Kind::ResumeNext, at);
            }
            if (!IsWord(u"goto")) Fail(kSyntaxError);
            Next();
            if (Peek().kind != Tok::Number || Peek().value.vt != VT_I2 || Peek().value.iVal != 0)
                Fail(kSyntaxError);
            Next();
            return MakeStmt(Stmt::Kind::GoTo0, at);
        }
        if (w == u"call") {
            Next();
            auto s = MakeStmt(Stmt::Kind::Call, at);
            s->target = Reference();
            return s;
        }
        if (w == u"set") {
            Next();
            auto s = MakeStmt(Stmt::Kind::Set, at);
            s->target = Reference();
            ExpectSymbol(u"=", kExpectedEquals);
            s->value = Expression();
            return s;
        }
        if (IsReserved(w)) Fail(kExpectedStatement);
        // An assignment, or a call with or without parentheses.
        ExprPtr ref = Reference();
        if (IsSymbol(u"=")) {
            Next();
            auto s = MakeStmt(Stmt::Kind::Assign, at);
            s->target = std::move(ref);
            s->value = Expression();
            return s;
        }
        auto s = MakeStmt(Stmt::Kind::Call, at);
        // Name (a) without Call: the parentheses are a's own, so a goes by value.
        if (ref->parens && ref->args.size() == 1) ref->args[0]->grouped = true;
        if (!AtEnd() && !IsWord(u"else")) {
            // Name a, b: arguments without parentheses; Name (a), b reads (a) as the first.
            if (ref->parens && (ref->args.size() != 1 || ref->left || !IsSymbol(u",")))
                Fail(kExpectedEndOfStatement);
            ref->parens = false;
            bool first = ref->args.empty();
            while (!AtEnd() && !IsWord(u"else")) {
                if (!first) ExpectSymbol(u",", kExpectedEndOfStatement);
                first = false;
                const bool left = IsSymbol(u",") || AtEnd() || IsWord(u"else");
                ref->args.push_back(left ? Missing() : Expression());
            }
        }
        s->target = std::move(ref);
        return s;
    }

    // Statements of a one-line If, up to Else or the line end.
    Block InlineBlock() {
        Block b;
        while (true) {
            b.push_back(Statement());
            if (Peek().kind != Tok::Colon) return b;
            while (Peek().kind == Tok::Colon) Next();
            if (AtEnd() || IsWord(u"else")) return b;
        }
    }

    std::unique_ptr<Stmt> IfStatement() {
        auto s = MakeStmt(Stmt::Kind::If, Next().at);
        CaseClause first;
        first.values.push_back(Expression());
        ExpectWord(u"then", 1017);
        if (!AtEnd()) {  // a statement after Then: the one-line form
            first.body = InlineBlock();
            s->branches.push_back(std::move(first));
            if (IsWord(u"else")) {
                Next();
                CaseClause other;
                other.body = InlineBlock();
                s->branches.push_back(std::move(other));
            }
            if (IsWord(u"end") && IsWord(u"if", 1)) Next(), Next();
            return s;
        }
        first.body = BlockUntil({u"elseif", u"else", u"end"});
        s->branches.push_back(std::move(first));
        while (IsWord(u"elseif")) {
            Next();
            CaseClause c;
            c.values.push_back(Expression());
            ExpectWord(u"then", 1017);
            c.body = BlockUntil({u"elseif", u"else", u"end"});
            s->branches.push_back(std::move(c));
        }
        if (IsWord(u"else")) {
            Next();
            CaseClause c;
            c.body = BlockUntil({u"end"});
            s->branches.push_back(std::move(c));
        }
        ExpectWord(u"end", 1014);
        ExpectWord(u"if", 1012);
        return s;
    }

    std::unique_ptr<Stmt> SelectStatement() {
        auto s = MakeStmt(Stmt::Kind::Select, Next().at);
        ExpectWord(u"case", 1021);
        s->value = Expression();
        EndOfStatement();
        SkipEnds();
        while (IsWord(u"case")) {
            Next();
            CaseClause c;
            if (IsWord(u"else")) {
                Next();
            } else {
                do {
                    if (!c.values.empty()) Next();
                    c.values.push_back(Expression());
                } while (IsSymbol(u","));
            }
            c.body = BlockUntil({u"case", u"end"});
            s->branches.push_back(std::move(c));
        }
        ExpectWord(u"end", 1014);
        ExpectWord(u"select", 1022);
        return s;
    }

    std::unique_ptr<Stmt> ForStatement() {
        const Position at = Next().at;
        if (IsWord(u"each")) {
            Next();
            auto s = MakeStmt(Stmt::Kind::ForEach, at);
            s->name = Identifier();
            ExpectWord(u"in", kSyntaxError);
            s->value = Expression();
            s->body = BlockUntil({u"next"});
            Next();
            return s;
        }
        auto s = MakeStmt(Stmt::Kind::For, at);
        s->target = Variable();
        ExpectSymbol(u"=", kExpectedEquals);
        s->value = Expression();
        ExpectWord(u"to", 1013);
        s->limit = Expression();
        if (IsWord(u"step")) {
            Next();
            s->step = Expression();
        }
        s->body = BlockUntil({u"next"});
        Next();
        if (Peek().kind == Tok::Name && !IsReserved(Peek().text)) Next();  // Next i
        return s;
    }

    std::unique_ptr<Stmt> DoStatement() {
        auto s = MakeStmt(Stmt::Kind::DoLoop, Next().at);
        if (IsWord(u"while") || IsWord(u"until")) {
            s->until = IsWord(u"until");
            Next();
            s->value = Expression();
        }
        s->body = BlockUntil({u"loop"});
        Next();
        if (IsWord(u"while") || IsWord(u"until")) {
            if (s->value) Fail(kExpectedEndOfStatement);
            s->until = IsWord(u"until");
            s->testFirst = false;
            Next();
            s->value = Expression();
        }
        return s;
    }

    std::unique_ptr<Procedure> ProcedureDef() {
        auto p = std::make_unique<Procedure>();
        bytes_ += sizeof(Procedure);
        p->function = IsWord(u"function");
        Next();
        p->name = Identifier();
        if (IsSymbol(u"(")) {
            Next();
            while (!IsSymbol(u")")) {
                bool byVal = false;
                if (IsWord(u"byval") || IsWord(u"byref")) byVal = Next().text == u"byval";
                p->params.push_back(Identifier());
                p->byVal.push_back(byVal);
                if (IsSymbol(u"(")) Next(), ExpectSymbol(u")", kExpectedCloseParen);
                if (!IsSymbol(u",")) break;
                Next();
            }
            ExpectSymbol(u")", kExpectedCloseParen);
        }
        EndOfStatement();
        p->body = BlockUntil({u"end"});
        Next();
        ExpectWord(p->function ? u"function" : u"sub", p->function ? 1015 : 1016);
        EndOfStatement();
        CollectLocals(p->body, &p->locals);
        for (const auto* names : {&p->params, &p->locals})
            for (const std::u16string& name : *names)
                if (p->Declared(name) < 0) p->declared.push_back(name);
        MarkLocals(p->body, *p);
        return p;
    }

    // Numbers the references to the procedure's declared names.
    static void MarkLocals(const Block& block, const Procedure& p) {
        ForEachStatement(block, [&p](const Stmt& s) {
            for (const ExprPtr* e : {&s.target, &s.value, &s.limit, &s.step}) MarkLocals(*e, p);
            for (const ExprPtr& a : s.arrays) MarkLocals(a, p);
            for (const DimItem& d : s.dims)
                for (const ExprPtr& b : d.bounds) MarkLocals(b, p);
            for (const auto& c : s.consts) MarkLocals(c.second, p);
            for (const CaseClause& c : s.branches)
                for (const ExprPtr& v : c.values) MarkLocals(v, p);
        });
    }
    // A tree nests as deep as its longest chain of operators: walked with a
    // list of the nodes still to mark, not by recursion.
    static void MarkLocals(const ExprPtr& root, const Procedure& p) {
        std::vector<Expr*> pending;
        if (root) pending.push_back(root.get());
        while (!pending.empty()) {
            Expr* e = pending.back();
            pending.pop_back();
            if (e->kind == Expr::Kind::Ref && !e->left)
                e->local = static_cast<uint32_t>(p.Declared(e->name) + 1);
            for (const ExprPtr* next : {&e->left, &e->right})
                if (*next) pending.push_back(next->get());
            for (const ExprPtr& a : e->args)
                if (a) pending.push_back(a.get());
        }
    }

    // The names a procedure's Dims declare, in nested blocks too: each is
    // local to the whole procedure, before its Dim runs as after.
    static void CollectLocals(const Block& block, std::vector<std::u16string>* out) {
        ForEachStatement(block, [out](const Stmt& s) {
            if (s.kind == Stmt::Kind::Dim)
                for (const DimItem& d : s.dims)
                    if (std::find(out->begin(), out->end(), d.name) == out->end())
                        out->push_back(d.name);
        });
    }

    // Visits every statement of a block and of the blocks nested in it, in
    // the order of the text: with a list of the statements still to visit,
    // not by recursion, whatever the stack left after the parse.
    template <typename Visit>
    static void ForEachStatement(const Block& block, Visit&& visit) {
        std::vector<const Stmt*> pending;
        auto add = [&pending](const Block& b) {
            for (auto it = b.rbegin(); it != b.rend(); ++it) pending.push_back(it->get());
        };
        add(block);
        while (!pending.empty()) {
            const Stmt& s = *pending.back();
            pending.pop_back();
            visit(s);
            for (auto c = s.branches.rbegin(); c != s.branches.rend(); ++c) add(c->body);
            add(s.body);
        }
    }

    std::vector<Token> t_;
    size_t k_ = 0;
    int depth_ = 0;
    size_t bytes_ = 0;
    std::unordered_map<std::u16string, uint32_t> ids_;

    // The number of a referenced name, the same for each of its uses.
    uint32_t NameId(const std::u16string& name) {
        return ids_.try_emplace(name, static_cast<uint32_t>(ids_.size() + 1)).first->second;
    }
};

}  // namespace

std::u16string FoldName(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return out;
}

namespace {

// Puts a child on the chain of nodes still to take apart, threaded through
// the nodes' own `nextDead`.
template <class Node>
void Chain(std::unique_ptr<Node>& child, Node*& pending) noexcept {
    if (!child) return;
    Node* node = child.release();
    node->nextDead = pending;
    pending = node;
}

// Takes a tree apart one node at a time: `takeChildren` chains a node's
// children before the node is deleted, so a tree nested as deep as it may
// be is freed without recursion and without allocating.
template <class Node, class TakeChildren>
void TakeApart(Node& root, TakeChildren takeChildren) noexcept {
    Node* pending = nullptr;
    takeChildren(root, pending);
    while (pending) {
        Node* node = pending;
        pending = node->nextDead;
        takeChildren(*node, pending);
        delete node;  // its children are taken: no recursion
    }
}

}  // namespace

Expr::~Expr() {
    // A long chain of operators nests as deep as it is long.
    if (!left && !right && args.empty()) return;
    TakeApart(*this, [](Expr& e, Expr*& pending) {
        Chain(e.left, pending);
        Chain(e.right, pending);
        for (ExprPtr& a : e.args) Chain(a, pending);
    });
}

Stmt::~Stmt() {
    // Blocks nest as deep as the parser lets them.
    if (body.empty() && branches.empty()) return;
    TakeApart(*this, [](Stmt& s, Stmt*& pending) {
        for (std::unique_ptr<Stmt>& t : s.body) Chain(t, pending);
        for (CaseClause& c : s.branches)
            for (std::unique_ptr<Stmt>& t : c.body) Chain(t, pending);
    });
}

int Procedure::Declared(const std::u16string& folded) const {
    for (size_t i = 0; i < declared.size(); ++i)
        if (declared[i] == folded) return static_cast<int>(i);
    return -1;
}

Program Parse(std::u16string_view text) {
    return Parser(Lexer(text).Run()).Run();
}

}  // namespace mv::script
