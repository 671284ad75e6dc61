#include "engine/expr/Expr.h"

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
// Longest character value a function builds (a dBASE IV character field's limit).
constexpr size_t kMaxCharacterResult = 254;

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
    Empty,
    IsBlank,
    Space,
    Round,
    Len,
    Chr,
    Asc,
    At,
    Rat,
    PadL,
    PadR,
    Replicate,
    Stuff,
    Max,
    Min,
    ModFn,
    Dow,
    Cdow,
    Cmonth,
    Transform,
    IsAlpha,
    IsUpper,
    IsLower,
    IsDigit,
    Soundex,
    Difference,
    Like,
    Exp,
    Log,
    Log10,
    Sqrt,
    Ceiling,
    Floor,
    Sign,
    Pi,
    Fixed,
    Float,
    Sin,
    Cos,
    Tan,
    Asin,
    Acos,
    Atan,
    Atn2,
    Dtor,
    Rtod,
};

struct FnInfo {
    const char* name;
    Fn fn;
    int minArgs, maxArgs;
};

constexpr FnInfo kFunctions[] = {
    {"UPPER", Fn::Upper, 1, 1},     {"LOWER", Fn::Lower, 1, 1},
    {"TRIM", Fn::Trim, 1, 1},       {"RTRIM", Fn::RTrim, 1, 1},
    {"LTRIM", Fn::LTrim, 1, 1},     {"SUBSTR", Fn::Substr, 2, 3},
    {"LEFT", Fn::Left, 2, 2},       {"RIGHT", Fn::Right, 2, 2},
    {"STR", Fn::Str, 1, 3},         {"DTOS", Fn::Dtos, 1, 1},
    {"DTOC", Fn::Dtoc, 1, 1},       {"IIF", Fn::Iif, 3, 3},
    {"VAL", Fn::Val, 1, 1},         {"RECNO", Fn::Recno, 0, 0},
    {"CTOD", Fn::Ctod, 1, 1},       {"STOD", Fn::Stod, 1, 1},
    {"YEAR", Fn::Year, 1, 1},       {"MONTH", Fn::Month, 1, 1},
    {"DAY", Fn::Day, 1, 1},         {"INT", Fn::Int, 1, 1},
    {"ABS", Fn::Abs, 1, 1},         {"DELETED", Fn::Deleted, 0, 0},
    {"EMPTY", Fn::Empty, 1, 1},     {"ISBLANK", Fn::IsBlank, 1, 1},
    {"SPACE", Fn::Space, 1, 1},     {"ROUND", Fn::Round, 2, 2},
    {"LEN", Fn::Len, 1, 1},         {"CHR", Fn::Chr, 1, 1},
    {"ASC", Fn::Asc, 1, 1},         {"AT", Fn::At, 2, 2},
    {"RAT", Fn::Rat, 2, 2},         {"PADL", Fn::PadL, 2, 3},
    {"PADR", Fn::PadR, 2, 3},       {"REPLICATE", Fn::Replicate, 2, 2},
    {"STUFF", Fn::Stuff, 4, 4},     {"MAX", Fn::Max, 2, 2},
    {"MIN", Fn::Min, 2, 2},         {"MOD", Fn::ModFn, 2, 2},
    {"DOW", Fn::Dow, 1, 1},         {"CDOW", Fn::Cdow, 1, 1},
    {"CMONTH", Fn::Cmonth, 1, 1},   {"TRANSFORM", Fn::Transform, 2, 2},
    {"ISALPHA", Fn::IsAlpha, 1, 1}, {"ISUPPER", Fn::IsUpper, 1, 1},
    {"ISLOWER", Fn::IsLower, 1, 1}, {"ISDIGIT", Fn::IsDigit, 1, 1},
    {"SOUNDEX", Fn::Soundex, 1, 1}, {"DIFFERENCE", Fn::Difference, 2, 2},
    {"LIKE", Fn::Like, 2, 2},       {"EXP", Fn::Exp, 1, 1},
    {"LOG", Fn::Log, 1, 1},         {"LOG10", Fn::Log10, 1, 1},
    {"SQRT", Fn::Sqrt, 1, 1},       {"CEILING", Fn::Ceiling, 1, 1},
    {"FLOOR", Fn::Floor, 1, 1},     {"SIGN", Fn::Sign, 1, 1},
    {"PI", Fn::Pi, 0, 0},           {"FIXED", Fn::Fixed, 1, 1},
    {"FLOAT", Fn::Float, 1, 1},     {"SIN", Fn::Sin, 1, 1},
    {"COS", Fn::Cos, 1, 1},         {"TAN", Fn::Tan, 1, 1},
    {"ASIN", Fn::Asin, 1, 1},       {"ACOS", Fn::Acos, 1, 1},
    {"ATAN", Fn::Atan, 1, 1},       {"ATN2", Fn::Atn2, 2, 2},
    {"DTOR", Fn::Dtor, 1, 1},       {"RTOD", Fn::Rtod, 1, 1},
};

