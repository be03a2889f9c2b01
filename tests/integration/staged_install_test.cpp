// The installed layout, as `cmake --install build --prefix /usr` with DESTDIR stages it (the
// Debian package is made from the same rules): every file in its place, the unit naming the
// installed daemon, no server key, an edited configuration kept by a later install; then the
// staged daemon and tools, with the staged sample configuration pointed at the test's ports,
// log directory and database, serve an agent, answer healthy on the admin endpoint and stop in
// order.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TakDaemonProcess.h"
#include "support/TakEventually.h"
#include "support/TakTempDir.h"
#include "support/TakTestDb.h"
#include "support/TakTestShell.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Shell = TakTestShell;

namespace {

class StagedInstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_stage = std::make_unique<TakTempDir>("tak-stage");
        s_installStatus = install(s_stage->path(), s_installOutput);
    }
    // cmake --install of the build into stage, as root would run it for the package.
    static int install(const fs::path& stage, std::string& out) {
        return Shell::run("DESTDIR=" + Shell::quote(stage.string()) + " " +
                              Shell::quote(TAK_CMAKE_COMMAND) + " --install " +
                              Shell::quote(TAK_BINARY_DIR) + " --prefix /usr",
                          out, true);
    }
    static void TearDownTestSuite() { s_stage.reset(); }

    void SetUp() override { ASSERT_EQ(s_installStatus, 0) << s_installOutput; }

    static fs::path staged(const std::string& path) { return s_stage->path() / path; }

    static std::unique_ptr<TakTempDir> s_stage;
    static int s_installStatus;
    static std::string s_installOutput;
};

std::unique_ptr<TakTempDir> StagedInstallTest::s_stage;
int StagedInstallTest::s_installStatus = -1;
std::string StagedInstallTest::s_installOutput;

bool executable(const fs::path& file) {
    std::error_code ec;
    auto const p = fs::status(file, ec).permissions();
    return !ec && fs::is_regular_file(file, ec) && (p & fs::perms::owner_exec) != fs::perms::none;
}

}  // namespace

