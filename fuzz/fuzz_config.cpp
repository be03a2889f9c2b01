// Bytes as the configuration file, read by TakGlobalInfoManager::loadConfigFrom from a
// temporary working directory. Checked: whatever the file holds, every setting the daemon takes
// from it is one it can use (ports, sizes and times within their ranges, a log directory that
// ends with "/").

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "comm-serd/TakGlobalInfoManager.h"

namespace {

// Where the working directory goes: $TMPDIR when set, else memory (/dev/shm) when there is
// one: a file rewritten on disk for every input is flushed each time (ext4 does that for a file
// truncated and written again) and would slow the run thirtyfold.
std::filesystem::path tempRoot() {
    std::error_code ec;
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", ec)) {
        return "/dev/shm";
    }
    return std::filesystem::temp_directory_path();
}

// The working directory with its config/ directory, removed when the run ends.
class WorkDir {
public:
    WorkDir() {
        std::string pattern = (tempRoot() / "fuzz_config.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        m_path = pattern;
        std::filesystem::create_directory(m_path / "config");
    }
    ~WorkDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const WorkDir dir;
    {
        std::ofstream file(dir.path() / "config" / "config.ini",
                           std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    TakGlobalInfoManager& config = TakGlobalInfoManager::getInstance();
    // Most inputs are configuration errors: what matters is that every value read is in range.
    (void)config.loadConfigFrom(dir.path().string());

    check(config.getConfigDir() == dir.path().string() + "/config");
    const STDbSettings db = config.getDbSettings();
    check(db.port >= 1 && db.port <= 65535);
    check(config.getRpcPort() >= 1 && config.getRpcPort() <= 65535);
    const std::string logDir = config.getLogDir();
    check(!logDir.empty() && logDir.back() == '/');
    check(config.getMaxFrameBytes() >= 1 && config.getMaxFrameBytes() <= 0xFFFFFFFFull);
    check(config.getMaxPlainFrameBytes() >= 1 && config.getMaxPlainFrameBytes() <= 0xFFFFFFFFull);
    check(config.getMaxOutputBytes() >= 1);
    check(config.getMaxQueuedBytes() >= 1);
    check(config.getDeviceLimit() >= 0);
    check(config.getStopDrainSeconds() >= 0);
    check(config.getHandshakeSeconds() >= 1);
    check(config.getKeepAliveSeconds() >= 0);
    return 0;
}
