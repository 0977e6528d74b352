#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The search expressions of watch entries: terms joined by AND, OR, NOT and parentheses (two
// items side by side are joined by AND), checked when an entry is registered and evaluated
// against an event's description. The language is defined on Shift-JIS bytes; positions count
// bytes from 1.

enum class TokenKind { Term, And, Or, Not, Open, Close };

// A term's text lives in its list; the token holds where.
struct Token {
    TokenKind kind;
    size_t offset = 0;
    size_t length = 0;
};

class TokenList {
public:
    void Clear() {
        m_items.clear();
        m_texts.clear();
    }
    bool Empty() const { return m_items.empty(); }
    size_t Size() const { return m_items.size(); }
    const Token& operator[](size_t i) const { return m_items[i]; }
    std::vector<Token>::const_iterator begin() const { return m_items.begin(); }
    std::vector<Token>::const_iterator end() const { return m_items.end(); }

    void Add(TokenKind kind) { m_items.push_back({kind, 0, 0}); }
    void AddTerm(std::string_view text);
    std::string_view Text(const Token& token) const {
        return std::string_view(m_texts).substr(token.offset, token.length);
    }

    // For the scanner and the conversion.
    std::vector<Token>& Items() { return m_items; }
    std::string& Texts() { return m_texts; }

private:
    std::vector<Token> m_items;
    std::string m_texts;
};

// 0 when the expression is valid (the empty text is), else the byte position of the first
// error, with its message when one is asked for.
int CheckCondition(std::string_view expression, std::string* message = nullptr);

// Whether the expression holds for the text; an expression that does not scan does not hold,
// the empty expression (no condition) always does. internalError is set when the evaluation
// went wrong (a list the scanner should not have accepted); the result is then false. No box is
// shown: this runs on the tick's thread.
bool MatchCondition(std::string_view expression, std::string_view text,
                    bool* internalError = nullptr);

// The scanner: the tokens in written order, or an empty list and the error position with the
// error's message (when asked for).
int ParseCondition(std::string_view expression, TokenList& tokens, std::string* message = nullptr);

// Rewrites a list the scanner accepted into postfix order.
void ToPostfix(TokenList& tokens);

// Evaluates a postfix list over the text; false, and internalError set, for a malformed list.
bool EvaluatePostfix(const TokenList& tokens, std::string_view text, bool* internalError = nullptr);

// Close 1, AND and OR 2, NOT 3, term 4, open 5.
int TokenPriority(const Token& token);

// Whether the term's bytes occur in the text starting on a character boundary.
bool TermOccurs(std::string_view term, std::string_view text);
