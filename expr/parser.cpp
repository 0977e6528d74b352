#include "expr/parser.h"

#include <unordered_map>

#include "platform/codepage.h"

namespace {

constexpr char kSequence = 0x5C;

enum class State { AfterOperator, AfterTerm, AfterNot, AfterOpen, AfterClose };

bool IsLead(char c) { return platform::IsDBCSLeadByte(static_cast<unsigned char>(c)); }

// Bytes that need no decision of the scanner: they simply join the current word.
struct PlainBytes {
    bool plain[256];
    constexpr PlainBytes() : plain() {
        for (int b = 0; b < 256; ++b) {
            plain[b] = b >= 0x20 && b != ' ' && b != '"' && b != '(' && b != ')' &&
                       b != kSequence && !platform::IsDBCSLeadByte(static_cast<unsigned char>(b));
        }
    }
};
constexpr PlainBytes kPlain;

bool IsPlain(char c) { return kPlain.plain[static_cast<unsigned char>(c)]; }

bool IsKeyword(std::string_view word, const char* keyword) {
    size_t i = 0;
    for (; keyword[i] != '\0'; ++i) {
        if (i >= word.size()) return false;
        char c = word[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c != keyword[i]) return false;
    }
    return i == word.size();
}

class Scanner {
public:
    Scanner(std::string_view expression, TokenList& tokens, std::string* message)
        : m_e(expression), m_tokens(tokens), m_texts(tokens.Texts()), m_message(message) {}

    int Run();

private:
    int Fail(size_t position, const char8_t* message) {
        m_tokens.Clear();
        if (m_message) *m_message = sjis(message);
        return static_cast<int>(position);
    }
    int SyntaxError(size_t position) { return Fail(position, u8"文法エラーです。"); }
    int ParenError(size_t position) {
        return Fail(position, u8"カッコのつじつまが合っていません。");
    }

    bool AfterItem() const { return m_state == State::AfterTerm || m_state == State::AfterClose; }
    bool ExpectsItem() const {
        return m_state == State::AfterOperator || m_state == State::AfterNot ||
               m_state == State::AfterOpen;
    }
    bool WordEmpty() const { return m_texts.size() == m_wordStart; }
    // The current word is the tail of the list's texts, from m_wordStart.
    std::string_view Word() const { return std::string_view(m_texts).substr(m_wordStart); }
    void EmitWordAsTerm() {
        if (AfterItem()) m_tokens.Add(TokenKind::And);
        m_tokens.Items().push_back({TokenKind::Term, m_wordStart, m_texts.size() - m_wordStart});
        m_wordStart = m_texts.size();
        m_state = State::AfterTerm;
    }
    int EmitWord(size_t position);
    int Quoted(size_t& i);

    std::string_view m_e;
    TokenList& m_tokens;
    std::string& m_texts;
    std::string* m_message;
    State m_state = State::AfterOperator;
    int m_open = 0;
    size_t m_wordStart = 0;
};

// The word rule; position is that of the byte that ended the word.
int Scanner::EmitWord(size_t position) {
    std::string_view word = Word();
    const bool andWord = IsKeyword(word, "AND");
    if (andWord || IsKeyword(word, "OR")) {
        if (ExpectsItem()) return SyntaxError(position);
        m_tokens.Add(andWord ? TokenKind::And : TokenKind::Or);
        m_state = State::AfterOperator;
    } else if (IsKeyword(word, "NOT")) {
        if (m_state == State::AfterNot) return SyntaxError(position);
        if (AfterItem()) m_tokens.Add(TokenKind::And);
        m_tokens.Add(TokenKind::Not);
        m_state = State::AfterNot;
    } else {
        EmitWordAsTerm();
        return 0;
    }
    m_texts.resize(m_wordStart);  // keywords keep no text
    return 0;
}

// A quoted string starting at index i; on success i is the index after its closing quote.
int Scanner::Quoted(size_t& i) {
    size_t j = i + 1;
    bool escaped = false;  // the previous character was a sequence character of its own
    for (;;) {
        if (j >= m_e.size()) return Fail(i + 1, u8"引用符が閉じていません。");
        char c = m_e[j];
        if (IsLead(c)) {
            j += 2;
            escaped = false;
            continue;
        }
        if (c == '"' && !escaped) break;
        escaped = c == kSequence;
        ++j;
    }
    if (j == i + 1) return Fail(i + 1, u8"引用符で囲まれた文字列がありません。");
    m_texts.append(m_e.substr(i + 1, j - i - 1));
    EmitWordAsTerm();
    i = j + 1;
    return 0;
}

int Scanner::Run() {
    const size_t n = m_e.size();
    size_t i = 0;
    while (i < n) {
        const char c = m_e[i];
        const auto byte = static_cast<unsigned char>(c);
        if (IsPlain(c)) {
            // Most of an expression: take the whole run at once.
            size_t j = i + 1;
            while (j < n && IsPlain(m_e[j])) ++j;
            m_texts.append(m_e.substr(i, j - i));
            i = j;
        } else if (IsLead(c)) {
            // A double-byte character belongs to the word whatever its second byte is.
            m_texts.append(m_e.substr(i, 2));
            i += 2;
        } else if (byte < 0x20) {
            ++i;  // dropped, without ending the word
        } else if (c == kSequence) {
            if (i + 1 == n) return Fail(i + 1, u8"シーケンス文字のあとに文字がありません。");
            if (m_e[i + 1] == 'n') {
                m_texts += "\r\n";
            } else {
                m_texts += m_e[i + 1];
            }
            i += 2;
        } else {  // blank, quote, parenthesis: the word ends here
            if (!WordEmpty()) {
                if (int error = EmitWord(i + 1)) return error;
            }
            if (c == '(') {
                if (AfterItem()) m_tokens.Add(TokenKind::And);
                m_tokens.Add(TokenKind::Open);
                ++m_open;
                m_state = State::AfterOpen;
            } else if (c == ')') {
                if (ExpectsItem()) return SyntaxError(i + 1);
                if (m_open == 0) return ParenError(i + 1);
                m_tokens.Add(TokenKind::Close);
                --m_open;
                m_state = State::AfterClose;
            } else if (c == '"') {
                if (int error = Quoted(i)) return error;
                continue;
            }
            ++i;
        }
    }
    if (!WordEmpty()) {
        if (int error = EmitWord(n + 1)) return error;
    }
    if (ExpectsItem()) return SyntaxError(n + 1);
    if (m_open != 0) return ParenError(n + 1);
    return 0;
}

}  // namespace

