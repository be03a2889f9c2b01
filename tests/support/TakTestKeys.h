#pragma once

#include <filesystem>
#include <string>

#include "comm-serd/protocol/TakSm2Key.h"

// One long-term server key per test program, written once in the daemon's key-file form.
struct TakTestKeys {
    std::filesystem::path keyFile;  // scert.dat
    TakSm2Key::Point point;         // the public point agents check the key offer with
};

const TakTestKeys& takTestKeys();
