// File names as Windows reads and other systems take them: wildcard patterns, portable names.
#include "platform/linux/file_names.h"

#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace platform {

// A name pattern as Windows reads one: "*.*" is every name; a '*' before a '.' stops at the
// name's last dot; a '.' before '?', '*' or the end also matches the end of a name without one
// ("*." is every name without a dot, "abc.*" takes "abc"); a '?' takes one character, or none
// at a dot or the end ("file?.txt" takes "file.txt"). Characters, not bytes; case ignored.
bool WildcardMatch(const std::string& patternText, const std::string& nameText) {
    enum Kind : std::uint8_t { Literal, Star, DosStar, DosQm, DosDot };
    struct Token {
        Kind kind;
        std::string_view text;
    };
    auto characters = [](const std::string& text) {
        std::vector<std::string_view> out;
        for (size_t i = 0; i < text.size();) {
            const size_t length =
                IsDBCSLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
            out.push_back(std::string_view(text).substr(i, length));
            i += length;
        }
        return out;
    };
    if (patternText == "*.*") return true;
    const std::vector<std::string_view> p = characters(patternText);
    const std::vector<std::string_view> name = characters(nameText);
    std::vector<Token> tokens;
    for (size_t i = 0; i < p.size(); ++i) {
        const bool nextDot = i + 1 < p.size() && p[i + 1] == ".";
        if (p[i] == "*") {
            tokens.push_back({nextDot ? DosStar : Star, p[i]});
        } else if (p[i] == "?") {
            tokens.push_back({DosQm, p[i]});
        } else if (p[i] == "." && (i + 1 == p.size() || p[i + 1] == "?" || p[i + 1] == "*")) {
            tokens.push_back({DosDot, p[i]});
        } else {
            tokens.push_back({Literal, p[i]});
        }
    }
    size_t lastDot = std::string::npos;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == ".") lastDot = i;
    }
    auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (a.size() == 1 ? AsciiUpper(a[i]) != AsciiUpper(b[i]) : a[i] != b[i]) return false;
        }
        return true;
    };
    // Which (token, character) pairs can be reached; a table keeps it linear in their product.
    const size_t width = name.size() + 1;
    std::vector<char> reach((tokens.size() + 1) * width, 0);
    reach[0] = 1;
    for (size_t t = 0; t < tokens.size(); ++t) {
        for (size_t n = 0; n <= name.size(); ++n) {
            if (!reach[t * width + n]) continue;
            auto mark = [&](size_t next) { reach[(t + 1) * width + next] = 1; };
            const Token& token = tokens[t];
            switch (token.kind) {
                case Literal:
                    if (n < name.size() && same(token.text, name[n])) mark(n + 1);
                    break;
                case Star:
                    for (size_t k = n; k <= name.size(); ++k) mark(k);
                    break;
                case DosStar:
                    // Up to, never over, the last dot.
                    for (size_t k = n; k <= name.size(); ++k) {
                        mark(k);
                        if (k == lastDot) break;
                    }
                    break;
                case DosQm:
                    if (n == name.size() || name[n] == ".") {
                        mark(n);
                    } else {
                        mark(n + 1);
                    }
                    break;
                case DosDot:
                    if (n == name.size()) mark(n);
                    if (n < name.size() && name[n] == ".") mark(n + 1);
                    break;
            }
        }
    }
    return reach[tokens.size() * width + name.size()] != 0;
}

std::string PortableFileName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    bool inRawCharacter = false;  // after the code of a lead byte code page 932 could not carry
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (IsDBCSLeadByte(c) && i + 1 < name.size()) {
            // A character code page 932 lacks travels as one code for each of its bytes: it
            // becomes one '_', visible and never an invisible private character.
            const std::string raw = PathToNative(name.substr(i, 2));
            const auto byte = raw.size() == 1 ? static_cast<unsigned char>(raw[0]) : 0;
            if (byte >= 0x80) {
                const bool continuation = byte < 0xC0 && inRawCharacter;
                if (!continuation) out += '_';
                inRawCharacter = byte >= 0xC0 || continuation;
            } else {
                out.append(name.substr(i, 2));
                inRawCharacter = false;
            }
            ++i;
            continue;
        }
        inRawCharacter = false;
        if (c < 0x20 || c == 0x7F ||
            std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos) {
            out += '_';
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.find_first_not_of('.') == std::string::npos)
        out.assign(out.size() ? out.size() : 1, '_');
    return out;
}

}  // namespace platform
