#include "support/TakTempDir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

TakTempDir::TakTempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    m_path = buffer.data();
}

TakTempDir::~TakTempDir() {
    if (testing::Test::HasFailure()) {
        std::cerr << "kept for inspection: " << m_path << std::endl;
        return;
    }
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

fs::path TakTempDir::writeFile(const std::string& relative, const std::string& content) const {
    fs::path const file = m_path / relative;
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    return file;
}

std::string TakTempDir::readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
