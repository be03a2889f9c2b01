#include "support/TakTestDb.h"

#include <cstdlib>
#include <string>

bool TakTestDb::available() { return testPort() != 0; }

unsigned int TakTestDb::testPort() {
    const char* port = std::getenv("TAK_TEST_DB_PORT");
    if (port == nullptr || *port == '\0') return 0;
    return static_cast<unsigned int>(std::strtoul(port, nullptr, 10));
}

STDbSettings TakTestDb::settings(unsigned int port) {
    return STDbSettings{TakGlobalInfoManager::kDefaultDbHost, port,
                        TakGlobalInfoManager::kDefaultDbUser,
                        TakGlobalInfoManager::kDefaultDbPassword};
}

TakTestDb::TakTestDb(const std::string& database, unsigned int port) {
    if (mysql_init(&m_mysql) == nullptr) return;
    m_initialised = true;
    mysql_options(&m_mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    unsigned int timeout = 5;
    mysql_options(&m_mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    STDbSettings const s = settings(port);
    m_connected = mysql_real_connect(&m_mysql, s.host.c_str(), s.user.c_str(), s.password.c_str(),
                                     database.c_str(), s.port, nullptr, 0) != nullptr;
}

TakTestDb::~TakTestDb() {
    if (m_initialised) mysql_close(&m_mysql);
}

std::string TakTestDb::error() {
    if (!m_initialised) return "mysql_init failed";
    const char* text = mysql_error(&m_mysql);
    return text ? text : "";
}

bool TakTestDb::exec(const std::string& sql) {
    if (!m_connected) return false;
    if (mysql_real_query(&m_mysql, sql.data(), sql.size()) != 0) return false;
    if (mysql_field_count(&m_mysql) != 0) mysql_free_result(mysql_store_result(&m_mysql));
    return true;
}

std::vector<TakTestDb::Row> TakTestDb::rows(const std::string& sql) {
    std::vector<Row> out;
    if (!m_connected || mysql_real_query(&m_mysql, sql.data(), sql.size()) != 0) return out;
    MYSQL_RES* res = mysql_store_result(&m_mysql);
    if (res == nullptr) return out;
    unsigned int const fields = mysql_num_fields(res);
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        unsigned long* lengths = mysql_fetch_lengths(res);
        Row r;
        for (unsigned int i = 0; i < fields; ++i) {
            if (row[i] == nullptr) {
                r.emplace_back(std::nullopt);
            } else {
                r.emplace_back(std::string(row[i], lengths[i]));
            }
        }
        out.push_back(std::move(r));
    }
    mysql_free_result(res);
    return out;
}

std::optional<std::string> TakTestDb::scalar(const std::string& sql) {
    auto const all = rows(sql);
    if (all.empty() || all.front().empty()) return std::nullopt;
    return all.front().front();
}

long long TakTestDb::number(const std::string& sql) {
    auto const value = scalar(sql);
    if (!value) return -1;
    return std::strtoll(value->c_str(), nullptr, 10);
}

bool TakTestDb::truncate(std::initializer_list<std::string> tables) {
    bool ok = true;
    for (const auto& table : tables) ok = exec("TRUNCATE TABLE " + table) && ok;
    return ok;
}

std::string TakTestDb::escape(const std::string& value) {
    std::string out(value.size() * 2 + 1, '\0');
    unsigned long const n =
        m_initialised ? mysql_real_escape_string(&m_mysql, out.data(), value.data(), value.size())
                      : mysql_escape_string(out.data(), value.data(), value.size());
    out.resize(n);
    return out;
}
