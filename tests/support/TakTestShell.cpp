#include "support/TakTestShell.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

int TakTestShell::run(const std::string& command, std::string& out, bool keepStderr) {
    out.clear();
    const std::string full = command + (keepStderr ? " 2>&1" : " 2>/dev/null");
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
    const int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string TakTestShell::quote(std::string_view word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    out += "'";
    return out;
}

std::string TakTestShell::readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void TakTestShell::writeFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string TakTestShell::toHex(std::string_view bytes) {
    return toHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string TakTestShell::toHex(const unsigned char* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xf]);
    }
    return out;
}

std::string TakTestShell::fromHex(std::string_view hex) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    int high = -1;
    for (char c : hex) {
        const int v = value(c);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}
