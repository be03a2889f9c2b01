// The key cache pays the key derivation once per file version, never hides a vanished file,
// and hands one key to concurrent callers.

#include "comm-serd/protocol/TakServerKeyCache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "support/TakTempDir.h"
#include "support/TakTestShell.h"

namespace {

using Status = TakKeyFile::Status;

std::string pointOf(const TakSm2Key& key) {
    TakSm2Key::Point point{};
    EXPECT_TRUE(key.publicPoint(point));
    return TakTestShell::toHex(point.data(), point.size());
}

TEST(TakServerKeyCache, ReadsEachVersionOfTheFileOnce) {
    TakTempDir dir;
    const std::string path = dir.file("scert.dat");
    const TakSm2Key first = TakSm2Key::generate();
    ASSERT_TRUE(TakKeyFile::write(path, first));

    TakServerKeyCache cache;
    std::shared_ptr<const TakSm2Key> a, b;
    ASSERT_EQ(cache.get(path, a), Status::Ok);
    ASSERT_EQ(cache.get(path, b), Status::Ok);
    EXPECT_EQ(cache.loads(), 1u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(pointOf(*a), pointOf(first));

    // A new key written over it is picked up.
    const TakSm2Key second = TakSm2Key::generate();
    ASSERT_TRUE(TakKeyFile::write(path, second));
    ASSERT_EQ(cache.get(path, a), Status::Ok);
    EXPECT_EQ(cache.loads(), 2u);
    EXPECT_EQ(pointOf(*a), pointOf(second));
}

TEST(TakServerKeyCache, MissingFileIsReportedEveryTime) {
    TakTempDir dir;
    const std::string path = dir.file("scert.dat");
    TakServerKeyCache cache;
    std::shared_ptr<const TakSm2Key> key;
    EXPECT_EQ(cache.get(path, key), Status::NoFile);
    EXPECT_EQ(cache.get(path, key), Status::NoFile);

    ASSERT_TRUE(TakKeyFile::write(path, TakSm2Key::generate()));
    ASSERT_EQ(cache.get(path, key), Status::Ok);
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_EQ(cache.get(path, key), Status::NoFile);
    EXPECT_FALSE(key);
}

// A bad file is not derived again for every session either, until it changes.
TEST(TakServerKeyCache, BadFileVerdictIsKeptUntilTheFileChanges) {
    TakTempDir dir;
    const std::string path = dir.file("scert.dat");
    ASSERT_TRUE(TakKeyFile::write(path, TakSm2Key::generate(), "another pass phrase"));
    TakServerKeyCache cache;
    std::shared_ptr<const TakSm2Key> key;
    EXPECT_EQ(cache.get(path, key), Status::Undecryptable);
    EXPECT_EQ(cache.get(path, key), Status::Undecryptable);
    EXPECT_FALSE(key);
    EXPECT_EQ(cache.loads(), 1u);

    ASSERT_TRUE(TakKeyFile::write(path, TakSm2Key::generate()));
    EXPECT_EQ(cache.get(path, key), Status::Ok);
    EXPECT_TRUE(key);
}

TEST(TakServerKeyCache, ConcurrentCallersShareOneLoad) {
    TakTempDir dir;
    const std::string path = dir.file("scert.dat");
    ASSERT_TRUE(TakKeyFile::write(path, TakSm2Key::generate()));
    TakServerKeyCache cache;
    constexpr int kThreads = 8;
    std::vector<std::shared_ptr<const TakSm2Key>> keys(kThreads);
    std::vector<Status> statuses(kThreads, Status::NoFile);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] { statuses[i] = cache.get(path, keys[i]); });
        }
    }
    EXPECT_EQ(cache.loads(), 1u);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(statuses[i], Status::Ok);
        EXPECT_EQ(keys[i], keys[0]);
    }
}

}  // namespace
