#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// The command line of the daemon and of each tool. Every program gets "--help" (and "-h"),
// which prints its usage on standard output, and "--version", which prints its name and the
// project's version; both end the program with status 0. Options take their value as the next
// word or after "=" ("--port 7400", "--port=7400"), may stand before or after the positional
// words, and "--" ends them. An unknown option, a missing value or a value that does not parse
// is named on standard error, with a pointer to --help, and ends the program with status 2.
//
//   TakCommandLine cl("tak-keygen", usageText);
//   cl.text("--dir", &dir).flag("--force", &force);
//   if (auto status = cl.parse(argc, argv)) return *status;
class TakCommandLine {
public:
    static constexpr int kUsageError = 2;

    // A value parser: stores the value and returns true, or returns false for a bad value.
    using Parser = std::function<bool(const std::string& value)>;

    // program: the name used in messages; usage: the whole text --help prints.
    TakCommandLine(std::string program, std::string usage);

    // names: one or more spellings separated by "|", such as "-c|--config".
    TakCommandLine& flag(const std::string& names, bool* target);
    TakCommandLine& text(const std::string& names, std::string* target);
    TakCommandLine& integer(const std::string& names, int* target, int min, int max);
    TakCommandLine& unsignedInteger(const std::string& names, uint64_t* target);
    // A number greater than min.
    TakCommandLine& number(const std::string& names, double* target, double greaterThan);
    // expected says what a good value looks like, for the error message ("TOTAL:FREE").
    TakCommandLine& option(const std::string& names, const std::string& expected, Parser parse);

    // Reads argv[1..argc-1]. Nothing: the program goes on with the options set and positional()
    // filled. A status: the program ends with it at once (the text is already printed).
    [[nodiscard]] std::optional<int> parse(int argc, const char* const* argv);
    [[nodiscard]] std::optional<int> parse(int argc, const char* const* argv, std::ostream& out,
                                           std::ostream& err);

    // The words that are not options, in order.
    const std::vector<std::string>& positional() const { return m_positional; }

    // For a mistake the program finds after parse() (a missing or unknown command): names it on
    // standard error with the pointer to --help and returns 2.
    [[nodiscard]] int fail(const std::string& message) const;
    [[nodiscard]] int fail(const std::string& message, std::ostream& err) const;

    // "NAME (comm-serd) VERSION", or "comm-serd VERSION" for the daemon itself.
    std::string versionLine() const;
    static const char* version();

private:
    struct Option {
        std::vector<std::string> names;
        bool takesValue = false;
        std::string expected;
        Parser parse;
        bool* flag = nullptr;
    };

    TakCommandLine& add(Option option, const std::string& names);
    const Option* find(const std::string& name) const;

    std::string m_program;
    std::string m_usage;
    std::vector<Option> m_options;
    std::vector<std::string> m_positional;
};
