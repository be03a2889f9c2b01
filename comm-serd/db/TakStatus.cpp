#include "comm-serd/db/TakStatus.h"

const char* TakStatus::codeName(ECode code) {
    switch (code) {
        case ECode::Ok:
            return "OK";
        case ECode::NotConnected:
            return "NotConnected";
        case ECode::Refused:
            return "Refused";
        case ECode::TimedOut:
            return "TimedOut";
        case ECode::Failed:
            return "Failed";
    }
    return "Unknown";
}

std::string TakStatus::toString() const {
    if (ok()) return "OK";
    std::string text = codeName(m_code);
    if (!m_message.empty()) text += ": " + m_message;
    return text;
}
