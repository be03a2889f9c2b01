#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"
#include "comm-serd/protocol/TakKeyFile.h"
#include "comm-serd/protocol/TakSm2Key.h"

// The decrypted long-term key by file path. Opening the key file costs a 65 536-round key
// derivation (tens of milliseconds), so the result is kept and the file is read again only
// when its identity, size or modification time changes. A missing file is looked up afresh
// on every call and reported as NoFile each time. Thread-safe; the key handed out is shared
// and never changed.
class TakServerKeyCache {
public:
    static TakServerKeyCache& getInstance();

    TakServerKeyCache() = default;
    TakServerKeyCache(const TakServerKeyCache&) = delete;
    TakServerKeyCache& operator=(const TakServerKeyCache&) = delete;

    // The key of the file at path; key is empty unless the status is Ok.
    [[nodiscard]] TakKeyFile::Status get(const std::string& path,
                                         std::shared_ptr<const TakSm2Key>& key);

    // How many times a file has been read and decrypted (for diagnostics and tests).
    uint64_t loads() const;
    void clear();

private:
    struct STFileStamp {
        uint64_t device = 0;
        uint64_t inode = 0;
        int64_t size = 0;
        int64_t mtimeSec = 0;
        int64_t mtimeNsec = 0;
        bool operator==(const STFileStamp&) const = default;
    };
    struct STEntry {
        STFileStamp stamp;
        TakKeyFile::Status status = TakKeyFile::Status::NoFile;
        std::shared_ptr<const TakSm2Key> key;
    };

    mutable TakMutex m_mutex;  // held while a file is read
    std::map<std::string, STEntry> m_entries TAK_GUARDED_BY(m_mutex);
    uint64_t m_loads TAK_GUARDED_BY(m_mutex) = 0;
};
