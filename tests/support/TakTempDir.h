#pragma once

#include <string>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TakTempDir {
public:
    TakTempDir();
    ~TakTempDir();
    TakTempDir(const TakTempDir&) = delete;
    TakTempDir& operator=(const TakTempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};
