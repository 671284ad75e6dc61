#include "engine/Expr.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "engine/EngineErrors.h"

namespace ari::engine {

namespace {

constexpr size_t kMaxExpressionText = 220;

enum class Op {
    Field,
    String,
    Number,
    Date,
    Logical,
    Neg,
    Not,
    Add,
    Sub,
    Mul,
    Div,
    Mod,
    Pow,
    Eq,
    Ne,
    Lt,
    Gt,
    Le,
    Ge,
    Contains,
    And,
    Or,
    Call,
};

enum class Fn {
    Upper,
    Lower,
    Trim,
    RTrim,
    LTrim,
    Substr,
    Left,
    Right,
    Str,
    Dtos,
    Dtoc,
    Iif,
    Val,
    Recno,
    Ctod,
    Stod,
    Year,
    Month,
    Day,
    Int,
    Abs,
    Deleted,
};

struct FnInfo {
    const char* name;
    Fn fn;
    int minArgs, maxArgs;
};

constexpr FnInfo kFunctions[] = {
    {"UPPER", Fn::Upper, 1, 1},     {"LOWER", Fn::Lower, 1, 1}, {"TRIM", Fn::Trim, 1, 1},
    {"RTRIM", Fn::RTrim, 1, 1},     {"LTRIM", Fn::LTrim, 1, 1}, {"SUBSTR", Fn::Substr, 2, 3},
    {"LEFT", Fn::Left, 2, 2},       {"RIGHT", Fn::Right, 2, 2}, {"STR", Fn::Str, 1, 3},
    {"DTOS", Fn::Dtos, 1, 1},       {"DTOC", Fn::Dtoc, 1, 1},   {"IIF", Fn::Iif, 3, 3},
    {"VAL", Fn::Val, 1, 1},         {"RECNO", Fn::Recno, 0, 0}, {"CTOD", Fn::Ctod, 1, 1},
    {"STOD", Fn::Stod, 1, 1},       {"YEAR", Fn::Year, 1, 1},   {"MONTH", Fn::Month, 1, 1},
    {"DAY", Fn::Day, 1, 1},         {"INT", Fn::Int, 1, 1},     {"ABS", Fn::Abs, 1, 1},
    {"DELETED", Fn::Deleted, 0, 0},
};

struct Node {
    Op op = Op::Number;
    ExprType type = ExprType::Numeric;
    size_t width = 0;  // static width of a character result
    size_t pos = 0;    // 1-based position in the text, for messages
    std::vector<int> kids;
    FieldDef field;               // Op::Field
    std::string text;             // Op::String
    double number = 0;            // Op::Number, Op::Date (Julian day)
    bool logical = false;         // Op::Logical
    Fn fn = Fn::Upper;            // Op::Call
    int strLen = 10, strDec = 0;  // STR() arguments
};

enum class Tok {
    End,
    Name,
    String,
    Number,
    DateLit,
    True,
    False,
    And,
    Or,
    Not,
    LParen,
    RParen,
    Comma,
    Plus,
    Minus,
    Star,
    Slash,
    Percent,
    Power,
    Eq,
    Ne,
    Lt,
    Gt,
    Le,
    Ge,
    Dollar,
    Arrow
};

struct Token {
    Tok kind = Tok::End;
    std::string text;
    double number = 0;
    size_t pos = 0;  // 1-based
};

std::string Upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

[[noreturn]] void Fail(const std::string& expr, size_t pos, const std::string& what) {
    std::string msg = "Invalid index expression \"" + expr + "\": " + what;
    if (pos > 0)
        msg += " at position " + std::to_string(pos);
    throw EDBEngineError(kStatusInvalidExpression, {msg});
}

const char* TypeName(ExprType t) {
    switch (t) {
        case ExprType::Character:
            return "character";
        case ExprType::Numeric:
            return "numeric";
        case ExprType::Date:
            return "date";
        case ExprType::Logical:
            return "logical";
    }
    return "?";
}

// ---------------------------------------------------------------- lexer
class Lexer {
  public:
    explicit Lexer(const std::string& text) : s_(text) {}

