#pragma once

#include <INIReader.h>

#include <cassert>
#include <concepts>
#include <string>
#include <utility>
#include <vector>

// One thing wrong with the configuration file: a value a key cannot take, or the file itself.
struct STConfigError {
    std::string file;
    std::string section;  // empty when the problem is the file itself
    std::string key;
    std::string value;
    std::string problem;

    // FILE: [SECTION] KEY = "VALUE": PROBLEM   (or FILE: PROBLEM)
    std::string describe() const;
};

// Reads an INI file with inih and checks values as they are taken. A value that its key cannot
// take gives the key's default and is recorded in errors(), so that start-up can refuse to run
// on a configuration it would misread. Every numeric key goes through number():
//
//   m_deviceLimit = reader.number("Limits", "DeviceLimit", kDefaultDeviceLimit, 0, 1 << 30);
//
// A missing file is no error: every key then has its default. A file that exists but cannot be
// read, or has a line that is neither "[section]" nor "key = value", is an error.
class TakConfigReader {
public:
    explicit TakConfigReader(std::string path);

    const std::string& path() const { return m_path; }

    // The value as written (trimmed, an inline "; comment" removed), or def when the key is
    // absent.
    std::string text(const std::string& section, const std::string& key,
                     const std::string& def) const;

    // A whole decimal number from min to max ("010" is ten; no sign, no hex, nothing after the
    // digits). An empty value is an error too: leaving the line out gives the default.
    template <std::integral T>
    T number(const std::string& section, const std::string& key, T def, T min, T max) {
        assert(std::in_range<long long>(min) && std::in_range<long long>(max) && min <= max);
        return static_cast<T>(integer(section, key, static_cast<long long>(def),
                                      static_cast<long long>(min), static_cast<long long>(max)));
    }

    // A numeric IPv4 or IPv6 address, or empty; def when the key is absent.
    std::string address(const std::string& section, const std::string& key, const std::string& def);

    // "HOST:PORT" with a numeric IPv4 address, or a numeric IPv6 address in brackets
    // ("[::1]:7401"), and a port from 1 to 65535; or empty. def when the key is absent.
    std::string hostPort(const std::string& section, const std::string& key,
                         const std::string& def);
    // Splits a value of that form; false when it is not one.
    static bool splitHostPort(const std::string& value, std::string* host, int* port);
    // on/off, true/false, yes/no or 1/0, in any case; def when the key is absent.
    bool flag(const std::string& section, const std::string& key, bool def);

    // The index of the value among words (compared in any case); def when the key is absent.
    std::size_t oneOf(const std::string& section, const std::string& key, std::size_t def,
                      const std::vector<std::string>& words);

    const std::vector<STConfigError>& errors() const { return m_errors; }

private:
    long long integer(const std::string& section, const std::string& key, long long def,
                      long long min, long long max);
    void addError(const std::string& section, const std::string& key, const std::string& value,
                  std::string problem);

    std::string m_path;
    INIReader m_reader;
    std::vector<STConfigError> m_errors;
};