// dBASE IV functions whose result depends on the session (clock, environment, settings such as
// SET CENTURY, work areas, the position in the table) rather than on the record: an index built
// with one of them would not match its table the next day or in the next program.
constexpr const char* kSessionFunctions[] = {
    "DATE",  "TIME",    "RECCOUNT", "RECSIZE",   "FOUND",   "EOF",     "BOF",      "SELECT",
    "ALIAS", "DBF",     "MDX",      "NDX",       "TAG",     "ORDER",   "FIELD",    "GETENV",
    "OS",    "VERSION", "USER",     "INKEY",     "READKEY", "ROW",     "COL",      "PROW",
    "PCOL",  "NETWORK", "ACCESS",   "DISKSPACE", "MEMORY",  "ISCOLOR", "ISMARKED", "LUPDATE",
    "SET",   "RAND",    "ERROR",    "MESSAGE",   "LINENO",  "PROGRAM", "LOCK",     "RLOCK",
    "FLOCK", "FKLABEL", "FKMAX",    "KEY",       "SEEK",    "LOOKUP",  "CALL",     "FILE",
    "DMY",   "MDY",
};

// TRANSFORM picture, parsed when the expression is checked: the picture functions this engine
// supports (@!, @R, @Z) and the template.
struct Picture {
    bool upper = false;      // @! or ! in the template: letters upper case
    bool insert = false;     // @R: template literals are inserted, not laid over the data
    bool zeroBlank = false;  // @Z: a zero number shows as blanks
    std::string tmpl;        // the template, "" for none
    int decimals = 0;        // numeric template: 9/# positions after its point
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
    int strLen = 10, strDec = 0;  // STR() arguments, TRANSFORM's field width and decimals
    long count = 0;               // SPACE, PADL/PADR, REPLICATE: the literal length or count
    Picture picture;              // TRANSFORM
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

[[noreturn]] void Fail(const std::string& expr, size_t pos, const std::string& what,
                       const std::string& note = "") {
    std::string msg = "Invalid index expression \"" + expr + "\": " + what;
    if (pos > 0)
        msg += " at position " + std::to_string(pos);
    msg += note;
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
        if (!info) {
            for (const char* session : kSessionFunctions) {
                if (name.text == session) {
                    Fail(text_, name.pos,
                         "function " + name.text +
                             "() depends on the session, not on the record, and cannot be used "
                             "in an index key or FOR condition");
                }
            }
            Fail(text_, name.pos, "unknown function " + name.text,
                 " (user functions cannot be used in an index key or FOR condition)");
        }
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
        // A literal length or count argument, 0 (or `min`) to 254.
        auto lengthArg = [&](int i, long min) {
            const long v = literal(i);
            if (v < min || v > static_cast<long>(kMaxCharacterResult)) {
                Fail(text_, At(args[static_cast<size_t>(i)]).pos,
                     name.text + " argument " + std::to_string(i + 1) + " must be " +
                         std::to_string(min) + " to 254");
            }
            return v;
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
            case Fn::Empty:
            case Fn::IsBlank:
                n.type = ExprType::Logical;
                break;
            case Fn::Space:
                need(0, ExprType::Numeric);
                n.count = lengthArg(0, 0);
                n.type = ExprType::Character;
                n.width = static_cast<size_t>(n.count);
                break;
            case Fn::Round:
            case Fn::ModFn:
            case Fn::Atn2:
                need(0, ExprType::Numeric);
                need(1, ExprType::Numeric);
                n.type = ExprType::Numeric;
                break;
            case Fn::Len:
            case Fn::Asc:
                need(0, ExprType::Character);
                n.type = ExprType::Numeric;
                break;
            case Fn::Chr:
                need(0, ExprType::Numeric);
                n.type = ExprType::Character;
                n.width = 1;
                break;
            case Fn::At:
            case Fn::Rat:
                need(0, ExprType::Character);
                need(1, ExprType::Character);
                n.type = ExprType::Numeric;
                break;
            case Fn::PadL:
            case Fn::PadR:
                need(0, ExprType::Character);
                need(1, ExprType::Numeric);
                if (argc == 3)
                    need(2, ExprType::Character);
                n.count = lengthArg(1, 0);
                n.type = ExprType::Character;
                n.width = static_cast<size_t>(n.count);
                break;
            case Fn::Replicate: {
                need(0, ExprType::Character);
                need(1, ExprType::Numeric);
                n.count = lengthArg(1, 0);
                const size_t w = width0() * static_cast<size_t>(n.count);
                if (w > kMaxCharacterResult)
                    Fail(text_, name.pos, "REPLICATE result longer than 254 characters");
                n.type = ExprType::Character;
                n.width = w;
                break;
            }
            case Fn::Stuff: {
                need(0, ExprType::Character);
                need(1, ExprType::Numeric);
                need(2, ExprType::Numeric);
                need(3, ExprType::Character);
                const size_t w = width0();
                const size_t added = At(args[3]).width;
                size_t removed = 0;  // unknown start or count: the widest result, padded
                if (IsLiteral(At(args[1])) && IsLiteral(At(args[2]))) {
                    const long start = std::max(1L, literal(1));
                    const long count = std::max(0L, literal(2));
                    const size_t from = std::min(static_cast<size_t>(start - 1), w);
                    removed = std::min(static_cast<size_t>(count), w - from);
                }
                n.type = ExprType::Character;
                n.width = w - removed + added;
                break;
            }
            case Fn::Max:
            case Fn::Min: {
                const Node& a = At(args[0]);
                const Node& b = At(args[1]);
                if (a.type != b.type || a.type == ExprType::Logical) {
                    Fail(text_, b.pos,
                         name.text + " needs two numbers, two dates or two strings, got " +
                             TypeName(a.type) + " and " + TypeName(b.type));
                }
                n.type = a.type;
                n.width = std::max(a.width, b.width);
                break;
            }
            case Fn::Dow:
                need(0, ExprType::Date);
                n.type = ExprType::Numeric;
                break;
            case Fn::Cdow:
            case Fn::Cmonth:
                need(0, ExprType::Date);
                n.type = ExprType::Character;
                n.width = 9;  // "Wednesday", "September": the longest names
                break;
            case Fn::Transform:
                CheckTransform(n, args, name);
                break;
            case Fn::IsAlpha:
            case Fn::IsUpper:
            case Fn::IsLower:
            case Fn::IsDigit:
                need(0, ExprType::Character);
                n.type = ExprType::Logical;
                break;
            case Fn::Soundex:
                need(0, ExprType::Character);
                n.type = ExprType::Character;
                n.width = 4;
                break;
            case Fn::Difference:
                need(0, ExprType::Character);
                need(1, ExprType::Character);
                n.type = ExprType::Numeric;
                break;
            case Fn::Like:
                need(0, ExprType::Character);
                need(1, ExprType::Character);
                n.type = ExprType::Logical;
                break;
            case Fn::Pi:
                n.type = ExprType::Numeric;
                break;
            case Fn::Exp:
            case Fn::Log:
            case Fn::Log10:
            case Fn::Sqrt:
            case Fn::Ceiling:
            case Fn::Floor:
            case Fn::Sign:
            case Fn::Fixed:
            case Fn::Float:
            case Fn::Sin:
            case Fn::Cos:
            case Fn::Tan:
            case Fn::Asin:
            case Fn::Acos:
            case Fn::Atan:
            case Fn::Dtor:
            case Fn::Rtod:
                need(0, ExprType::Numeric);
                n.type = ExprType::Numeric;
                break;
        }
        return AddResult(std::move(n));
    }