    std::vector<Token> Run() {
        std::vector<Token> out;
        for (;;) {
            while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])))
                ++i_;
            Token t;
            t.pos = i_ + 1;
            if (i_ >= s_.size()) {
                t.kind = Tok::End;
                out.push_back(t);
                return out;
            }
            const char c = s_[i_];
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                size_t j = i_;
                while (j < s_.size() &&
                       (std::isalnum(static_cast<unsigned char>(s_[j])) || s_[j] == '_'))
                    ++j;
                t.kind = Tok::Name;
                t.text = Upper(s_.substr(i_, j - i_));
                i_ = j;
            } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                       (c == '.' && i_ + 1 < s_.size() &&
                        std::isdigit(static_cast<unsigned char>(s_[i_ + 1])))) {
                size_t j = i_;
                while (j < s_.size() && std::isdigit(static_cast<unsigned char>(s_[j])))
                    ++j;
                if (j < s_.size() && s_[j] == '.' && j + 1 < s_.size() &&
                    std::isdigit(static_cast<unsigned char>(s_[j + 1]))) {
                    ++j;
                    while (j < s_.size() && std::isdigit(static_cast<unsigned char>(s_[j])))
                        ++j;
                }
                t.kind = Tok::Number;
                t.text = s_.substr(i_, j - i_);
                t.number = std::strtod(t.text.c_str(), nullptr);
                i_ = j;
            } else if (c == '"' || c == '\'' || c == '[') {
                const char close = c == '[' ? ']' : c;
                const size_t end = s_.find(close, i_ + 1);
                if (end == std::string::npos)
                    Fail(s_, i_ + 1, "unterminated string");
                t.kind = Tok::String;
                t.text = s_.substr(i_ + 1, end - i_ - 1);
                i_ = end + 1;
            } else if (c == '{') {
                const size_t end = s_.find('}', i_ + 1);
                if (end == std::string::npos)
                    Fail(s_, i_ + 1, "unterminated date literal");
                t.kind = Tok::DateLit;
                t.text = s_.substr(i_ + 1, end - i_ - 1);
                i_ = end + 1;
            } else if (c == '.') {
                const size_t end = s_.find('.', i_ + 1);
                const std::string word =
                    end == std::string::npos ? "" : Upper(s_.substr(i_ + 1, end - i_ - 1));
                if (word == "T" || word == "Y")
                    t.kind = Tok::True;
                else if (word == "F" || word == "N")
                    t.kind = Tok::False;
                else if (word == "AND")
                    t.kind = Tok::And;
                else if (word == "OR")
                    t.kind = Tok::Or;
                else if (word == "NOT")
                    t.kind = Tok::Not;
                else
                    Fail(s_, i_ + 1, "unexpected '.'");
                i_ = end + 1;
            } else {
                auto two = [&](char a, char b) {
                    return c == a && i_ + 1 < s_.size() && s_[i_ + 1] == b;
                };
                if (two('*', '*')) {
                    t.kind = Tok::Power;
                    i_ += 2;
                } else if (two('<', '>') || two('!', '=')) {
                    t.kind = Tok::Ne;
                    i_ += 2;
                } else if (two('<', '=')) {
                    t.kind = Tok::Le;
                    i_ += 2;
                } else if (two('>', '=')) {
                    t.kind = Tok::Ge;
                    i_ += 2;
                } else if (two('-', '>')) {
                    t.kind = Tok::Arrow;
                    i_ += 2;
                } else if (two('=', '=')) {
                    t.kind = Tok::Eq;
                    i_ += 2;
                } else {
                    switch (c) {
                        case '(':
                            t.kind = Tok::LParen;
                            break;
                        case ')':
                            t.kind = Tok::RParen;
                            break;
                        case ',':
                            t.kind = Tok::Comma;
                            break;
                        case '+':
                            t.kind = Tok::Plus;
                            break;
                        case '-':
                            t.kind = Tok::Minus;
                            break;
                        case '*':
                            t.kind = Tok::Star;
                            break;
                        case '/':
                            t.kind = Tok::Slash;
                            break;
                        case '%':
                            t.kind = Tok::Percent;
                            break;
                        case '^':
                            t.kind = Tok::Power;
                            break;
                        case '=':
                            t.kind = Tok::Eq;
                            break;
                        case '#':
                            t.kind = Tok::Ne;
                            break;
                        case '<':
                            t.kind = Tok::Lt;
                            break;
                        case '>':
                            t.kind = Tok::Gt;
                            break;
                        case '$':
                            t.kind = Tok::Dollar;
                            break;
                        case '!':
                            t.kind = Tok::Not;
                            break;
                        default:
                            Fail(s_, i_ + 1, std::string("unexpected character '") + c + "'");
                    }
                    ++i_;
                }
            }
            out.push_back(t);
        }
    }

  private:
    const std::string& s_;
    size_t i_ = 0;
};

// Julian day of a MM/DD/YY or MM/DD/YYYY text (two-digit years in the 1900s); 0 when invalid.
double ParseAmericanDate(const std::string& text) {
    int parts[3] = {0, 0, 0};
    int digits[3] = {0, 0, 0};
    int k = 0;
    bool any = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (k > 2)
                return 0;
            parts[k] = parts[k] * 10 + (c - '0');
            ++digits[k];
            any = true;
        } else if (c == ' ' && digits[k] == 0) {
            continue;
        } else {
            if (digits[k] == 0)
                return 0;
            ++k;
        }
    }
    if (!any || k != 2 || digits[2] == 0)
        return 0;
    int year = parts[2];
    if (digits[2] <= 2)
        year += 1900;
    return JulianDayFromDate(year, parts[0], parts[1]);
}

}  // namespace

// ---------------------------------------------------------------- parser and checker
struct Expression::Impl {
    std::string text;
    std::vector<Node> nodes;
    int root = -1;
    bool bareField = false;  // the text is one field name and nothing else

    const Node& N(int i) const { return nodes[static_cast<size_t>(i)]; }
    ExprValue Eval(int i, const RecordRef& r) const;
};