TEST_F(StagedInstallTest, EveryFileInItsPlaceAndNoKey) {
    for (const char* program : {"usr/sbin/comm-serd", "usr/bin/tak-keygen", "usr/bin/tak-console",
                                "usr/bin/tak-agent-sim", "usr/share/comm-serd/comm-serd-setup"}) {
        EXPECT_TRUE(executable(staged(program))) << program;
    }
    for (const char* file :
         {"etc/comm-serd/config/config.ini", "usr/share/comm-serd/schema.sql",
          "usr/share/doc/comm-serd/README.md", "usr/share/doc/comm-serd/operating.md",
          "usr/share/doc/comm-serd/threads-and-locks.md",
          "usr/lib/systemd/system/comm-serd.service"}) {
        EXPECT_TRUE(fs::is_regular_file(staged(file))) << file;
    }
    EXPECT_TRUE(fs::is_directory(staged("var/log/taksecSerd")));
    // The configuration holds the database password: not for every user to read.
    struct stat st {};
    ASSERT_EQ(stat(staged("etc/comm-serd/config/config.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // The key is made on the host where the package is installed, never shipped.
    for (const auto& entry : fs::recursive_directory_iterator(s_stage->path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("scert", 0), std::string::npos)
            << entry.path();
    }

    // The unit and the set-up script name the programs where this prefix put them.
    std::string const unit =
        Shell::readFile(staged("usr/lib/systemd/system/comm-serd.service").string());
    EXPECT_NE(unit.find("\nExecStart=/usr/sbin/comm-serd --config /etc/comm-serd/config\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("\nUser=comm-serd\n"), std::string::npos);
    EXPECT_NE(unit.find("\nDocumentation=file:/usr/share/doc/comm-serd/operating.md\n"),
              std::string::npos);
    std::string const setup =
        Shell::readFile(staged("usr/share/comm-serd/comm-serd-setup").string());
    EXPECT_NE(setup.find("\nkeygen=/usr/bin/tak-keygen\n"), std::string::npos) << setup;
    std::string out;
    EXPECT_EQ(
        Shell::run("sh -n " + Shell::quote(staged("usr/share/comm-serd/comm-serd-setup").string()),
                   out, true),
        0)
        << out;
}

TEST_F(StagedInstallTest, AnInstallOverAnEditedConfigurationKeepsIt) {
    TakTempDir stage("tak-restage");
    std::string out;
    ASSERT_EQ(install(stage.path(), out), 0) << out;
    std::string const config = (stage.path() / "etc/comm-serd/config/config.ini").string();
    std::string const sample = Shell::readFile(config);
    std::string const edited = sample + "[Rpc]\nPort = 7411\n";
    Shell::writeFile(config, edited);

    ASSERT_EQ(install(stage.path(), out), 0) << out;
    EXPECT_EQ(Shell::readFile(config), edited);
    EXPECT_EQ(Shell::readFile(config + ".dist"), sample);
}

TEST_F(StagedInstallTest, UnitPassesSystemdAnalyzeVerify) {
    std::string out;
    if (Shell::run("command -v systemd-analyze", out) != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed here: the unit is not verified";
    }
    // The installed unit as it is, except that it starts the staged daemon: verify checks that
    // the program exists and is executable. (With --root it would want a whole system's units.)
    std::string unit = Shell::readFile(staged("usr/lib/systemd/system/comm-serd.service").string());
    std::string const exec = "\nExecStart=/usr/sbin/comm-serd ";
    size_t const at = unit.find(exec);
    ASSERT_NE(at, std::string::npos) << unit;
    unit.replace(at, exec.size(), "\nExecStart=" + staged("usr/sbin/comm-serd").string() + " ");
    TakTempDir dir("tak-unit");
    Shell::writeFile(dir.file("comm-serd.service"), unit);
    int const status =
        Shell::run("systemd-analyze verify --man=no " + Shell::quote(dir.file("comm-serd.service")),
                   out, true);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "") << "systemd-analyze has remarks on the unit";
}

TEST_F(StagedInstallTest, StagedDaemonServesAnAgentAndStopsInOrder) {
    TakTestDb db;
    ASSERT_TRUE(db.connected()) << db.error();
    ASSERT_TRUE(db.exec("delete from asset_auth_record where macAddr = 'staged:01'")) << db.error();

    fs::path const configDir = staged("etc/comm-serd/config");
    fs::path const logDir = staged("var/log/taksecSerd");
    std::string out;
    ASSERT_EQ(Shell::run(Shell::quote(staged("usr/bin/tak-keygen").string()) + " --dir " +
                             Shell::quote(configDir.string()),
                         out, true),
              0)
        << out;

    // The staged sample configuration, with the test's ports, log directory and database port.
    TakDaemonProcess::Options options;
    options.program = staged("usr/sbin/comm-serd");
    options.configDir = configDir;
    options.config = {{"Log", "Dir", logDir.string() + "/"}};
    TakDaemonProcess daemon(options);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(daemon.waitForOutput("\nserver listen on port:")) << daemon.standardError();
    ASSERT_TRUE(daemon.waitForOutput("rpc server listen on port:")) << daemon.standardOutput();
    // The operators' endpoint answers healthy once both database connections are up.
    httplib::Client admin("127.0.0.1", daemon.adminPort());
    admin.set_connection_timeout(2, 0);
    EXPECT_TRUE(takEventually(
        [&] {
            auto res = admin.Get("/healthz");
            return res && res->status == 200 && res->body == "ok\n";
        },
        20s, 20ms))
        << daemon.standardOutput();

    ASSERT_EQ(Shell::run(Shell::quote(staged("usr/bin/tak-agent-sim").string()) + " --port " +
                             std::to_string(daemon.agentPort()) + " --server-key " +
                             Shell::quote((configDir / "scert-pub.hex").string()) +
                             " --mac staged:01 --lines 3 upload",
                         out, true),
              0)
        << out << daemon.standardOutput();
    EXPECT_TRUE(takEventually(
        [&] {
            return db.number(
                       "select count(*) from asset_auth_record where macAddr = "
                       "'staged:01'") == 1;
        },
        10s, 20ms))
        << daemon.standardOutput();

    ASSERT_TRUE(daemon.sendSignal(SIGTERM));
    auto const status = daemon.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << "still running 30 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << daemon.standardError();
    // The staged log directory holds the run's log, to its last record.
    ASSERT_FALSE(daemon.logFiles().empty());
    EXPECT_EQ(daemon.logFiles().front().parent_path(), logDir);
    EXPECT_NE(daemon.logText().find("comm-serd stopped"), std::string::npos) << daemon.logText();
}
