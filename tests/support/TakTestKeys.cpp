#include "support/TakTestKeys.h"

#include <stdexcept>

#include "comm-serd/protocol/TakKeyFile.h"
#include "support/TakTempDir.h"

const TakTestKeys& takTestKeys() {
    static const TakTempDir dir("tak-keys");
    static const TakTestKeys keys = [] {
        TakSm2Key key = TakSm2Key::generate();
        TakTestKeys out;
        out.keyFile = dir.path() / "scert.dat";
        if (key.empty() || !key.publicPoint(out.point) ||
            !TakKeyFile::write(out.keyFile.string(), key)) {
            throw std::runtime_error("cannot write the test key");
        }
        return out;
    }();
    return keys;
}
