#include "comm-serd/business/TakReportedMacs.h"

void TakReportedMacs::add(const std::string& mac) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_macs.insert(mac);
}

bool TakReportedMacs::contains(const std::string& mac) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_macs.count(mac) != 0;
}
