#include "comm-serd/TakCommandLine.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <system_error>

#ifndef TAK_VERSION
#error "TAK_VERSION must be defined by the build"
#endif

namespace {

std::vector<std::string> splitNames(const std::string& names) {
    std::vector<std::string> out;
    std::istringstream in(names);
    for (std::string name; std::getline(in, name, '|');) {
        if (!name.empty()) out.push_back(name);
    }
    return out;
}

}  // namespace

TakCommandLine::TakCommandLine(std::string program, std::string usage)
    : m_program(std::move(program)), m_usage(std::move(usage)) {}

const char* TakCommandLine::version() { return TAK_VERSION; }

std::string TakCommandLine::versionLine() const {
    if (m_program == "comm-serd") return m_program + " " + version();
    return m_program + " (comm-serd) " + version();
}

TakCommandLine& TakCommandLine::add(Option option, const std::string& names) {
    option.names = splitNames(names);
    m_options.push_back(std::move(option));
    return *this;
}

TakCommandLine& TakCommandLine::flag(const std::string& names, bool* target) {
    Option o;
    o.flag = target;
    return add(std::move(o), names);
}

TakCommandLine& TakCommandLine::text(const std::string& names, std::string* target) {
    return option(names, "a text", [target](const std::string& value) {
        *target = value;
        return true;
    });
}

TakCommandLine& TakCommandLine::integer(const std::string& names, int* target, int min, int max) {
    std::string const expected =
        "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    return option(names, expected, [target, min, max](const std::string& value) {
        long long v = 0;
        auto const [end, error] = std::from_chars(value.data(), value.data() + value.size(), v);
        if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
            v < min || v > max) {
            return false;
        }
        *target = static_cast<int>(v);
        return true;
    });
}

TakCommandLine& TakCommandLine::unsignedInteger(const std::string& names, uint64_t* target) {
    return option(names, "a whole number, 0 or more", [target](const std::string& value) {
        uint64_t v = 0;
        auto const [end, error] = std::from_chars(value.data(), value.data() + value.size(), v);
        if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
            return false;
        }
        *target = v;
        return true;
    });
}

TakCommandLine& TakCommandLine::number(const std::string& names, double* target,
                                       double greaterThan) {
    std::ostringstream expected;
    expected << "a number greater than " << greaterThan;
    return option(names, expected.str(), [target, greaterThan](const std::string& value) {
        if (value.empty()) return false;
        char* end = nullptr;
        errno = 0;
        double const v = std::strtod(value.c_str(), &end);
        if (errno != 0 || end != value.c_str() + value.size() || !std::isfinite(v) ||
            !(v > greaterThan)) {
            return false;
        }
        *target = v;
        return true;
    });
}

TakCommandLine& TakCommandLine::option(const std::string& names, const std::string& expected,
                                       Parser parse) {
    Option o;
    o.takesValue = true;
    o.expected = expected;
    o.parse = std::move(parse);
    return add(std::move(o), names);
}

const TakCommandLine::Option* TakCommandLine::find(const std::string& name) const {
    for (const auto& o : m_options) {
        for (const auto& n : o.names) {
            if (n == name) return &o;
        }
    }
    return nullptr;
}

std::optional<int> TakCommandLine::parse(int argc, const char* const* argv) {
    return parse(argc, argv, std::cout, std::cerr);
}

std::optional<int> TakCommandLine::parse(int argc, const char* const* argv, std::ostream& out,
                                         std::ostream& err) {
    m_positional.clear();
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string const word = argv[i] != nullptr ? argv[i] : "";
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            // A lone "-" is a word too (it often means standard input).
            m_positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--help" || word == "-h") {
            out << m_usage;
            if (!m_usage.empty() && m_usage.back() != '\n') out << '\n';
            out.flush();
            return 0;
        }
        if (word == "--version") {
            out << versionLine() << std::endl;
            return 0;
        }

        // "--name=value" carries its value; a short option never does.
        std::string name = word;
        std::optional<std::string> value;
        size_t const equals = word.find('=');
        if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = word.substr(0, equals);
            value = word.substr(equals + 1);
        }
        const Option* o = find(name);
        if (o == nullptr) return fail("unknown option '" + name + "'", err);
        if (!o->takesValue) {
            if (value) return fail("option " + name + " takes no value", err);
            *o->flag = true;
            continue;
        }
        if (!value) {
            if (i + 1 >= argc) return fail("option " + name + " needs a value", err);
            value = argv[++i];
        }
        if (!o->parse(*value)) {
            return fail("bad value '" + *value + "' for " + name + ": expected " + o->expected,
                        err);
        }
    }
    return std::nullopt;
}

int TakCommandLine::fail(const std::string& message) const { return fail(message, std::cerr); }

int TakCommandLine::fail(const std::string& message, std::ostream& err) const {
    err << m_program << ": " << message << "\n"
        << "Try '" << m_program << " --help' for more information." << std::endl;
    return kUsageError;
}
