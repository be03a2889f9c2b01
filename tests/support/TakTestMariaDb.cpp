#include "support/TakTestMariaDb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

unsigned int TakTestMariaDb::freePort() {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    unsigned int port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

TakTestMariaDb::TakTestMariaDb(std::string base, std::string serverOptions)
    : m_base(std::move(base)), m_serverOptions(std::move(serverOptions)), m_port(freePort()) {
    std::filesystem::create_directories(m_base);
    // A server left over from an interrupted run of the same test.
    (void)script("stop");
}

std::string TakTestMariaDb::defaultBase(const std::string& name) {
    const char* shared = std::getenv("TAK_TEST_DB_BASE");
    if (shared != nullptr && *shared != '\0') return std::string(shared) + "-" + name;
    return std::string(TAK_BINARY_DIR) + "/test-mariadb-" + name;
}

TakTestMariaDb::~TakTestMariaDb() {
    if (m_running) (void)stop();
}

bool TakTestMariaDb::script(const std::string& args) {
    std::string const command = "TAK_MARIADB_OPTS='" + m_serverOptions + "' '" + TAK_SOURCE_DIR +
                                "/scripts/mariadb.sh' " + args + " >'" + m_base +
                                "/script.log' 2>&1";
    return std::system(command.c_str()) == 0;
}

bool TakTestMariaDb::start() {
    if (m_port == 0) return false;
    m_running = script("start '" + m_base + "' " + std::to_string(m_port));
    return m_running;
}

bool TakTestMariaDb::stop() {
    bool const ok = script("stop '" + m_base + "'");
    m_running = false;
    return ok;
}

std::string TakTestMariaDb::output() const {
    std::ifstream in(m_base + "/script.log");
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
