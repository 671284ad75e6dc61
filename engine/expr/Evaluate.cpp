#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/EngineErrors.h"
#include "engine/expr/ExprTree.h"
#include "engine/expr/Functions.h"

namespace ari::engine {

using namespace expr;

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

}  // namespace ari::engine
