#include "comm-serd/TakConfigReader.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

// The value in double quotes, with what a terminal would not show plainly escaped: a key given
// twice, or continued on an indented line, comes back from inih as lines joined by "\n".
std::string quoted(const std::string& value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string STConfigError::describe() const {
    if (section.empty()) return file + ": " + problem;
    return file + ": [" + section + "] " + key + " = " + quoted(value) + ": " + problem;
}

TakConfigReader::TakConfigReader(std::string path) : m_path(std::move(path)), m_reader(m_path) {
    std::error_code ec;
    auto const status = std::filesystem::status(m_path, ec);
    int const parse = m_reader.ParseError();
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        addError("", "", "", "is not a regular file");
    } else if (parse > 0) {
        addError("", "", "",
                 "line " + std::to_string(parse) +
                     " is neither \"[section]\" nor \"key = value\" (comment lines start with "
                     "\";\" or \"#\")");
    } else if (parse < 0 && std::filesystem::exists(status)) {
        addError("", "", "", "cannot be read");
    }
}

std::string TakConfigReader::text(const std::string& section, const std::string& key,
                                  const std::string& def) const {
    return m_reader.Get(section, key, def);
}

long long TakConfigReader::integer(const std::string& section, const std::string& key,
                                   long long def, long long min, long long max) {
    if (!m_reader.HasValue(section, key)) return def;
    std::string const value = m_reader.Get(section, key, "");
    bool const digits =
        !value.empty() && std::all_of(value.begin(), value.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
    long long number = 0;
    if (digits) {
        auto const [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (error == std::errc() && end == value.data() + value.size() && number >= min &&
            number <= max) {
            return number;
        }
    }
    addError(section, key, value,
             "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    return def;
}

std::string TakConfigReader::address(const std::string& section, const std::string& key,
                                     const std::string& def) {
    if (!m_reader.HasValue(section, key)) return def;
    std::string const value = m_reader.Get(section, key, "");
    if (value.empty()) return value;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, value.c_str(), &v4) == 1 || inet_pton(AF_INET6, value.c_str(), &v6) == 1)
        return value;
    addError(section, key, value, "expected a numeric IPv4 or IPv6 address, or nothing");
    return def;
}

bool TakConfigReader::splitHostPort(const std::string& value, std::string* host, int* port) {
    size_t const colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string name = value.substr(0, colon);
    std::string const digits = value.substr(colon + 1);
    bool const bracketed = name.size() > 2 && name.front() == '[' && name.back() == ']';
    if (bracketed) name = name.substr(1, name.size() - 2);
    in_addr v4{};
    in6_addr v6{};
    bool const ok = bracketed ? inet_pton(AF_INET6, name.c_str(), &v6) == 1
                              : inet_pton(AF_INET, name.c_str(), &v4) == 1;
    if (!ok || digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    int const number = std::stoi(digits);
    if (number < 1 || number > 65535) return false;
    *host = name;
    *port = number;
    return true;
}

std::string TakConfigReader::hostPort(const std::string& section, const std::string& key,
                                      const std::string& def) {
    if (!m_reader.HasValue(section, key)) return def;
    std::string const value = m_reader.Get(section, key, "");
    std::string host;
    int port = 0;
    if (value.empty() || splitHostPort(value, &host, &port)) return value;
    addError(section, key, value,
             "expected HOST:PORT with a numeric address (IPv6 in brackets) and a port from 1 to "
             "65535, or nothing");
    return def;
}

bool TakConfigReader::flag(const std::string& section, const std::string& key, bool def) {
    static const std::vector<std::string> kWords = {"on",  "off", "true", "false",
                                                    "yes", "no",  "1",    "0"};
    std::size_t const none = kWords.size();
    std::size_t const index = oneOf(section, key, none, kWords);
    return index == none ? def : index % 2 == 0;
}

std::size_t TakConfigReader::oneOf(const std::string& section, const std::string& key,
                                   std::size_t def, const std::vector<std::string>& words) {
    if (!m_reader.HasValue(section, key)) return def;
    std::string const value = m_reader.Get(section, key, "");
    auto const same = [&value](const std::string& word) {
        return std::equal(
            value.begin(), value.end(), word.begin(), word.end(),
            [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (same(words[i])) return i;
    }
    std::string expected;
    for (std::size_t i = 0; i < words.size(); ++i) {
        expected += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    }
    addError(section, key, value, "expected " + expected);
    return def;
}

void TakConfigReader::addError(const std::string& section, const std::string& key,
                               const std::string& value, std::string problem) {
    m_errors.push_back({m_path, section, key, value, std::move(problem)});
}
