// The helpers behind the dBASE functions and operators of index expressions: field bytes and
// texts, number and date conversions, comparisons and the TRANSFORM pictures. Used by the
// evaluator (Evaluate.cpp), the parser's constant dates and the key builder (Expr.cpp).
#pragma once

#include <string>
#include <string_view>

#include "engine/expr/ExprTree.h"

namespace ari::engine::expr {

// Julian day of a MM/DD/YY or MM/DD/YYYY text (two-digit years in the 1900s); 0 when invalid.
double ParseAmericanDate(const std::string& text);
std::string_view FieldBytes(const FieldDef& f, const RecordRef& r);
std::string FieldText(const Node& n, const RecordRef& r);
char ChangeCase(Fn fn, char c);
double ParseNumberText(const std::string& s);
double ValOf(const std::string& s);
std::string StrOf(double v, int len, int dec);
std::string RightTrim(const std::string& s);
int CompareText(const std::string& a, const std::string& b);
bool AllBlank(const std::string& s);
double RoundHalfAway(double v, double decimals);
int DayOfWeek(double julianDay);
std::string SoundexOf(const std::string& s);
bool LikeMatch(const std::string& pattern, const std::string& text);
std::string AmericanDate(double julianDay);
bool IsTemplatePosition(char c);
std::string TransformText(const std::string& value, const Picture& p);
std::string TransformNumber(double v, const Picture& p);

inline constexpr const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
inline constexpr const char* kMonthNames[] = {"January",   "February", "March",    "April",
                                              "May",       "June",     "July",     "August",
                                              "September", "October",  "November", "December"};

}  // namespace ari::engine::expr