    // TRANSFORM(value, picture): the picture must be a string literal. Supported: the picture
    // functions @! (upper case), @R (template literals inserted) and @Z (zero as blanks), alone
    // or before a blank and a template; character templates of 9 # ! A X N L Y positions and
    // literals; numeric templates of 9 and # positions, commas and one point. The result is as
    // wide as the template; without a template, as wide as a character value, a numeric
    // field's width, or 8 for a date (MM/DD/YY).
    void CheckTransform(Node& n, const std::vector<int>& args, const Token& name) {
        const Node& value = At(args[0]);
        const Node& pic = At(args[1]);
        if (pic.op != Op::String)
            Fail(text_, pic.pos, "TRANSFORM picture must be a string literal");
        Picture p;
        std::string rest = pic.text;
        if (!rest.empty() && rest[0] == '@') {
            const size_t blank = rest.find(' ');
            const std::string functions =
                rest.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
            rest = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
            for (char c : functions) {
                const char f = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (f == '!')
                    p.upper = true;
                else if (f == 'R')
                    p.insert = true;
                else if (f == 'Z')
                    p.zeroBlank = true;
                else
                    Fail(text_, pic.pos,
                         std::string("TRANSFORM picture function @") + c +
                             " is not supported (supported: @!, @R, @Z)");
            }
        }
        p.tmpl = rest;
        n.type = ExprType::Character;
        switch (value.type) {
            case ExprType::Character:
                n.width = p.tmpl.empty() ? value.width : p.tmpl.size();
                break;
            case ExprType::Numeric:
                if (p.tmpl.empty()) {
                    if (value.op != Op::Field)
                        Fail(text_, pic.pos, "TRANSFORM of a computed number needs a template");
                    n.strLen = static_cast<int>(value.field.length);
                    n.strDec = value.field.decimals;
                    n.width = value.field.length;
                    break;
                }
                {
                    bool point = false;
                    for (char c : p.tmpl) {
                        if (c == '.' && !point) {
                            point = true;
                        } else if (c == '9' || c == '#') {
                            p.decimals += point ? 1 : 0;
                        } else if (c != ',') {
                            Fail(text_, pic.pos,
                                 std::string("TRANSFORM numeric template character '") + c +
                                     "' is not supported (supported: 9 # , .)");
                        }
                    }
                }
                n.width = p.tmpl.size();
                break;
            case ExprType::Date:
                if (!p.tmpl.empty() || p.insert || p.zeroBlank)
                    Fail(text_, pic.pos, "TRANSFORM of a date takes no template");
                n.width = 8;
                break;
            case ExprType::Logical:
                Fail(text_, value.pos, name.text + " of a logical value is not supported");
        }
        if (n.width == 0 || n.width > kMaxCharacterResult)
            Fail(text_, pic.pos, "TRANSFORM result must be 1 to 254 characters");
        n.picture = p;
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

// A numeric field's text read by the key encoder's grammar (ScanNumberText), so that "0x10",
// "inf" or "nan" give the same value in a FOR condition as in a key.
double ParseNumberText(const std::string& s) {
    const NumberText number = ScanNumberText(s);
    if (!number.HasDigits())
        return 0;
    std::string t;
    if (number.sign != 0)
        t += number.sign;
    t += number.mantissa;
    t += number.exponent;
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

// Whole numbers below this size print as the decimals of their quotient by a power of ten:
// that double lies within half a unit in the last place of the exact quotient, and below 2^52
// such a unit is less than the last decimal printed.
constexpr double kExactDecimalLimit = 4503599627370496.0;  // 2^52

// The text "%.*f" prints for `scaled` / 10^dec, where `scaled` is a whole number below
// kExactDecimalLimit in size (0 prints without a sign): its digits with the point put in.
std::string FixedOfWhole(double scaled, int dec) {
    uint64_t k = static_cast<uint64_t>(std::fabs(scaled));
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + k % 10);
        k /= 10;
    } while (k != 0 || n <= dec);  // at least one digit before the point
    std::string s;
    s.reserve(static_cast<size_t>(n) + 2);
    if (scaled < 0)
        s += '-';
    for (int i = n - 1; i >= 0; --i) {
        s += digits[i];
        if (i == dec && dec > 0)
            s += '.';
    }
    return s;
}

std::string StrOf(double v, int len, int dec) {
    char buf[400];
    double r = v;
    const double scale = std::pow(10.0, dec);
    const double scaled = std::round(r * scale);  // half away from zero
    std::string s;
    if (dec >= 0 && dec <= 15 && std::fabs(scaled) < kExactDecimalLimit) {
        s = FixedOfWhole(scaled == 0 ? 0.0 : scaled, dec);  // no "-0"
    } else {
        r = scaled / scale;
        if (r == 0)
            r = 0;  // no "-0"
        std::snprintf(buf, sizeof buf, "%.*f", dec, r);
        s = buf;
    }
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

bool AllBlank(const std::string& s) {
    return s.find_first_not_of(' ') == std::string::npos;
}

// Half away from zero at `decimals` places (negative places round to tens, hundreds, ...).
double RoundHalfAway(double v, double decimals) {
    const double scale = std::pow(10.0, std::trunc(decimals));
    if (!std::isfinite(scale) || scale == 0)
        return v;
    const double r = std::round(v * scale) / scale;
    return r == 0 ? 0 : r;
}

// 1 for Sunday to 7 for Saturday; 0 for the empty date.
int DayOfWeek(double julianDay) {
    int y, m, d;
    if (!DateFromJulianDay(julianDay, y, m, d))
        return 0;
    return static_cast<int>((static_cast<int64_t>(julianDay) + 1) % 7) + 1;
}

// SOUNDEX(): the first letter (after leading blanks) and three digits for the following
// consonants up to the first character that is not a letter: B F P V 1, C G J K Q S X Z 2,
// D T 3, L 4, M N 5, R 6. A consonant with the same digit as the letter before it is coded
// once, also across H and W; vowels (A E I O U Y) separate. "0000" when the text does not
// begin with a letter.
std::string SoundexOf(const std::string& s) {
    static const char kCodes[] = "01230120022455012623010202";  // A..Z
    size_t i = s.find_first_not_of(' ');
    auto letter = [&](size_t k) {
        return k < s.size() && std::isalpha(static_cast<unsigned char>(s[k]));
    };
    if (i == std::string::npos || !letter(i))
        return "0000";
    std::string out(1, static_cast<char>(std::toupper(static_cast<unsigned char>(s[i]))));
    char last = kCodes[out[0] - 'A'];
    for (++i; letter(i) && out.size() < 4; ++i) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
        if (c == 'H' || c == 'W')
            continue;
        const char code = kCodes[c - 'A'];
        if (code != '0' && code != last)
            out += code;
        last = code;
    }
    out.resize(4, '0');
    return out;
}

// LIKE(pattern, text): * matches any run of characters, ? any one; case counts; the whole
// text must match (its trailing blanks included).
bool LikeMatch(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::string AmericanDate(double julianDay) {
    int y, m, d;
    if (!DateFromJulianDay(julianDay, y, m, d))
        return "  /  /  ";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, y % 100);
    return buf;
}

bool IsTemplatePosition(char c) {
    return c != '\0' && std::strchr("9#!AXNLY", c) != nullptr;
}

// TRANSFORM() of a character value (see Parser::CheckTransform).
std::string TransformText(const std::string& value, const Picture& p) {
    auto up = [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); };
    if (p.tmpl.empty()) {
        std::string out = value;
        if (p.upper) {
            for (auto& c : out)
                c = up(c);
        }
        return out;
    }
    std::string out;
    size_t k = 0;
    for (char t : p.tmpl) {
        if (IsTemplatePosition(t)) {
            const char c = k < value.size() ? value[k] : ' ';
            ++k;
            out += (p.upper || t == '!') ? up(c) : c;
        } else {
            out += t;
            if (!p.insert)
                ++k;  // the literal takes the place of a character of the value
        }
    }
    return out;
}

