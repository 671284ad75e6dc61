// The lexer of index expressions: the text cut into tokens, with their 1-based positions for
// messages.
#pragma once

#include <string>
#include <vector>

namespace ari::engine::expr {

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

// The tokens of `text`, ended by one Tok::End. Raises Fail for a character that starts no token,
// an unterminated string or date literal.
std::vector<Token> Lex(const std::string& text);

}  // namespace ari::engine::expr
