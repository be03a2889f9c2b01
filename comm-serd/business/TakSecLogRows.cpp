#include "comm-serd/business/TakSecLogRows.h"

TakSecLogRows::TakSecLogRows(const std::string& logdata) {
    m_content.ParsePartialFromString(logdata);
}
