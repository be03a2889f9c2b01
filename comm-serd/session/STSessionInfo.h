#pragma once

#include <chrono>
#include <string>

// One agent session as an operator sees it (the admin endpoint's /sessions).
struct STSessionInfo {
    std::string mac;   // the MAC address the agent reported; empty before it has
    std::string peer;  // "ip:port"
    std::chrono::system_clock::time_point connectedSince;
    bool keyExchanged = false;
    bool registered = false;  // a registration of its device has been decided
    bool authorized = false;  // ... and admitted it
};
