#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The console report, followed by the ratio of each pair of benchmarks named in it.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    using Pair = std::pair<std::string, std::string>;
    RatioReporter(std::initializer_list<Pair> pairs) : m_pairs(pairs) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [measured, base] : m_pairs) {
            if (!m_times.count(measured) || !m_times.count(base)) continue;
            std::printf("ratio %s / %s = %.2f\n", measured.c_str(), base.c_str(),
                        m_times[measured] / m_times[base]);
        }
    }

private:
    std::vector<Pair> m_pairs;
    std::map<std::string, double> m_times;
};
