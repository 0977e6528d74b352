#include "expr/parser.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "support/scripted_shell.h"

namespace {

// The postfix form of an expression, terms in brackets: "[a] [b] AND".
std::string Postfix(std::string_view expression) {
    TokenList tokens;
    if (ParseCondition(expression, tokens) != 0) return "error";
    ToPostfix(tokens);
    std::string out;
    for (const Token& t : tokens) {
        if (!out.empty()) out += ' ';
        switch (t.kind) {
            case TokenKind::Term: out += "[" + std::string(tokens.Text(t)) + "]"; break;
            case TokenKind::And: out += "AND"; break;
            case TokenKind::Or: out += "OR"; break;
            case TokenKind::Not: out += "NOT"; break;
            case TokenKind::Open: out += "("; break;
            case TokenKind::Close: out += ")"; break;
        }
    }
    return out;
}

struct ErrorCase {
    const char* expression;
    int position;
    const char8_t* message;
};

}  // namespace

TEST(ConditionScanning, WordsKeywordsAndImplicitAnd) {
    std::string message = "stale";
    EXPECT_EQ(CheckCondition("", &message), 0);
    EXPECT_EQ(Postfix("error disk"), "[error] [disk] AND");
    EXPECT_EQ(Postfix("and"), "error");
    for (const char* e : {"a and b", "a And b", "a aNd b", "a AND b"}) {
        EXPECT_EQ(Postfix(e), "[a] [b] AND") << e;
    }
    EXPECT_EQ(Postfix("a ANDY"), "[a] [ANDY] AND");
    EXPECT_EQ(Postfix("a \"AND\""), "[a] [AND] AND");
    EXPECT_EQ(Postfix("a \\AND b"), "[a] [b] AND");  // spelled with a sequence character
    // Control characters are dropped without ending a word.
    EXPECT_EQ(Postfix("a AND\r\nb"), "[a] [ANDb] AND");
    EXPECT_EQ(Postfix("a\tb"), "[ab]");
    // Sequence characters: one byte each, \n is a line break.
    EXPECT_EQ(Postfix("a\\ b"), "[a b]");
    EXPECT_EQ(Postfix("a\\nb"), "[a\r\nb]");
    EXPECT_EQ(Postfix("\\(x\\)\\\\"), "[(x)\\]");
    // Half-width katakana are word characters.
    EXPECT_EQ(Postfix(sjis(u8"ｴﾗｰ ﾃﾞｨｽｸ")),
              "[" + sjis(u8"ｴﾗｰ") + "] [" + sjis(u8"ﾃﾞｨｽｸ") + "] AND");
}

TEST(ConditionScanning, ErrorsAndTheirPositions) {
    const ErrorCase cases[] = {
        {"   ", 4, u8"文法エラーです。"},
        {"\r\n", 3, u8"文法エラーです。"},
        {"NOT NOT a", 8, u8"文法エラーです。"},
        {"()", 2, u8"文法エラーです。"},
        {"a AND", 6, u8"文法エラーです。"},
        {"a AND OR", 9, u8"文法エラーです。"},
        {"OR a", 3, u8"文法エラーです。"},
        {"(AND a)", 5, u8"文法エラーです。"},
        {"NOT)", 4, u8"文法エラーです。"},
        {"a (", 4, u8"文法エラーです。"},
        {"a)", 2, u8"カッコのつじつまが合っていません。"},
        {"(a", 3, u8"カッコのつじつまが合っていません。"},
        {"((a)", 5, u8"カッコのつじつまが合っていません。"},
        {"\"a\\\"", 1, u8"引用符が閉じていません。"},
        {"x \"abc", 3, u8"引用符が閉じていません。"},
        {"a \"\" b", 3, u8"引用符で囲まれた文字列がありません。"},
        {"abc\\", 4, u8"シーケンス文字のあとに文字がありません。"},
        {"(a) )\\", 5, u8"カッコのつじつまが合っていません。"},  // the first error ends the scan
    };
    // The checker says what is wrong and where; it shows nothing (the editor does).
    ScriptedShell silent;
    for (const ErrorCase& c : cases) {
        std::string message;
        EXPECT_EQ(CheckCondition(c.expression, &message), c.position) << c.expression;
        EXPECT_EQ(message, sjis(c.message)) << c.expression;

        // The same position, an empty list, and no match.
        TokenList tokens;
        tokens.AddTerm("stale");
        EXPECT_EQ(ParseCondition(c.expression, tokens), c.position);
        EXPECT_TRUE(tokens.Empty());
        EXPECT_FALSE(MatchCondition(c.expression, "a b x abc"));
        EXPECT_TRUE(silent.Boxes().empty());
    }
}

