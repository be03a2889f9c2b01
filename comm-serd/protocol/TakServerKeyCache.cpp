#include "comm-serd/protocol/TakServerKeyCache.h"

#include <sys/stat.h>

#include <cerrno>

#include "comm-serd/TakLockGuard.h"

TakServerKeyCache& TakServerKeyCache::getInstance() {
    static TakServerKeyCache instance;
    return instance;
}

TakKeyFile::Status TakServerKeyCache::get(const std::string& path,
                                          std::shared_ptr<const TakSm2Key>& key) {
    key.reset();
    struct stat st {};
    TakLockGuard lock(m_mutex);
    if (::stat(path.c_str(), &st) != 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR;
        m_entries.erase(path);
        return missing ? TakKeyFile::Status::NoFile : TakKeyFile::Status::CannotRead;
    }
    const STFileStamp stamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                            static_cast<int64_t>(st.st_size),
                            static_cast<int64_t>(st.st_mtim.tv_sec),
                            static_cast<int64_t>(st.st_mtim.tv_nsec)};
    auto it = m_entries.find(path);
    if (it != m_entries.end() && it->second.stamp == stamp) {
        key = it->second.key;
        return it->second.status;
    }

    // Held across the read: callers that arrive meanwhile wait for this result instead of
    // each paying for the derivation.
    TakSm2Key loaded;
    const TakKeyFile::Status status = TakKeyFile::read(path, loaded);
    ++m_loads;
    if (status == TakKeyFile::Status::CannotRead || status == TakKeyFile::Status::NoFile) {
        // Passing conditions (descriptors exhausted, the file replaced meanwhile): try again
        // next time.
        m_entries.erase(path);
        return status;
    }
    STEntry entry;
    entry.stamp = stamp;
    entry.status = status;
    if (status == TakKeyFile::Status::Ok) {
        entry.key = std::make_shared<const TakSm2Key>(std::move(loaded));
    }
    key = entry.key;
    m_entries[path] = std::move(entry);
    return status;
}

uint64_t TakServerKeyCache::loads() const {
    TakLockGuard lock(m_mutex);
    return m_loads;
}

void TakServerKeyCache::clear() {
    TakLockGuard lock(m_mutex);
    m_entries.clear();
}
