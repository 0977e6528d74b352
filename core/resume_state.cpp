#include "core/resume_state.h"

#include "config/settings.h"
#include "platform/bytes.h"
#include "platform/files.h"

namespace {

bool ParseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > 0xFFFFFFFFu) return false;
    value = static_cast<std::uint32_t>(n);
    return true;
}

bool ParseHex(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 16) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        const int digit = platform::HexDigitValue(c);
        if (digit < 0) return false;
        n = n << 4 | static_cast<unsigned>(digit);
    }
    value = n;
    return true;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

std::string ResumeStatePath() { return DataDirectory() + "RESUME.DAT"; }

std::string FormatResumeState(const ResumeState& state) {
    std::string text;
    for (const auto& [name, position] : state) {
        // A name that would break the section line, or end it early, cannot be kept.
        if (name.empty() ||
            name.find_first_of(std::string_view("\r\n]\0", 4)) != std::string::npos) {
            continue;
        }
        text += platform::StringPrintf(
            "[%s]\r\nRecord=%u\r\nWritten=%u\r\nLength=%u\r\nHash=%016llx\r\n", name.c_str(),
            position.record, position.written, position.length,
            static_cast<unsigned long long>(position.hash));
    }
    return text;
}

ResumeState ParseResumeState(std::string_view text, bool* damaged) {
    ResumeState state;
    std::string section;
    LogPosition position;
    bool hasRecord = false, hasWritten = false;
    bool skipped = false;
    auto finish = [&] {
        if (!section.empty() && hasRecord && hasWritten) {
            state[section] = position;
        } else if (!section.empty()) {
            skipped = true;
        }
        position = LogPosition();
        hasRecord = hasWritten = false;
    };
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = Trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            finish();
            section = std::string(line.substr(1, line.size() - 2));
            continue;
        }
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos || section.empty()) {
            skipped = true;
            continue;
        }
        const std::string_view key = Trimmed(line.substr(0, equals));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        bool understood = true;
        if (key == "Record") {
            understood = hasRecord = ParseNumber(value, position.record);
        } else if (key == "Written") {
            understood = hasWritten = ParseNumber(value, position.written);
        } else if (key == "Length") {
            // The finer identity is optional: without it, number and time decide.
            understood = ParseNumber(value, position.length);
            if (!understood) position.length = 0;
        } else if (key == "Hash") {
            understood = ParseHex(value, position.hash);
            if (!understood) position.hash = 0;
        } else {
            understood = false;
        }
        skipped = skipped || !understood;
    }
    finish();
    // Every save writes at least one log: a file with none was cut or overwritten.
    if (damaged) *damaged = skipped || state.empty();
    return state;
}

ResumeState LoadResumeState(bool* damaged, std::string* damagedCopy) {
    if (damaged) *damaged = false;
    std::string text;
    if (!platform::ReadWholeFile(ResumeStatePath(), text)) {
        // Missing is a first start; there but unreadable is damaged (it cannot be trusted).
        const bool missing = platform::GetLastError() == platform::kErrorFileNotFound ||
                             platform::GetLastError() == platform::kErrorPathNotFound;
        if (!missing && damaged) *damaged = true;
        return ResumeState();
    }
    bool bad = false;
    ResumeState state = ParseResumeState(text, &bad);
    if (bad) {
        // Kept before the first save replaces it: what it held may still be read by a person.
        const std::string copy = platform::CopyAsDamaged(ResumeStatePath());
        if (damagedCopy) *damagedCopy = copy;
        if (damaged) *damaged = true;
    }
    return state;
}

bool SaveResumeState(const ResumeState& state) {
    const std::string text = FormatResumeState(state);
    if (text.empty()) {
        return platform::DeleteFile(ResumeStatePath()) ||
               platform::GetLastError() == platform::kErrorFileNotFound;
    }
    // Never written in place: a run killed half-way through must leave the old file whole.
    return platform::WritePrivateFileAtomically(ResumeStatePath(), text);
}
