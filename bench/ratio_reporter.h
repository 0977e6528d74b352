#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The console report, followed by the ratio of each pair of benchmarks named in it. A
// benchmark is named by its function and arguments ("BM_ReadNewest10/1000"); with repetitions
// its median counts, else its one run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    using Pair = std::pair<std::string, std::string>;
    RatioReporter(std::initializer_list<Pair> pairs) : m_pairs(pairs) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_medians[name] = run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Iteration) {
                m_times[name] = run.GetAdjustedRealTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        auto time = [&](const std::string& name, double& t) {
            if (m_medians.count(name)) return t = m_medians[name], true;
            if (m_times.count(name)) return t = m_times[name], true;
            return false;
        };
        for (const auto& [measured, base] : m_pairs) {
            double a = 0, b = 0;
            if (!time(measured, a) || !time(base, b) || b == 0) continue;
            std::printf("ratio %s / %s = %.2f\n", measured.c_str(), base.c_str(), a / b);
        }
    }

private:
    std::vector<Pair> m_pairs;
    std::map<std::string, double> m_times;
    std::map<std::string, double> m_medians;
};
