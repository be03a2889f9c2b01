#include "comm-serd/TakAdminServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cstdio>
#include <ctime>
#include <exception>

#include "log/TakNanolog.h"

namespace {

// Requests are small and few: a pool of two threads, and connections that cannot hold a
// thread for long.
constexpr size_t kThreads = 2;
constexpr time_t kTimeoutSeconds = 5;
constexpr size_t kMaxRequestBody = 4096;

const char* const kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

// The length of the UTF-8 sequence that starts at text[i], or 0 when none does.
size_t utf8Length(const std::string& text, size_t i) {
    auto const byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char const c = byte(i);
    size_t length = 0;
    uint32_t min = 0;
    uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        min = 0x80;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        min = 0x800;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        min = 0x10000;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return length;
}

std::string isoTime(std::chrono::system_clock::time_point when) {
    std::time_t const t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    size_t const n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, n);
}

}  // namespace

TakAdminServer::TakAdminServer(std::string host, int port, std::vector<std::string> databases,
                               SessionLister sessions, TakMetrics& metrics)
    : m_host(std::move(host)),
      m_port(port),
      m_databases(std::move(databases)),
      m_sessions(std::move(sessions)),
      m_metrics(metrics) {}

TakAdminServer::~TakAdminServer() { stop(); }

std::string TakAdminServer::jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char const c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t const n = utf8Length(text, i)) {
            out.append(text, i, n);
            i += n;
        } else {
            out += "\\ufffd";  // a byte that starts no UTF-8 character
            ++i;
        }
    }
    return out + "\"";
}

std::string TakAdminServer::sessionsJson(const std::vector<STSessionInfo>& sessions,
                                         std::chrono::system_clock::time_point now) {
    std::string out = "[";
    for (size_t i = 0; i < sessions.size(); ++i) {
        const STSessionInfo& s = sessions[i];
        auto const seconds =
            std::chrono::duration_cast<std::chrono::seconds>(now - s.connectedSince).count();
        out += i == 0 ? "\n" : ",\n";
        out += "{\"mac\":" + jsonString(s.mac) + ",\"peer\":" + jsonString(s.peer) +
               ",\"connectedSince\":" + jsonString(isoTime(s.connectedSince)) +
               ",\"connectedSeconds\":" + std::to_string(seconds < 0 ? 0 : seconds) +
               ",\"keyExchanged\":" + (s.keyExchanged ? "true" : "false") +
               ",\"registered\":" + (s.registered ? "true" : "false") +
               ",\"authorized\":" + (s.authorized ? "true" : "false") + "}";
    }
    out += sessions.empty() ? "]\n" : "\n]\n";
    return out;
}

void TakAdminServer::routes() {
    m_server->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(m_metrics.render(), kMetricsType);
    });
    m_server->Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
        std::vector<std::string> const problems = m_metrics.healthProblems(m_databases);
        if (problems.empty()) {
            res.set_content("ok\n", "text/plain; charset=utf-8");
            return;
        }
        std::string body;
        for (const std::string& problem : problems) body += problem + "\n";
        res.status = 503;
        res.set_content(body, "text/plain; charset=utf-8");
    });
    m_server->Get("/sessions", [this](const httplib::Request&, httplib::Response& res) {
        std::vector<STSessionInfo> const sessions =
            m_sessions ? m_sessions() : std::vector<STSessionInfo>();
        res.set_content(sessionsJson(sessions, std::chrono::system_clock::now()),
                        "application/json");
    });
    m_server->set_exception_handler(
        [](const httplib::Request& req, httplib::Response& res, std::exception_ptr error) {
            std::string what = "unknown exception";
            try {
                if (error) std::rethrow_exception(error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            TAK_LOG_ERROR("admin endpoint request failed:" << req.path << what);
            res.status = 500;
            res.set_content("internal error\n", "text/plain; charset=utf-8");
        });
}

bool TakAdminServer::start() {
    if (m_server) return false;
    m_server = std::make_unique<httplib::Server>();
    m_server->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    m_server->set_read_timeout(kTimeoutSeconds, 0);
    m_server->set_write_timeout(kTimeoutSeconds, 0);
    m_server->set_keep_alive_timeout(kTimeoutSeconds);
    m_server->set_payload_max_length(kMaxRequestBody);
    // SO_REUSEADDR only (a restart binds while old connections linger): the library's default,
    // SO_REUSEPORT, would let a second process bind the same port and share the requests.
    m_server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    routes();

    // Bound here, on the caller's thread: a failure is known (and logged) before start returns.
    bool bound = false;
    if (m_port == 0) {
        int const port = m_server->bind_to_any_port(m_host);
        bound = port > 0;
        if (bound) m_boundPort = port;
    } else {
        bound = m_server->bind_to_port(m_host, m_port);
        if (bound) m_boundPort = m_port;
    }
    if (!bound) {
        TAK_LOG_ERROR("admin endpoint cannot listen, no metrics or health checks:"
                      << m_host << static_cast<int32_t>(m_port));
        m_server.reset();
        return false;
    }
    TAK_LOG_INFO("admin endpoint listen on:" << m_host << static_cast<int32_t>(m_boundPort));
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_cond.notify_all();
    });
    return true;
}

void TakAdminServer::stop() {
    if (!m_thread.joinable()) return;
    // A stop that comes before the listening loop has begun is not seen by it: repeat it until
    // the loop has returned.
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_finished) {
        m_server->stop();
        m_cond.wait_for(lock, std::chrono::milliseconds(20));
    }
    lock.unlock();
    m_thread.join();
    m_server.reset();
}
