#include "support/TakTempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

TakTempDir::TakTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tak-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TakTempDir::~TakTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TakTempDir::file(const std::string& name) const { return m_path + "/" + name; }
