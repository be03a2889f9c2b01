// tak-keygen writes a key file the server reads, the matching public key in both forms, and
// never replaces an existing key unless told to.

#include <gtest/gtest.h>

#include <string>

#include "comm-serd/protocol/TakKeyFile.h"
#include "support/TakTempDir.h"
#include "support/TakTestShell.h"

namespace {

using Shell = TakTestShell;

const std::string kTool = std::string(TAK_BIN_DIR) + "/tak-keygen";

std::string pointHexOf(const std::string& keyFile) {
    TakSm2Key key;
    EXPECT_EQ(TakKeyFile::read(keyFile, key), TakKeyFile::Status::Ok);
    TakSm2Key::Point point{};
    EXPECT_TRUE(key.publicPoint(point));
    return Shell::toHex(point.data(), point.size());
}

TEST(TakKeygen, WritesKeyAndPublicKeyAndKeepsAnExistingKey) {
    TakTempDir dir;
    const std::string keyDir = dir.file("config");
    std::string out;
    ASSERT_EQ(Shell::run(kTool + " --dir " + keyDir, out, true), 0) << out;
    EXPECT_NE(out.find("scert.dat"), std::string::npos) << out;

    const std::string point = pointHexOf(keyDir + "/scert.dat");
    EXPECT_EQ(Shell::readFile(keyDir + "/scert-pub.hex"), point + "\n");
    ASSERT_EQ(Shell::run("openssl pkey -pubin -in " + keyDir + "/scert-pub.pem -text -noout", out),
              0);
    const size_t from = out.find("pub:") + 4;
    EXPECT_EQ(Shell::toHex(Shell::fromHex(out.substr(from, out.find("ASN1 OID") - from))),
              "04" + point);

    const std::string before = Shell::readFile(keyDir + "/scert.dat");
    EXPECT_EQ(Shell::run(kTool + " --dir " + keyDir, out, true), 1) << out;
    EXPECT_EQ(Shell::readFile(keyDir + "/scert.dat"), before);

    ASSERT_EQ(Shell::run(kTool + " --dir " + keyDir + " --force", out, true), 0) << out;
    EXPECT_NE(pointHexOf(keyDir + "/scert.dat"), point);
    EXPECT_EQ(Shell::readFile(keyDir + "/scert-pub.hex"), pointHexOf(keyDir + "/scert.dat") + "\n");

    EXPECT_EQ(Shell::run(kTool, out, true), 2);  // no --dir
}

}  // namespace