namespace {

class Parser {
  public:
    Parser(const std::string& text, const std::vector<FieldDef>& fields, std::vector<Node>& nodes)
        : text_(text), fields_(fields), nodes_(nodes), toks_(Lexer(text).Run()) {}

    int Run() {
        const int root = ParseOr();
        if (Peek().kind != Tok::End)
            Fail(text_, Peek().pos, "unexpected text");
        return root;
    }
    // After Run(): the text was a single name (a field then), without parentheses or alias.
    bool OneName() const { return toks_.size() == 2 && toks_[0].kind == Tok::Name; }

  private:
    const Token& Peek() const { return toks_[k_]; }
    Token Take() { return toks_[k_ < toks_.size() - 1 ? k_++ : k_]; }
    bool Accept(Tok kind) {
        if (Peek().kind != kind)
            return false;
        ++k_;
        return true;
    }
    Node& At(int i) { return nodes_[static_cast<size_t>(i)]; }

    int Add(Node n) {
        nodes_.push_back(std::move(n));
        return static_cast<int>(nodes_.size() - 1);
    }

    // Adds an operator or function node whose type is set: numbers, dates and logical values
    // get their fixed width, a character result keeps the width worked out for it.
    int AddResult(Node n) {
        if (n.type == ExprType::Numeric)
            n.width = kNumericKeyLength;
        if (n.type == ExprType::Date)
            n.width = kDateKeyLength;
        if (n.type == ExprType::Logical)
            n.width = 1;
        return Add(std::move(n));
    }

    int Binary(Op op, int a, int b, size_t pos) {
        Node n;
        n.op = op;
        n.pos = pos;
        n.kids = {a, b};
        const ExprType ta = At(a).type, tb = At(b).type;
        auto mismatch = [&]() {
            Fail(text_, pos,
                 std::string("operator needs matching operands, got ") + TypeName(ta) + " and " +
                     TypeName(tb));
        };
        switch (op) {
            case Op::Add:
                if (ta == ExprType::Character && tb == ExprType::Character) {
                    n.type = ExprType::Character;
                    n.width = At(a).width + At(b).width;
                } else if (ta == ExprType::Numeric && tb == ExprType::Numeric) {
                    n.type = ExprType::Numeric;
                } else if ((ta == ExprType::Date && tb == ExprType::Numeric) ||
                           (ta == ExprType::Numeric && tb == ExprType::Date)) {
                    n.type = ExprType::Date;
                } else {
                    mismatch();
                }
                break;
            case Op::Sub:
                if (ta == ExprType::Character && tb == ExprType::Character) {
                    n.type = ExprType::Character;
                    n.width = At(a).width + At(b).width;
                } else if (ta == ExprType::Numeric && tb == ExprType::Numeric) {
                    n.type = ExprType::Numeric;
                } else if (ta == ExprType::Date && tb == ExprType::Numeric) {
                    n.type = ExprType::Date;
                } else if (ta == ExprType::Date && tb == ExprType::Date) {
                    n.type = ExprType::Numeric;
                } else {
                    mismatch();
                }
                break;
            case Op::Mul:
            case Op::Div:
            case Op::Mod:
            case Op::Pow:
                if (ta != ExprType::Numeric || tb != ExprType::Numeric)
                    mismatch();
                n.type = ExprType::Numeric;
                break;
            case Op::Eq:
            case Op::Ne:
            case Op::Lt:
            case Op::Gt:
            case Op::Le:
            case Op::Ge:
                if (ta != tb || ta == ExprType::Logical) {
                    if (!(ta == tb && ta == ExprType::Logical && (op == Op::Eq || op == Op::Ne)))
                        mismatch();
                }
                n.type = ExprType::Logical;
                break;
            case Op::Contains:
                if (ta != ExprType::Character || tb != ExprType::Character)
                    mismatch();
                n.type = ExprType::Logical;
                break;
            case Op::And:
            case Op::Or:
                if (ta != ExprType::Logical || tb != ExprType::Logical)
                    mismatch();
                n.type = ExprType::Logical;
                break;
            default:
                break;
        }
        return AddResult(std::move(n));
    }

