#pragma once

#include <string>
#include <string_view>

// Small helpers for tests that check our bytes against an independent tool (the openssl
// command line) through files.
class TakTestShell {
public:
    // Runs the command with /bin/sh; standard output goes to out, standard error is dropped
    // unless keepStderr. Returns the exit status (-1 when it could not run).
    static int run(const std::string& command, std::string& out, bool keepStderr = false);
    // Quotes a word for the shell.
    static std::string quote(std::string_view word);

    static std::string readFile(const std::string& path);
    static void writeFile(const std::string& path, std::string_view bytes);

    static std::string toHex(std::string_view bytes);
    static std::string toHex(const unsigned char* data, size_t n);
    // Ignores anything that is not a hexadecimal digit (spaces, colons, newlines).
    static std::string fromHex(std::string_view hex);
};
