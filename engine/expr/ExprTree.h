// The parsed form of an index expression, shared inside engine/expr by the lexer (Lexer.h), the
// parser and checker (Parser.cpp), the evaluator (Evaluate.cpp) and the dBASE functions
// (Functions.h): the node kinds, the function table, the tree and the error every stage raises.
// Not for use outside engine/expr: Expr.h is the interface.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include "engine/expr/Expr.h"

namespace ari::engine::expr {

inline constexpr size_t kMaxExpressionText = 220;
// Longest character value a function builds (a dBASE IV character field's limit).
inline constexpr size_t kMaxCharacterResult = 254;

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

inline constexpr FnInfo kFunctions[] = {
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
inline constexpr const char* kSessionFunctions[] = {
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

inline std::string Upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Raises EDBEngineError kStatusInvalidExpression: "Invalid index expression "<expr>": <what>"
// with " at position <pos>" when pos > 0, then `note`.
[[noreturn]] void Fail(const std::string& expr, size_t pos, const std::string& what,
                       const std::string& note = "");

const char* TypeName(ExprType t);

}  // namespace ari::engine::expr

namespace ari::engine {

// The tree of nodes that Expression::Parse builds and Eval walks.
struct Expression::Impl {
    std::string text;
    std::vector<expr::Node> nodes;
    int root = -1;
    bool bareField = false;  // the text is one field name and nothing else

    const expr::Node& N(int i) const { return nodes[static_cast<size_t>(i)]; }
    ExprValue Eval(int i, const RecordRef& r) const;
};

}  // namespace ari::engine