    struct BinaryOp {
        Tok token;
        Op op;
    };
    // One precedence level of left-associative operators: operands parsed by `next`, joined
    // while the next token is one of `ops`.
    int ParseLevel(int (Parser::*next)(), std::initializer_list<BinaryOp> ops) {
        int a = (this->*next)();
        for (;;) {
            const BinaryOp* found = nullptr;
            for (const auto& o : ops) {
                if (Peek().kind == o.token)
                    found = &o;
            }
            if (!found)
                return a;
            const size_t pos = Take().pos;
            a = Binary(found->op, a, (this->*next)(), pos);
        }
    }
    int ParseOr() { return ParseLevel(&Parser::ParseAnd, {{Tok::Or, Op::Or}}); }
    int ParseAnd() { return ParseLevel(&Parser::ParseNot, {{Tok::And, Op::And}}); }
    int ParseNot() {
        if (Peek().kind == Tok::Not) {
            const size_t pos = Take().pos;
            const int a = ParseNot();
            if (At(a).type != ExprType::Logical)
                Fail(text_, pos, ".NOT. needs a logical operand");
            Node n;
            n.op = Op::Not;
            n.type = ExprType::Logical;
            n.width = 1;
            n.pos = pos;
            n.kids = {a};
            return Add(std::move(n));
        }
        return ParseRelation();
    }
    int ParseRelation() {
        return ParseLevel(&Parser::ParseSum, {{Tok::Eq, Op::Eq},
                                              {Tok::Ne, Op::Ne},
                                              {Tok::Lt, Op::Lt},
                                              {Tok::Gt, Op::Gt},
                                              {Tok::Le, Op::Le},
                                              {Tok::Ge, Op::Ge},
                                              {Tok::Dollar, Op::Contains}});
    }
    int ParseSum() {
        return ParseLevel(&Parser::ParseProduct, {{Tok::Plus, Op::Add}, {Tok::Minus, Op::Sub}});
    }
    int ParseProduct() {
        return ParseLevel(&Parser::ParsePower,
                          {{Tok::Star, Op::Mul}, {Tok::Slash, Op::Div}, {Tok::Percent, Op::Mod}});
    }
    int ParsePower() { return ParseLevel(&Parser::ParseUnary, {{Tok::Power, Op::Pow}}); }
    int ParseUnary() {
        if (Peek().kind == Tok::Minus || Peek().kind == Tok::Plus) {
            const bool neg = Peek().kind == Tok::Minus;
            const size_t pos = Take().pos;
            const int a = ParseUnary();
            if (At(a).type != ExprType::Numeric)
                Fail(text_, pos, "sign needs a numeric operand");
            if (!neg)
                return a;
            if (At(a).op == Op::Number) {  // fold "-5" so literal arguments stay literals
                At(a).number = -At(a).number;
                return a;
            }
            Node n;
            n.op = Op::Neg;
            n.type = ExprType::Numeric;
            n.width = kNumericKeyLength;
            n.pos = pos;
            n.kids = {a};
            return Add(std::move(n));
        }
        return ParsePrimary();
    }

    const FieldDef* FindField(const std::string& name) const {
        for (const auto& f : fields_) {
            if (Upper(f.name) == name)
                return &f;
        }
        return nullptr;
    }

    int ParsePrimary() {
        const Token t = Take();
        Node n;
        n.pos = t.pos;
        switch (t.kind) {
            case Tok::LParen: {
                const int a = ParseOr();
                if (!Accept(Tok::RParen))
                    Fail(text_, Peek().pos, "')' expected");
                return a;
            }
            case Tok::String:
                n.op = Op::String;
                n.type = ExprType::Character;
                n.text = t.text;
                n.width = t.text.size();
                return Add(std::move(n));
            case Tok::Number:
                n.op = Op::Number;
                n.type = ExprType::Numeric;
                n.number = t.number;
                n.width = kNumericKeyLength;
                return Add(std::move(n));
            case Tok::DateLit: {
                n.op = Op::Date;
                n.type = ExprType::Date;
                n.width = kDateKeyLength;
                bool blank = true;
                for (char c : t.text)
                    blank = blank && (c == ' ' || c == '/');
                n.number = blank ? 0 : ParseAmericanDate(t.text);
                if (!blank && n.number == 0)
                    Fail(text_, t.pos, "invalid date literal {" + t.text + "}");
                return Add(std::move(n));
            }
            case Tok::True:
            case Tok::False:
                n.op = Op::Logical;
                n.type = ExprType::Logical;
                n.logical = t.kind == Tok::True;
                n.width = 1;
                return Add(std::move(n));
            case Tok::Name: {
                if (Peek().kind == Tok::LParen)
                    return ParseCall(t);
                std::string name = t.text;
                size_t pos = t.pos;
                if (Peek().kind == Tok::Arrow) {  // alias->FIELD: the alias is this table
                    Take();
                    const Token f = Take();
                    if (f.kind != Tok::Name)
                        Fail(text_, f.pos, "field name expected after '->'");
                    name = f.text;
                    pos = f.pos;
                }
                const FieldDef* fd = FindField(name);
                if (!fd)
                    Fail(text_, pos, "unknown field " + name);
                n.op = Op::Field;
                n.pos = pos;
                n.field = *fd;
                switch (fd->type) {
                    case 'C':
                        n.type = ExprType::Character;
                        n.width = fd->length;
                        break;
                    case 'N':
                    case 'F':
                        n.type = ExprType::Numeric;
                        n.width = kNumericKeyLength;
                        break;
                    case 'D':
                        n.type = ExprType::Date;
                        n.width = kDateKeyLength;
                        break;
                    case 'L':
                        n.type = ExprType::Logical;
                        n.width = 1;
                        break;
                    default:
                        Fail(text_, pos,
                             "field " + name + " of type " + std::string(1, fd->type) +
                                 " cannot be used in an expression");
                }
                return Add(std::move(n));
            }
            case Tok::End:
                Fail(text_, t.pos, "unexpected end of expression");
            default:
                Fail(text_, t.pos, "unexpected symbol");
        }
    }

