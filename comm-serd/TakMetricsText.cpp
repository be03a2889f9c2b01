#include "comm-serd/TakMetricsText.h"

namespace {

// HELP text: backslash and newline escaped.
std::string escapeHelp(const std::string& help) {
    std::string out;
    for (char c : help) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string TakMetricsText::escapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void TakMetricsText::counter(const std::string& name, const std::string& help, uint64_t value,
                             const Labels& labels) {
    add(name, "counter", help, labels, std::to_string(value));
}

void TakMetricsText::gauge(const std::string& name, const std::string& help, int64_t value,
                           const Labels& labels) {
    add(name, "gauge", help, labels, std::to_string(value));
}

void TakMetricsText::add(const std::string& name, const std::string& type, const std::string& help,
                         const Labels& labels, const std::string& value) {
    auto [it, inserted] = m_families.try_emplace(name);
    if (inserted) {
        m_order.push_back(name);
        it->second.help = help;
        it->second.type = type;
    }
    std::string sample = name;
    if (!labels.empty()) {
        sample += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i != 0) sample += ',';
            sample += labels[i].first + "=\"" + escapeLabelValue(labels[i].second) + '"';
        }
        sample += '}';
    }
    it->second.samples.push_back(sample + ' ' + value);
}

std::string TakMetricsText::text() const {
    std::string out;
    for (const std::string& name : m_order) {
        const Family& family = m_families.at(name);
        out += "# HELP " + name + ' ' + escapeHelp(family.help) + '\n';
        out += "# TYPE " + name + ' ' + family.type + '\n';
        for (const std::string& sample : family.samples) out += sample + '\n';
    }
    return out;
}
