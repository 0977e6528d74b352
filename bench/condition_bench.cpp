// MatchCondition of a six-term expression over a 1 KB Shift-JIS description, against the same
// six searches done directly.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "expr/parser.h"
#include "platform/codepage.h"
#include "ratio_reporter.h"

namespace {

const std::string& Description() {
    static const std::string text = [] {
        std::string t;
        const std::string sentence = sjis(
            u8"ディスク \\Device\\Harddisk1\\DR1 にエラーが見つかりました。"
            u8"The device reported an I/O error during a paging operation. ");
        while (t.size() < 1024) t += sentence;
        t.resize(platform::SjisPrefixLength(t, 1024));
        return t;
    }();
    return text;
}

const std::string& Expression() {
    static const std::string e =
        sjis(u8"(ディスク OR \"I/O\") AND NOT 警告 AND (error OR 容量) NOT timeout");
    return e;
}

void BM_MatchCondition(benchmark::State& state) {
    const std::string& e = Expression();
    const std::string& text = Description();
    for (auto _ : state) benchmark::DoNotOptimize(MatchCondition(e, text));
}
BENCHMARK(BM_MatchCondition);

void BM_DirectSearches(benchmark::State& state) {
    std::string_view text = Description();
    const std::string terms[] = {sjis(u8"ディスク"), "I/O",    sjis(u8"警告"), "error",
                                 sjis(u8"容量"),     "timeout"};
    for (auto _ : state) {
        bool found[6];
        for (int i = 0; i < 6; ++i) found[i] = text.find(terms[i]) != std::string_view::npos;
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_DirectSearches);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"BM_MatchCondition", "BM_DirectSearches"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
namespace {
void BM_ScanOnly(benchmark::State& state) {
    const std::string& e = Expression();
    for (auto _ : state) benchmark::DoNotOptimize(CheckCondition(e));
}
BENCHMARK(BM_ScanOnly);
void BM_TermsOnly(benchmark::State& state) {
    std::string_view text = Description();
    const std::string terms[] = {sjis(u8"ディスク"), "I/O",    sjis(u8"警告"), "error",
                                 sjis(u8"容量"),     "timeout"};
    for (auto _ : state) {
        bool found[6];
        for (int i = 0; i < 6; ++i) found[i] = TermOccurs(terms[i], text);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_TermsOnly);
}  // namespace