    static bool IsLiteral(const Node& n) { return n.op == Op::Number; }

    int ParseCall(const Token& name) {
        const FnInfo* info = nullptr;
        for (const auto& f : kFunctions) {
            if (name.text == f.name)
                info = &f;
        }
        if (!info)
            Fail(text_, name.pos, "unknown function " + name.text);
        Take();  // '('
        std::vector<int> args;
        if (Peek().kind != Tok::RParen) {
            args.push_back(ParseOr());
            while (Accept(Tok::Comma))
                args.push_back(ParseOr());
        }
        if (!Accept(Tok::RParen))
            Fail(text_, Peek().pos, "')' expected");
        const int argc = static_cast<int>(args.size());
        if (argc < info->minArgs || argc > info->maxArgs) {
            Fail(text_, name.pos, "wrong number of arguments to " + name.text);
        }
        auto need = [&](int i, ExprType t) {
            const Node& a = At(args[static_cast<size_t>(i)]);
            if (a.type != t) {
                Fail(text_, a.pos,
                     name.text + " argument " + std::to_string(i + 1) + " must be " + TypeName(t) +
                         ", not " + TypeName(a.type));
            }
        };
        auto literal = [&](int i) -> long {
            const Node& a = At(args[static_cast<size_t>(i)]);
            if (!IsLiteral(a))
                Fail(text_, a.pos,
                     name.text + " argument " + std::to_string(i + 1) + " must be a number");
            return std::lround(a.number);
        };
        Node n;
        n.op = Op::Call;
        n.fn = info->fn;
        n.pos = name.pos;
        n.kids = args;
        auto width0 = [&]() { return At(args[0]).width; };
        switch (info->fn) {
            case Fn::Upper:
            case Fn::Lower:
            case Fn::Trim:
            case Fn::RTrim:
            case Fn::LTrim:
                need(0, ExprType::Character);
                n.type = ExprType::Character;
                n.width = width0();
                break;
            case Fn::Substr: {
                need(0, ExprType::Character);
                need(1, ExprType::Numeric);
                const size_t w = width0();
                size_t start = 1;
                if (IsLiteral(At(args[1]))) {
                    const long s = literal(1);
                    if (s < 1)
                        Fail(text_, At(args[1]).pos, "SUBSTR start must be 1 or more");
                    start = static_cast<size_t>(s);
                }
                size_t avail = start <= w ? w - start + 1 : 0;
                size_t len = avail;
                if (argc == 3) {
                    need(2, ExprType::Numeric);
                    if (IsLiteral(At(args[2]))) {
                        const long l = literal(2);
                        if (l < 0)
                            Fail(text_, At(args[2]).pos, "SUBSTR length must not be negative");
                        len = std::min(static_cast<size_t>(l), avail);
                    }
                }
                n.type = ExprType::Character;
                n.width = len;
                break;
            }
            case Fn::Left:
            case Fn::Right: {
                need(0, ExprType::Character);
                need(1, ExprType::Numeric);
                size_t len = width0();
                if (IsLiteral(At(args[1]))) {
                    const long l = literal(1);
                    len = std::min(static_cast<size_t>(std::max(0L, l)), width0());
                }
                n.type = ExprType::Character;
                n.width = len;
                break;
            }
            case Fn::Str: {
                need(0, ExprType::Numeric);
                if (argc >= 2)
                    n.strLen = static_cast<int>(literal(1));
                if (argc >= 3)
                    n.strDec = static_cast<int>(literal(2));
                if (n.strLen < 1 || n.strLen > 255)
                    Fail(text_, name.pos, "STR length out of range");
                if (n.strDec < 0)
                    n.strDec = 0;
                if (n.strDec > 0 && n.strDec > n.strLen - 2)
                    n.strDec = std::max(0, n.strLen - 2);
                n.type = ExprType::Character;
                n.width = static_cast<size_t>(n.strLen);
                break;
            }
            case Fn::Dtos:
            case Fn::Dtoc:
                need(0, ExprType::Date);
                n.type = ExprType::Character;
                n.width = 8;
                break;
            case Fn::Iif: {
                need(0, ExprType::Logical);
                const Node& a = At(args[1]);
                const Node& b = At(args[2]);
                if (a.type != b.type) {
                    Fail(text_, b.pos,
                         std::string("IIF branches differ in type: ") + TypeName(a.type) + " and " +
                             TypeName(b.type));
                }
                n.type = a.type;
                n.width = std::max(a.width, b.width);
                break;
            }
            case Fn::Val:
                need(0, ExprType::Character);
                n.type = ExprType::Numeric;
                break;
            case Fn::Recno:
                n.type = ExprType::Numeric;
                break;
            case Fn::Ctod:
            case Fn::Stod:
                need(0, ExprType::Character);
                n.type = ExprType::Date;
                break;
            case Fn::Year:
            case Fn::Month:
            case Fn::Day:
                need(0, ExprType::Date);
                n.type = ExprType::Numeric;
                break;
            case Fn::Int:
            case Fn::Abs:
                need(0, ExprType::Numeric);
                n.type = ExprType::Numeric;
                break;
            case Fn::Deleted:
                n.type = ExprType::Logical;
                break;
        }
        return AddResult(std::move(n));
    }

