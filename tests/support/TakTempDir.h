#pragma once

#include <filesystem>
#include <string>

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes, unless the current test has failed: then it is kept and its path printed.
class TakTempDir {
public:
    explicit TakTempDir(const std::string& prefix = "tak-test");
    ~TakTempDir();
    TakTempDir(const TakTempDir&) = delete;
    TakTempDir& operator=(const TakTempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    // The path with a final "/", as the logger wants its directory.
    std::string dirWithSlash() const { return m_path.string() + "/"; }
    // path() / name, as text.
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    // Writes a file (creating its parent folders) and returns its path.
    std::filesystem::path writeFile(const std::string& relative, const std::string& content) const;
    // The whole content of a file; empty when it cannot be read.
    static std::string readFile(const std::filesystem::path& file);

private:
    std::filesystem::path m_path;
};
