#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Builds the Prometheus text exposition format (version 0.0.4): for every metric family a
// "# HELP" and a "# TYPE" line, then its samples, one per line:
//
//   # HELP commserd_rows_stored_total Rows stored, per table.
//   # TYPE commserd_rows_stored_total counter
//   commserd_rows_stored_total{table="systemLog_kernelInfo"} 1200
//
// Samples of one family are kept together whatever the order they are added in. Label values
// are escaped (backslash, double quote, newline), so any text may be a label value.
class TakMetricsText {
public:
    using Labels = std::vector<std::pair<std::string, std::string>>;

    // A counter; by convention its name ends in "_total".
    void counter(const std::string& name, const std::string& help, uint64_t value,
                 const Labels& labels = {});
    void gauge(const std::string& name, const std::string& help, int64_t value,
               const Labels& labels = {});

    std::string text() const;

    static std::string escapeLabelValue(const std::string& value);

private:
    struct Family {
        std::string help;
        std::string type;
        std::vector<std::string> samples;
    };
    void add(const std::string& name, const std::string& type, const std::string& help,
             const Labels& labels, const std::string& value);

    std::vector<std::string> m_order;  // family names, first seen first
    std::map<std::string, Family> m_families;
};