    const std::string& text_;
    const std::vector<FieldDef>& fields_;
    std::vector<Node>& nodes_;
    std::vector<Token> toks_;
    size_t k_ = 0;
};

// A field's bytes in the record: all of them, or fewer when the record is cut short.
std::string_view FieldBytes(const FieldDef& f, const RecordRef& r) {
    if (f.offset >= r.length)
        return {};
    return {reinterpret_cast<const char*>(r.data + f.offset),
            std::min<size_t>(f.length, r.length - f.offset)};
}

// A field's text, blank-padded to the field's width.
std::string FieldText(const Node& n, const RecordRef& r) {
    std::string s(FieldBytes(n.field, r));
    s.resize(n.field.length, ' ');
    return s;
}

// UPPER() and LOWER() of one byte: ASCII letters change, every other byte stays as it is.
char ChangeCase(Fn fn, char c) {
    if (fn == Fn::Upper && c >= 'a' && c <= 'z')
        return static_cast<char>(c - 'a' + 'A');
    if (fn == Fn::Lower && c >= 'A' && c <= 'Z')
        return static_cast<char>(c - 'A' + 'a');
    return c;
}

// A numeric field's text read as the key encoder reads it: blanks, a sign, blanks, digits with
// one point, an exponent; anything else ends the number, so that "0x10", "inf" or "nan" give
// the same value in a FOR condition as in a key.
double ParseNumberText(const std::string& s) {
    size_t i = 0;
    const size_t n = s.size();
    const auto digit = [&](size_t k) { return k < n && s[k] >= '0' && s[k] <= '9'; };
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    std::string t;
    if (i < n && (s[i] == '-' || s[i] == '+'))
        t += s[i++];
    while (i < n && s[i] == ' ')
        ++i;
    bool point = false, anyDigit = false;
    for (; i < n && (digit(i) || (s[i] == '.' && !point)); ++i) {
        point = point || s[i] == '.';
        anyDigit = anyDigit || s[i] != '.';
        t += s[i];
    }
    if (!anyDigit)
        return 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        const size_t sign = (i + 1 < n && (s[i + 1] == '-' || s[i + 1] == '+')) ? 1 : 0;
        if (digit(i + 1 + sign)) {
            t += s.substr(i, 1 + sign);
            for (i += 1 + sign; digit(i); ++i)
                t += s[i];
        }
    }
    const double v = std::strtod(t.c_str(), nullptr);
    return std::isfinite(v) ? v : 0;
}

// dBASE VAL(): leading blanks skipped, sign, digits, one point, digits; stops at the first
// other character.
double ValOf(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    std::string t;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        t += s[i++];
    bool point = false;
    while (i < s.size()) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            t += c;
        } else if (c == '.' && !point) {
            point = true;
            t += c;
        } else {
            break;
        }
        ++i;
    }
    return std::strtod(t.c_str(), nullptr);
}

std::string StrOf(double v, int len, int dec) {
    char buf[400];
    double r = v;
    const double scale = std::pow(10.0, dec);
    r = std::round(r * scale) / scale;  // half away from zero
    if (r == 0)
        r = 0;  // no "-0"
    std::snprintf(buf, sizeof buf, "%.*f", dec, r);
    std::string s = buf;
    if (s.size() > static_cast<size_t>(len))
        return std::string(static_cast<size_t>(len), '*');
    return std::string(static_cast<size_t>(len) - s.size(), ' ') + s;
}

std::string RightTrim(const std::string& s) {
    size_t e = s.size();
    while (e > 0 && s[e - 1] == ' ')
        --e;
    return s.substr(0, e);
}

int CompareText(const std::string& a, const std::string& b) {
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : ' ';
        const unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : ' ';
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return 0;
}

}  // namespace