// TRANSFORM() of a number with a numeric template: right-aligned in the template's digit
// positions, rounded to its decimals, commas only between digits, asterisks when it does not
// fit, blanks for zero under @Z.
std::string TransformNumber(double v, const Picture& p) {
    const size_t width = p.tmpl.size();
    const double r = RoundHalfAway(v, p.decimals);
    if (p.zeroBlank && r == 0)
        return std::string(width, ' ');
    char buf[640];  // 309 integer digits, a point, up to 253 decimals
    std::snprintf(buf, sizeof buf, "%.*f", p.decimals, std::fabs(r));
    const std::string digits = buf;
    const size_t pointAt = digits.find('.');
    std::string whole = digits.substr(0, pointAt);
    const std::string fraction = pointAt == std::string::npos ? "" : digits.substr(pointAt + 1);
    if (whole == "0" && p.tmpl.find('.') != std::string::npos) {
        // "0.50" in ".99": no room for the leading zero is no overflow
        size_t before = 0;
        for (char c : p.tmpl.substr(0, p.tmpl.find('.')))
            before += (c == '9' || c == '#') ? 1 : 0;
        if (before == 0)
            whole.clear();
    }
    if (r < 0)
        whole = "-" + whole;
    const size_t tmplPoint = std::min(p.tmpl.find('.'), width);
    std::string out(width, ' ');
    // Integer part, right to left.
    size_t next = whole.size();
    for (size_t i = tmplPoint; i-- > 0;) {
        const char t = p.tmpl[i];
        if (t == ',') {
            out[i] = (next > 0 && whole[next - 1] != '-') ? ',' : ' ';
            continue;
        }
        if (next > 0)
            out[i] = whole[--next];
    }
    if (next > 0)
        return std::string(width, '*');
    if (tmplPoint < width) {
        out[tmplPoint] = '.';
        size_t f = 0;
        for (size_t i = tmplPoint + 1; i < width; ++i) {
            const char t = p.tmpl[i];
            if (t == '9' || t == '#')
                out[i] = f < fraction.size() ? fraction[f++] : '0';
            else
                out[i] = t == ',' ? ',' : ' ';
        }
    }
    // A comma left of the first digit stays blank (set above); a blank left of a comma's
    // digit group is fine.
    return out;
}

