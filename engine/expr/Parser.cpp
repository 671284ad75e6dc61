#include <cctype>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/EngineErrors.h"
#include "engine/expr/ExprTree.h"
#include "engine/expr/Functions.h"
#include "engine/expr/Lexer.h"

namespace ari::engine {

namespace expr {
namespace {

// ---------------------------------------------------------------- parser and checker

class Parser {
  public:
    Parser(const std::string& text, const std::vector<FieldDef>& fields, std::vector<Node>& nodes)
        : text_(text), fields_(fields), nodes_(nodes), toks_(Lex(text)) {}

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

}  // namespace
}  // namespace expr

using namespace expr;

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

}  // namespace ari::engine
