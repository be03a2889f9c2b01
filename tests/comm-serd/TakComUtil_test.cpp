#include "comm-serd/TakComUtil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "support/TakTempDir.h"

namespace fs = std::filesystem;

TEST(TakComUtilTest, UuidIsShortLowerCaseHexAndFresh) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string const id = TakComUtil::generateUUID();
        EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{1,32}"))) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(TakComUtilTest, ModifyTimeInWholeSecondsAndZeroWhenUnknown) {
    EXPECT_EQ(TakComUtil::getFilemodifyTime(""), 0);
    TakTempDir dir;
    EXPECT_EQ(TakComUtil::getFilemodifyTime((dir.path() / "missing").string()), 0);

    fs::path const file = dir.writeFile("file", "x");
    timespec const times[2] = {{1700000000, 900000000}, {1700000000, 900000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(TakComUtil::getFilemodifyTime(file.string()), 1700000000);
}