ExprValue Expression::Impl::Eval(int i, const RecordRef& r) const {
    const Node& n = N(i);
    ExprValue v;
    v.type = n.type;
    switch (n.op) {
        case Op::Field: {
            const std::string s = FieldText(n, r);
            switch (n.field.type) {
                case 'C':
                    v.text = s;
                    break;
                case 'N':
                case 'F':
                    v.number = ParseNumberText(s);
                    break;
                case 'D':
                    v.number = DtosToJulianDay(s.data(), s.size());
                    break;
                case 'L':
                    v.logical = !s.empty() && std::strchr("TtYy", s[0]) != nullptr && s[0] != 0;
                    break;
                default:
                    break;
            }
            return v;
        }
        case Op::String:
            v.text = n.text;
            return v;
        case Op::Number:
        case Op::Date:
            v.number = n.number;
            return v;
        case Op::Logical:
            v.logical = n.logical;
            return v;
        case Op::Neg:
            v.number = -Eval(n.kids[0], r).number;
            return v;
        case Op::Not:
            v.logical = !Eval(n.kids[0], r).logical;
            return v;
        case Op::And:
            v.logical = Eval(n.kids[0], r).logical && Eval(n.kids[1], r).logical;
            return v;
        case Op::Or:
            v.logical = Eval(n.kids[0], r).logical || Eval(n.kids[1], r).logical;
            return v;
        default:
            break;
    }
    if (n.op == Op::Call) {
        auto arg = [&](size_t k) { return Eval(n.kids[k], r); };
        switch (n.fn) {
            case Fn::Upper:
            case Fn::Lower: {
                v.text = arg(0).text;
                for (auto& c : v.text)
                    c = ChangeCase(n.fn, c);
                return v;
            }
            case Fn::Trim:
            case Fn::RTrim:
                v.text = RightTrim(arg(0).text);
                return v;
            case Fn::LTrim: {
                const std::string s = arg(0).text;
                const size_t b = s.find_first_not_of(' ');
                v.text = b == std::string::npos ? std::string() : s.substr(b);
                return v;
            }
            case Fn::Substr: {
                const std::string s = arg(0).text;
                long start = std::lround(arg(1).number);
                if (start < 1)
                    start = 1;
                const size_t from = static_cast<size_t>(start - 1);
                if (from >= s.size())
                    return v;
                size_t len = s.size() - from;
                if (n.kids.size() == 3) {
                    const long l = std::lround(arg(2).number);
                    len = std::min(len, static_cast<size_t>(std::max(0L, l)));
                }
                v.text = s.substr(from, len);
                return v;
            }
            case Fn::Left: {
                const std::string s = arg(0).text;
                const long l = std::max(0L, std::lround(arg(1).number));
                v.text = s.substr(0, std::min(s.size(), static_cast<size_t>(l)));
                return v;
            }
            case Fn::Right: {
                const std::string s = arg(0).text;
                const size_t l = std::min(
                    s.size(), static_cast<size_t>(std::max(0L, std::lround(arg(1).number))));
                v.text = s.substr(s.size() - l);
                return v;
            }
            case Fn::Str:
                v.text = StrOf(arg(0).number, n.strLen, n.strDec);
                return v;
            case Fn::Dtos:
                v.text = JulianDayToDtos(arg(0).number);
                return v;
            case Fn::Dtoc: {
                const double jd = arg(0).number;
                int y, m, d;
                if (!DateFromJulianDay(jd, y, m, d)) {
                    v.text = "  /  /  ";
                } else {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, y % 100);
                    v.text = buf;
                }
                return v;
            }
            case Fn::Iif: {
                v = Eval(n.kids[0], r).logical ? arg(1) : arg(2);
                if (v.type == ExprType::Character && v.text.size() < n.width)
                    v.text.append(n.width - v.text.size(), ' ');
                return v;
            }
            case Fn::Val:
                v.number = ValOf(arg(0).text);
                return v;
            case Fn::Recno:
                v.number = r.recno;
                return v;
            case Fn::Ctod:
                v.number = ParseAmericanDate(arg(0).text);
                return v;
            case Fn::Stod: {
                const std::string s = arg(0).text;
                v.number = DtosToJulianDay(s.data(), s.size());
                return v;
            }
            case Fn::Year:
            case Fn::Month:
            case Fn::Day: {
                const double jd = arg(0).number;
                int y = 0, m = 0, d = 0;
                if (DateFromJulianDay(jd, y, m, d)) {
                    v.number = n.fn == Fn::Year ? y : n.fn == Fn::Month ? m : d;
                }
                return v;
            }
            case Fn::Int:
                v.number = std::trunc(arg(0).number);
                return v;
            case Fn::Abs:
                v.number = std::fabs(arg(0).number);
                return v;
            case Fn::Deleted:
                v.logical = r.length > 0 && r.data[0] == '*';
                return v;
        }
        return v;
    }
    const ExprValue a = Eval(n.kids[0], r);
    const ExprValue b = Eval(n.kids[1], r);
    switch (n.op) {
        case Op::Add:
            if (n.type == ExprType::Character)
                v.text = a.text + b.text;
            else if (n.type == ExprType::Date) {
                const double date = a.type == ExprType::Date ? a.number : b.number;
                v.number = date == 0 ? 0 : a.number + b.number;  // the empty date stays empty
            } else
                v.number = a.number + b.number;
            return v;
        case Op::Sub:
            if (n.type == ExprType::Character) {
                // The left operand's trailing blanks move to the end of the result.
                const std::string t = RightTrim(a.text);
                v.text = t + b.text + std::string(a.text.size() - t.size(), ' ');
            } else if (n.type == ExprType::Date) {
                v.number = a.number == 0 ? 0 : a.number - b.number;
            } else {
                v.number = a.number - b.number;
            }
            return v;
        case Op::Mul:
            v.number = a.number * b.number;
            return v;
        case Op::Div:
            v.number = b.number == 0 ? 0 : a.number / b.number;
            return v;
        case Op::Mod:
            v.number = b.number == 0 ? 0 : std::fmod(a.number, b.number);
            return v;
        case Op::Pow:
            v.number = std::pow(a.number, b.number);
            return v;
        case Op::Contains:
            v.logical = b.text.find(a.text) != std::string::npos;
            return v;
        default:
            break;
    }
    int c = 0;
    if (a.type == ExprType::Character) {
        if (n.op == Op::Eq || n.op == Op::Ne) {
            // Inexact comparison: the left side matches when it begins with the right side.
            const std::string left =
                a.text.size() >= b.text.size() ? a.text.substr(0, b.text.size()) : a.text;
            c = CompareText(left, b.text);
        } else {
            c = CompareText(a.text, b.text);
        }
    } else if (a.type == ExprType::Logical) {
        c = a.logical == b.logical ? 0 : 1;
    } else {
        c = a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
    }
    switch (n.op) {
        case Op::Eq:
            v.logical = c == 0;
            break;
        case Op::Ne:
            v.logical = c != 0;
            break;
        case Op::Lt:
            v.logical = c < 0;
            break;
        case Op::Gt:
            v.logical = c > 0;
            break;
        case Op::Le:
            v.logical = c <= 0;
            break;
        case Op::Ge:
            v.logical = c >= 0;
            break;
        default:
            break;
    }
    return v;
}

