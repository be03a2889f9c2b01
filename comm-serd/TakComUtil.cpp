#include "comm-serd/TakComUtil.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>

std::string TakComUtil::generateUUID() {
    std::random_device device("default");
    std::mt19937_64 engine(device());
    std::uniform_int_distribution<uint64_t> distribution;
    uint64_t const first = distribution(engine);
    uint64_t const second = distribution(engine);
    char text[40];
    int const n =
        std::snprintf(text, sizeof text, "%llx%llx", static_cast<unsigned long long>(first),
                      static_cast<unsigned long long>(second));
    return std::string(text, static_cast<size_t>(n)).substr(0, 32);
}

int TakComUtil::getFilemodifyTime(const std::string& path) {
    if (path.empty()) return 0;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<int>(st.st_mtime);
}

uint64_t TakComUtil::nowMicros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

unsigned int TakComUtil::hardwareThreads() {
    unsigned int const n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}