const char* const kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kMonthNames[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

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
            case Fn::Empty: {
                const ExprValue a = arg(0);
                switch (a.type) {
                    case ExprType::Character:
                        v.logical = AllBlank(a.text);
                        break;
                    case ExprType::Numeric:
                    case ExprType::Date:
                        v.logical = a.number == 0;
                        break;
                    case ExprType::Logical:
                        v.logical = !a.logical;
                        break;
                }
                return v;
            }
            case Fn::IsBlank: {
                // A field is blank when its bytes are: a numeric field of blanks (not 0), a
                // logical field not yet set. Computed values: blank text or the empty date.
                const Node& a = N(n.kids[0]);
                if (a.op == Op::Field) {
                    v.logical = AllBlank(FieldText(a, r)) ||
                                (a.field.type == 'L' && FieldText(a, r)[0] == '?');
                    return v;
                }
                const ExprValue av = arg(0);
                v.logical = (av.type == ExprType::Character && AllBlank(av.text)) ||
                            (av.type == ExprType::Date && av.number == 0);
                return v;
            }
            case Fn::Space:
                v.text.assign(static_cast<size_t>(n.count), ' ');
                return v;
            case Fn::Round:
                v.number = RoundHalfAway(arg(0).number, arg(1).number);
                return v;
            case Fn::Len:
                v.number = static_cast<double>(arg(0).text.size());
                return v;
            case Fn::Chr: {
                const double c = arg(0).number;
                v.text.assign(1, static_cast<char>(c >= 0 && c < 256 ? static_cast<int>(c) : 0));
                return v;
            }
            case Fn::Asc: {
                const std::string t = arg(0).text;
                v.number = t.empty() ? 0 : static_cast<unsigned char>(t[0]);
                return v;
            }
            case Fn::At:
            case Fn::Rat: {
                const std::string needle = arg(0).text, hay = arg(1).text;
                if (needle.empty())
                    return v;
                const size_t at = n.fn == Fn::At ? hay.find(needle) : hay.rfind(needle);
                v.number = at == std::string::npos ? 0 : static_cast<double>(at + 1);
                return v;
            }
            case Fn::PadL:
            case Fn::PadR: {
                std::string t = arg(0).text;
                const size_t len = static_cast<size_t>(n.count);
                char fill = ' ';
                if (n.kids.size() == 3) {
                    const std::string f = arg(2).text;
                    if (!f.empty())
                        fill = f[0];
                }
                if (t.size() >= len) {
                    t.resize(len);  // too long: its first characters
                } else if (n.fn == Fn::PadL) {
                    t.insert(0, len - t.size(), fill);
                } else {
                    t.append(len - t.size(), fill);
                }
                v.text = t;
                return v;
            }
            case Fn::Replicate: {
                const std::string t = arg(0).text;
                for (long k = 0; k < n.count; ++k)
                    v.text += t;
                return v;
            }
            case Fn::Stuff: {
                std::string t = arg(0).text;
                const long start = std::max(1L, std::lround(arg(1).number));
                const long count = std::max(0L, std::lround(arg(2).number));
                const size_t from = std::min(static_cast<size_t>(start - 1), t.size());
                t.replace(from, std::min(static_cast<size_t>(count), t.size() - from), arg(3).text);
                v.text = t;
                return v;
            }
            case Fn::Max:
            case Fn::Min: {
                const ExprValue a = arg(0), b = arg(1);
                bool firstWins;
                if (a.type == ExprType::Character) {
                    const int c = CompareText(a.text, b.text);
                    firstWins = n.fn == Fn::Max ? c >= 0 : c <= 0;
                } else {
                    firstWins = n.fn == Fn::Max ? a.number >= b.number : a.number <= b.number;
                }
                v = firstWins ? a : b;
                if (v.type == ExprType::Character && v.text.size() < n.width)
                    v.text.append(n.width - v.text.size(), ' ');
                return v;
            }
            case Fn::ModFn: {
                // The remainder takes the divisor's sign; MOD(x, 0) is x.
                const double a = arg(0).number, b = arg(1).number;
                v.number = b == 0 ? a : a - b * std::floor(a / b);
                return v;
            }
            case Fn::Dow:
                v.number = DayOfWeek(arg(0).number);
                return v;
            case Fn::Cdow: {
                const int d = DayOfWeek(arg(0).number);
                v.text = d == 0 ? std::string() : kDayNames[d - 1];
                v.text.resize(n.width, ' ');
                return v;
            }
            case Fn::Cmonth: {
                int y = 0, m = 0, d = 0;
                if (DateFromJulianDay(arg(0).number, y, m, d))
                    v.text = kMonthNames[m - 1];
                v.text.resize(n.width, ' ');
                return v;
            }
            case Fn::Transform: {
                const ExprValue a = arg(0);
                if (a.type == ExprType::Character)
                    v.text = TransformText(a.text, n.picture);
                else if (a.type == ExprType::Date)
                    v.text = AmericanDate(a.number);
                else if (n.picture.tmpl.empty())
                    v.text = (n.picture.zeroBlank && a.number == 0)
                                 ? std::string(n.width, ' ')
                                 : StrOf(a.number, n.strLen, n.strDec);
                else
                    v.text = TransformNumber(a.number, n.picture);
                v.text.resize(n.width, ' ');
                return v;
            }
            case Fn::IsAlpha:
            case Fn::IsUpper:
            case Fn::IsLower:
            case Fn::IsDigit: {
                // The first character, ASCII classes.
                const std::string t = arg(0).text;
                const unsigned char c = t.empty() ? 0 : static_cast<unsigned char>(t[0]);
                v.logical = n.fn == Fn::IsAlpha   ? (c < 128 && std::isalpha(c))
                            : n.fn == Fn::IsUpper ? (c >= 'A' && c <= 'Z')
                            : n.fn == Fn::IsLower ? (c >= 'a' && c <= 'z')
                                                  : (c >= '0' && c <= '9');
                return v;
            }
            case Fn::Soundex:
                v.text = SoundexOf(arg(0).text);
                return v;
            case Fn::Difference: {
                const std::string a = SoundexOf(arg(0).text), b = SoundexOf(arg(1).text);
                int same = 0;
                for (size_t k = 0; k < 4; ++k)
                    same += a[k] == b[k] ? 1 : 0;
                v.number = same;
                return v;
            }
            case Fn::Like:
                v.logical = LikeMatch(arg(0).text, arg(1).text);
                return v;
            default:
                break;
        }
        // Numeric functions of numbers. A value outside a function's domain (LOG of 0 or
        // less, SQRT of a negative, ASIN/ACOS beyond 1) gives 0.
        auto finite = [](double x) { return std::isfinite(x) ? x : 0.0; };
        const double x = n.kids.empty() ? 0 : arg(0).number;
        switch (n.fn) {
            case Fn::Exp:
                v.number = finite(std::exp(x));
                break;
            case Fn::Log:
                v.number = x > 0 ? std::log(x) : 0;
                break;
            case Fn::Log10:
                v.number = x > 0 ? std::log10(x) : 0;
                break;
            case Fn::Sqrt:
                v.number = x >= 0 ? std::sqrt(x) : 0;
                break;
            case Fn::Ceiling:
                v.number = std::ceil(x);
                break;
            case Fn::Floor:
                v.number = std::floor(x);
                break;
            case Fn::Sign:
                v.number = x > 0 ? 1 : x < 0 ? -1 : 0;
                break;
            case Fn::Pi:
                v.number = 3.14159265358979323846;
                break;
            case Fn::Fixed:
            case Fn::Float:
                v.number = x;
                break;
            case Fn::Sin:
                v.number = std::sin(x);
                break;
            case Fn::Cos:
                v.number = std::cos(x);
                break;
            case Fn::Tan:
                v.number = finite(std::tan(x));
                break;
            case Fn::Asin:
                v.number = (x >= -1 && x <= 1) ? std::asin(x) : 0;
                break;
            case Fn::Acos:
                v.number = (x >= -1 && x <= 1) ? std::acos(x) : 0;
                break;
            case Fn::Atan:
                v.number = std::atan(x);
                break;
            case Fn::Atn2:
                v.number = std::atan2(x, arg(1).number);
                break;
            case Fn::Dtor:
                v.number = x * 3.14159265358979323846 / 180;
                break;
            case Fn::Rtod:
                v.number = x * 180 / 3.14159265358979323846;
                break;
            default:
                break;
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
