#pragma once

#include <cstdint>
#include <string>

// Small utilities shared by the configuration, the logger and the business services.
class TakComUtil {
public:
    // A new random identifier: up to 32 lower-case hexadecimal digits.
    static std::string generateUUID();
    // Modification time of the file in whole seconds since the epoch; 0 for an empty path or a
    // path that cannot be examined.
    static int getFilemodifyTime(const std::string& path);
    // The wall-clock time in microseconds since the Unix epoch (the envelopes' creation time).
    static uint64_t nowMicros();
    // std::thread::hardware_concurrency(), or 1 where it is not known.
    static unsigned int hardwareThreads();
};