int TokenPriority(const Token& token) {
    switch (token.kind) {
        case TokenKind::Close: return 1;
        case TokenKind::And:
        case TokenKind::Or: return 2;
        case TokenKind::Not: return 3;
        case TokenKind::Term: return 4;
        case TokenKind::Open: return 5;
    }
    return 0;
}

void TokenList::AddTerm(std::string_view text) {
    m_items.push_back({TokenKind::Term, m_texts.size(), text.size()});
    m_texts.append(text);
}

int ParseCondition(std::string_view expression, TokenList& tokens, std::string* message) {
    tokens.Clear();
    if (expression.empty()) return 0;
    return Scanner(expression, tokens, message).Run();
}

void ToPostfix(TokenList& tokens) {
    std::vector<Token>& items = tokens.Items();
    // Scratch lists whose capacity is kept from call to call; their contents never are.
    thread_local std::vector<Token> output;
    thread_local std::vector<Token> stack;
    output.clear();
    stack.clear();
    for (const Token& t : items) {
        if (stack.empty()) {
            stack.push_back(t);
        } else if (t.kind == TokenKind::Close) {
            while (!stack.empty() && stack.back().kind != TokenKind::Open) {
                output.push_back(stack.back());
                stack.pop_back();
            }
            if (!stack.empty()) stack.pop_back();
        } else {
            const int priority = TokenPriority(t);
            while (!stack.empty() && stack.back().kind != TokenKind::Open &&
                   TokenPriority(stack.back()) >= priority) {
                output.push_back(stack.back());
                stack.pop_back();
            }
            stack.push_back(t);
        }
    }
    output.insert(output.end(), stack.rbegin(), stack.rend());
    items.swap(output);
}

bool TermOccurs(std::string_view term, std::string_view text) {
    if (term.empty() || text.empty()) return false;
    // A match at p starts on a character boundary when an even number of lead-byte values
    // stand right before p, back to the last position known to be a boundary.
    size_t boundary = 0;
    for (size_t p = text.find(term); p != std::string_view::npos; p = text.find(term, p + 1)) {
        size_t k = p;
        while (k > boundary && IsLead(text[k - 1])) --k;
        if ((p - k) % 2 == 0) return true;
        boundary = p + 1;  // p is a second byte, so the next byte starts a character
    }
    return false;
}

namespace {

// A list the scanner should never have accepted: no result, and the caller is told.
bool Fault(bool* internalError) {
    if (internalError) *internalError = true;
    return false;
}

}  // namespace

bool EvaluatePostfix(const TokenList& tokens, std::string_view text, bool* internalError) {
    thread_local std::vector<char> stack;
    stack.clear();
    for (const Token& t : tokens) {
        switch (t.kind) {
            case TokenKind::Term: stack.push_back(TermOccurs(tokens.Text(t), text)); break;
            case TokenKind::And:
            case TokenKind::Or: {
                if (stack.size() < 2) return Fault(internalError);
                bool right = stack.back();
                stack.pop_back();
                bool left = stack.back();
                stack.back() = t.kind == TokenKind::And ? (left && right) : (left || right);
                break;
            }
            case TokenKind::Not:
                if (stack.empty()) return Fault(internalError);
                stack.back() = !stack.back();
                break;
            case TokenKind::Open:
            case TokenKind::Close: return Fault(internalError);
        }
    }
    if (stack.size() != 1) return Fault(internalError);
    return stack.back();
}

int CheckCondition(std::string_view expression, std::string* message) {
    TokenList tokens;
    return ParseCondition(expression, tokens, message);
}

bool MatchCondition(std::string_view expression, std::string_view text, bool* internalError) {
    // No condition restricts nothing.
    if (expression.empty()) return true;
    // The same few expressions are matched against every record: each is scanned and converted
    // once. An expression that does not scan is kept as an empty list.
    thread_local std::unordered_map<std::string, TokenList> converted;
    auto it = converted.find(std::string(expression));
    if (it == converted.end()) {
        if (converted.size() >= 256) converted.clear();
        TokenList tokens;
        if (ParseCondition(expression, tokens) == 0) ToPostfix(tokens);
        it = converted.emplace(std::string(expression), std::move(tokens)).first;
    }
    return !it->second.Empty() && EvaluatePostfix(it->second, text, internalError);
}
