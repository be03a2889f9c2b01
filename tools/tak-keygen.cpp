// Makes the server's long-term SM2 key:
//   tak-keygen --dir DIR [--force]
// writes DIR/scert.dat (the encrypted private key the server reads), DIR/scert-pub.pem (the
// public key, PEM) and DIR/scert-pub.hex (the 64 raw point bytes x||y in hexadecimal, the form
// agents check the key offer against). An existing scert.dat is kept unless --force is given.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "comm-serd/TakCommandLine.h"
#include "comm-serd/protocol/TakKeyFile.h"
#include "comm-serd/protocol/TakSm2Key.h"

namespace {

const char* const kUsage =
    "usage: tak-keygen --dir DIR [--force]\n"
    "Makes a new long-term SM2 server key for comm-serd:\n"
    "  DIR/scert.dat      the encrypted private key the daemon reads (mode 0600)\n"
    "  DIR/scert-pub.pem  its public key, PEM\n"
    "  DIR/scert-pub.hex  the 64 public point bytes x||y in hexadecimal, for the agents\n"
    "\n"
    "options:\n"
    "  --dir DIR    where to write the files (created when missing)\n"
    "  --force      replace an existing DIR/scert.dat (agents that know the old public key\n"
    "               will refuse the new one)\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "An existing key is never replaced without --force (exit status 1).\n";

bool writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

std::string hex(const unsigned char* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xf]);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    bool force = false;
    TakCommandLine commandLine("tak-keygen", kUsage);
    commandLine.text("--dir", &dir).flag("--force", &force);
    if (auto const status = commandLine.parse(argc, argv)) return *status;
    if (!commandLine.positional().empty()) {
        return commandLine.fail("unexpected argument '" + commandLine.positional().front() + "'");
    }
    if (dir.empty()) return commandLine.fail("--dir DIR is required");

    const std::filesystem::path base(dir);
    const std::filesystem::path keyPath = base / "scert.dat";
    const std::filesystem::path pemPath = base / "scert-pub.pem";
    const std::filesystem::path hexPath = base / "scert-pub.hex";
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    if (ec) {
        std::fprintf(stderr, "tak-keygen: cannot create %s: %s\n", dir.c_str(),
                     ec.message().c_str());
        return 1;
    }
    if (!force && std::filesystem::exists(keyPath, ec)) {
        std::fprintf(stderr, "tak-keygen: %s exists; use --force to replace it\n", keyPath.c_str());
        return 1;
    }

    const TakSm2Key key = TakSm2Key::generate();
    TakSm2Key::Point point{};
    std::string pem;
    if (key.empty() || !key.publicPoint(point) || !key.publicKeyPem(pem)) {
        std::fprintf(stderr, "tak-keygen: SM2 key generation failed\n");
        return 1;
    }
    if (!TakKeyFile::write(keyPath.string(), key)) {
        std::fprintf(stderr, "tak-keygen: cannot write %s\n", keyPath.c_str());
        return 1;
    }
    std::printf("wrote %s (encrypted SM2 private key)\n", keyPath.c_str());
    if (!writeText(pemPath, pem)) {
        std::fprintf(stderr, "tak-keygen: cannot write %s\n", pemPath.c_str());
        return 1;
    }
    std::printf("wrote %s (public key, PEM)\n", pemPath.c_str());
    const std::string pointHex = hex(point.data(), point.size());
    if (!writeText(hexPath, pointHex + "\n")) {
        std::fprintf(stderr, "tak-keygen: cannot write %s\n", hexPath.c_str());
        return 1;
    }
    std::printf("wrote %s (public point x||y: %s)\n", hexPath.c_str(), pointHex.c_str());
    return 0;
}
