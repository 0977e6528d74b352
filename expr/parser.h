#pragma once

#include <string>
#include <string_view>
#include <vector>

// The search expressions of watch entries: terms joined by AND, OR, NOT and parentheses (two
// items side by side are joined by AND), checked when an entry is registered and evaluated
// against an event's description. The language is defined on Shift-JIS bytes; positions count
// bytes from 1.

enum class TokenKind { Term, And, Or, Not, Open, Close };

struct Token {
    TokenKind kind;
    std::string text;  // terms only

    bool operator==(const Token&) const = default;
};

using TokenList = std::vector<Token>;

// 0 when the expression is valid (the empty text is), else the byte position of the first
// error, which is shown in a message box when showMessages is set.
int CheckCondition(std::string_view expression, bool showMessages);

// Whether the expression holds for the text; an expression that does not scan does not hold,
// the empty expression (no condition) always does.
bool MatchCondition(std::string_view expression, std::string_view text);

// The scanner: the tokens in written order, or an empty list and the error position.
int ParseCondition(std::string_view expression, TokenList& tokens, bool showMessages);

// Rewrites a list the scanner accepted into postfix order.
void ToPostfix(TokenList& tokens);

// Evaluates a postfix list over the text.
bool EvaluatePostfix(const TokenList& tokens, std::string_view text);

// Close 1, AND and OR 2, NOT 3, term 4, open 5.
int TokenPriority(const Token& token);

// Whether the term's bytes occur in the text starting on a character boundary.
bool TermOccurs(std::string_view term, std::string_view text);
