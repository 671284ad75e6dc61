#include "engine/expr/Lexer.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/expr/ExprTree.h"

namespace ari::engine::expr {

namespace {

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

}  // namespace

std::vector<Token> Lex(const std::string& text) {
    return Lexer(text).Run();
}

}  // namespace ari::engine::expr