TEST(ConditionPrecedence, AndOrGroupLeftToRightNotBindsTighter) {
    EXPECT_EQ(Postfix("a OR b AND c"), "[a] [b] OR [c] AND");
    EXPECT_EQ(Postfix("a OR b c"), "[a] [b] OR [c] AND");
    EXPECT_EQ(Postfix("a AND b OR c"), "[a] [b] AND [c] OR");
    EXPECT_EQ(Postfix("NOT a AND b"), "[a] NOT [b] AND");
    EXPECT_EQ(Postfix("a AND NOT b OR c"), "[a] [b] NOT AND [c] OR");
    EXPECT_EQ(Postfix("a NOT b"), "[a] [b] NOT AND");
    EXPECT_EQ(Postfix("NOT (NOT a)"), "[a] NOT NOT");
    EXPECT_EQ(Postfix("(a)(b)"), "[a] [b] AND");
    EXPECT_EQ(Postfix("a(b)"), "[a] [b] AND");
    EXPECT_EQ(Postfix("a OR (b AND c)"), "[a] [b] [c] AND OR");

    // Truth tables through MatchCondition.
    EXPECT_TRUE(MatchCondition("error disk", "disk error"));
    EXPECT_FALSE(MatchCondition("error disk", "disk only"));
    EXPECT_TRUE(MatchCondition("error OR disk", "disk only"));
    EXPECT_TRUE(MatchCondition("NOT error", "all well"));
    EXPECT_FALSE(MatchCondition("NOT error", "an error"));
    EXPECT_TRUE(MatchCondition("NOT (NOT a)", "a"));
    EXPECT_FALSE(MatchCondition("a OR b c", "a"));     // (a OR b) AND c
    EXPECT_TRUE(MatchCondition("a AND b OR c", "c"));  // (a AND b) OR c
    EXPECT_FALSE(MatchCondition("a NOT b", "a b"));
    EXPECT_TRUE(MatchCondition("x", std::string("x\0y", 3)));
    EXPECT_FALSE(MatchCondition("Error", "error"));  // case-sensitive
    EXPECT_FALSE(MatchCondition("x", ""));
    EXPECT_TRUE(MatchCondition("", "anything"));  // no condition
}

TEST(ConditionQuoting, QuotedStringsAreTermsAsWritten) {
    EXPECT_EQ(Postfix("(\"disk full\")"), "[disk full]");
    EXPECT_TRUE(MatchCondition("(\"disk full\")", "the disk full error"));
    EXPECT_FALSE(MatchCondition("(\"disk full\")", "disk is full"));
    EXPECT_EQ(Postfix("\"ab\"cd"), "[ab] [cd] AND");
    EXPECT_EQ(Postfix("\"(\""), "[(]");
    EXPECT_EQ(Postfix("x OR \")\""), "[x] [)] OR");
    EXPECT_TRUE(MatchCondition("x OR \")\"", "y)"));
    // An escaped quote stays in the term, with its sequence character.
    EXPECT_EQ(Postfix("\"a\\\"b\""), "[a\\\"b]");
    EXPECT_EQ(Postfix("\"a\tNOT\r\n\""), "[a\tNOT\r\n]");
    EXPECT_EQ(Postfix("NOT\"x\""), "[x] NOT");
}

TEST(ConditionDoubleByte, CharactersStayWholeAndMatchesStartOnBoundaries) {
    // "ソ" is 83 5C: its second byte is the sequence character.
    const std::string so = sjis(u8"ソ");
    ASSERT_EQ(so, "\x83\x5C");
    EXPECT_EQ(Postfix(so + "ft"), "[" + so + "ft]");
    EXPECT_EQ(Postfix("\"" + so + "\" x"), "[" + so + "] [x] AND");
    EXPECT_EQ(Postfix(so), "[" + so + "]");  // not a sequence character at the end
    // "(" after a lead byte is its second byte, not a parenthesis.
    EXPECT_EQ(Postfix(std::string("\x81(")), "[\x81(]");
    EXPECT_EQ(Postfix(std::string("a\x81")), "[a\x81]");  // lone lead byte at the end

    // "ア" is 83 41, so "A" occurs inside it as a second byte: no match there.
    const std::string a = sjis(u8"ア");
    EXPECT_FALSE(MatchCondition("A", a));
    EXPECT_TRUE(MatchCondition("A", a + "A"));
    EXPECT_FALSE(TermOccurs("A\x83", a + "\x83"));
    // Runs of lead-byte values: "\x83\x83" is one character, the second \x83 is its trail.
    EXPECT_FALSE(
        TermOccurs("\x83"
                   "A",
                   "\x83\x83"
                   "A"));
    EXPECT_TRUE(
        TermOccurs("\x83"
                   "A",
                   "\x83\x83\x83"
                   "A"));
    EXPECT_TRUE(MatchCondition(sjis(u8"監視 AND NOT 警告"), sjis(u8"ディスクの監視を開始")));
}

TEST(ConditionEvaluation, AMalformedPostfixIsFalseAndSaidToTheCallerWithoutABox) {
    // On the tick's thread a box would stop the watch until somebody answered it.
    ScriptedShell shell;
    TokenList bad;
    bad.Add(TokenKind::And);
    bool internalError = false;
    EXPECT_FALSE(EvaluatePostfix(bad, "x", &internalError));
    EXPECT_TRUE(internalError);
    EXPECT_TRUE(shell.Boxes().empty());
    internalError = false;
    EXPECT_FALSE(MatchCondition("x AND", "x", &internalError));  // does not scan: no fault
    EXPECT_FALSE(internalError);
}