Expression::Expression(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;
Expression::~Expression() = default;

Expression Expression::Parse(const std::string& text, const std::vector<FieldDef>& fields) {
    auto impl = std::make_unique<Impl>();
    impl->text = text;
    bool blank = true;
    for (char c : text)
        blank = blank && std::isspace(static_cast<unsigned char>(c));
    if (blank)
        Fail(text, 0, "empty expression");
    if (text.size() > kMaxExpressionText) {
        Fail(text, kMaxExpressionText + 1, "longer than 220 characters");
    }
    Parser p(text, fields, impl->nodes);
    impl->root = p.Run();
    impl->bareField = p.OneName();
    return Expression(std::move(impl));
}

const std::string& Expression::Text() const {
    return impl_->text;
}
ExprType Expression::Type() const {
    return impl_->N(impl_->root).type;
}
size_t Expression::Width() const {
    return impl_->N(impl_->root).width;
}
std::string Expression::SingleField() const {
    return impl_->bareField ? impl_->N(impl_->root).field.name : std::string();
}

ExprValue Expression::Evaluate(const RecordRef& record) const {
    return impl_->Eval(impl_->root, record);
}

bool Expression::Test(const RecordRef& record) const {
    return impl_->Eval(impl_->root, record).logical;
}

KeyType Expression::KeyTypeOf() const {
    switch (Type()) {
        case ExprType::Character:
            break;
        case ExprType::Numeric:
            return KeyType::Numeric;
        case ExprType::Date:
            return KeyType::Date;
        case ExprType::Logical:
            Fail(impl_->text, 0, "a logical expression cannot be an index key");
    }
    if (Width() > kMaxKeyLength) {
        Fail(impl_->text, 0,
             "key of " + std::to_string(Width()) + " bytes is longer than 100 bytes");
    }
    if (Width() == 0)
        Fail(impl_->text, 0, "key of 0 bytes");
    return KeyType::Character;
}

size_t Expression::KeyLength() const {
    return SortableKeyLength(KeyTypeOf(), Width());
}

void Expression::EvaluateKey(const RecordRef& record, uint8_t* out) const {
    const Node& root = impl_->N(impl_->root);
    switch (root.type) {
        case ExprType::Character: {
            const size_t len = root.width;
            if (root.op == Op::Field) {  // the common case without a temporary string
                const std::string_view f = FieldBytes(root.field, record);
                const size_t have = std::min(len, f.size());
                if (have)
                    std::memcpy(out, f.data(), have);
                std::memset(out + have, ' ', len - have);
                return;
            }
            if (root.op == Op::Call && (root.fn == Fn::Upper || root.fn == Fn::Lower) &&
                impl_->N(root.kids[0]).op == Op::Field) {  // UPPER(FIELD): in place as well
                const std::string_view f = FieldBytes(impl_->N(root.kids[0]).field, record);
                const size_t have = std::min(len, f.size());
                for (size_t i = 0; i < have; ++i)
                    out[i] = static_cast<uint8_t>(ChangeCase(root.fn, f[i]));
                std::memset(out + have, ' ', len - have);
                return;
            }
            const ExprValue v = impl_->Eval(impl_->root, record);
            const size_t have = std::min(len, v.text.size());
            std::memcpy(out, v.text.data(), have);
            std::memset(out + have, ' ', len - have);
            return;
        }
        case ExprType::Numeric:
            if (root.op == Op::Field) {  // exact digits from the field text
                EncodeNumericKey(FieldText(root, record), out);
                return;
            }
            EncodeNumericKey(impl_->Eval(impl_->root, record).number, out);
            return;
        case ExprType::Date:
            EncodeDateKey(impl_->Eval(impl_->root, record).number, out);
            return;
        case ExprType::Logical:
            break;
    }
    Fail(impl_->text, 0, "a logical expression cannot be an index key");
}

}  // namespace ari::engine
