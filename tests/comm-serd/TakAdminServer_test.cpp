#include "comm-serd/TakAdminServer.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

std::chrono::system_clock::time_point at(long long seconds) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
}

}  // namespace

TEST(TakAdminServerTest, JsonStringsAreEscapedAndAlwaysUtf8) {
    struct Case {
        std::string text;
        std::string json;
    };
    const std::vector<Case> cases = {
        {"aa:bb:cc", "\"aa:bb:cc\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("nl\n tab\t nul\0 del\x7f", 18),
         "\"nl\\u000a tab\\u0009 nul\\u0000 del\\u007f\""},
        {"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\""},
        {"\xff", "\"\\ufffd\""},                        // never a UTF-8 byte
        {"a\xc3", "\"a\\ufffd\""},                      // cut short at the end
        {"\xc3(", "\"\\ufffd(\""},                      // a lead byte without its continuation
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},             // overlong "/"
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
        {"", "\"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(TakAdminServer::jsonString(c.text), c.json);
    }
}

TEST(TakAdminServerTest, SessionsJson) {
    EXPECT_EQ(TakAdminServer::sessionsJson({}, at(0)), "[]\n");
    STSessionInfo registered{"aa:01", "10.0.0.1:5000", at(1796900000), true, true, true};
    STSessionInfo fresh{"", "10.0.0.2:5001", at(1796900090), false, false, false};
    EXPECT_EQ(TakAdminServer::sessionsJson({registered, fresh}, at(1796900100)),
              "[\n"
              "{\"mac\":\"aa:01\",\"peer\":\"10.0.0.1:5000\",\"connectedSince\":"
              "\"2026-12-10T10:53:20Z\",\"connectedSeconds\":100,\"keyExchanged\":true,"
              "\"registered\":true,\"authorized\":true},\n"
              "{\"mac\":\"\",\"peer\":\"10.0.0.2:5001\",\"connectedSince\":"
              "\"2026-12-10T10:54:50Z\",\"connectedSeconds\":10,\"keyExchanged\":false,"
              "\"registered\":false,\"authorized\":false}\n"
              "]\n");
}

TEST(TakAdminServerTest, ServesMetricsHealthAndSessionsUntilStopped) {
    TakMetrics& metrics = TakMetrics::instance();
    std::vector<STSessionInfo> sessions = {
        {"mac\"1", "127.0.0.1:1", std::chrono::system_clock::now(), true, true, true}};
    TakAdminServer server("127.0.0.1", 0, {"admin_test_db"}, [&] { return sessions; });
    ASSERT_TRUE(server.start());
    ASSERT_GT(server.port(), 0);
    httplib::Client client("127.0.0.1", server.port());

    metrics.hostQueries.add();
    auto res = client.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(res->body.find("# TYPE commserd_host_queries_total counter\n"
                             "commserd_host_queries_total " +
                             std::to_string(metrics.hostQueries.get()) + "\n"),
              std::string::npos)
        << res->body;

    // Unhealthy, with every reason, until the database is up and both listeners listen.
    metrics.agentListenerUp.set(1);
    metrics.consoleListenerUp.set(0);
    metrics.database("admin_test_db").up.set(0);
    res = client.Get("/healthz");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_EQ(res->body,
              "database admin_test_db is not connected\nthe console listener is not listening\n");
    metrics.consoleListenerUp.set(1);
    metrics.database("admin_test_db").up.set(1);
    res = client.Get("/healthz");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "ok\n");

    res = client.Get("/sessions");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_NE(res->body.find("{\"mac\":\"mac\\\"1\",\"peer\":\"127.0.0.1:1\""), std::string::npos)
        << res->body;
    res = client.Get("/nothing");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);

    // A second server cannot take the same port: it says so and serves nothing.
    TakAdminServer second("127.0.0.1", server.port(), {}, nullptr);
    EXPECT_FALSE(second.start());

    server.stop();
    httplib::Client after("127.0.0.1", server.port());
    after.set_connection_timeout(1, 0);
    EXPECT_FALSE(after.Get("/healthz"));
    metrics.agentListenerUp.set(0);
    metrics.consoleListenerUp.set(0);
}

TEST(TakAdminServerTest, StopRightAfterStartEndsTheServer) {
    // The stop may come before the listening loop has begun; it must still end it.
    for (int i = 0; i < 20; ++i) {
        TakAdminServer server("127.0.0.1", 0, {}, nullptr);
        ASSERT_TRUE(server.start());
        server.stop();
    }
}
