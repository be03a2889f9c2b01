#include "log/TakNanolog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/TakNanoLogger.h"
#include "support/TakLogState.h"
#include "support/TakTempDir.h"

using TakNanolog::LogLevel;

namespace {

class TakNanologTest : public testing::Test {
protected:
    void SetUp() override {
        TakNanolog::m_callback = [this](std::string text) { m_echoed.push_back(std::move(text)); };
    }

    TakLogState m_state;
    std::vector<std::string> m_echoed;
};

}  // namespace

TEST_F(TakNanologTest, ThresholdDecidesWhichLevelsPass) {
    // INFO is 0 and DEBUG 1: whatever lets INFO through lets DEBUG through.
    const LogLevel levels[] = {LogLevel::INFO, LogLevel::DEBUG, LogLevel::WARN, LogLevel::ERROR};
    for (uint32_t threshold = 0; threshold <= 4; ++threshold) {
        TakNanolog::loglevel.store(threshold);
        for (LogLevel level : levels) {
            EXPECT_EQ(TakNanolog::is_logged(level), static_cast<uint32_t>(level) >= threshold)
                << "threshold " << threshold << " level " << int(level);
        }
    }
}

TEST_F(TakNanologTest, ConfiguredLevelKeepsItselfAndTheMoreSevereLevels) {
    // By severity DEBUG < INFO < WARN < ERROR, unlike the numbers (INFO 0, DEBUG 1).
    struct Case {
        LogLevel least;
        std::vector<LogLevel> kept;
    };
    const std::vector<Case> cases = {
        {LogLevel::DEBUG, {LogLevel::INFO, LogLevel::DEBUG, LogLevel::WARN, LogLevel::ERROR}},
        {LogLevel::INFO, {LogLevel::INFO, LogLevel::WARN, LogLevel::ERROR}},
        {LogLevel::WARN, {LogLevel::WARN, LogLevel::ERROR}},
        {LogLevel::ERROR, {LogLevel::ERROR}},
    };
    const LogLevel all[] = {LogLevel::INFO, LogLevel::DEBUG, LogLevel::WARN, LogLevel::ERROR};
    for (const auto& c : cases) {
        TakNanolog::setLevel(c.least);
        for (LogLevel level : all) {
            bool const kept = std::find(c.kept.begin(), c.kept.end(), level) != c.kept.end();
            EXPECT_EQ(TakNanolog::is_logged(level), kept)
                << "configured " << int(c.least) << ", record " << int(level);
        }
        // A record of a level outside the four is the most severe.
        EXPECT_TRUE(TakNanolog::levelPasses(7)) << "configured " << int(c.least);
    }
    // The statements and the queue follow it: a DEBUG record under INFO is neither evaluated nor
    // echoed.
    TakNanolog::setLevel(LogLevel::INFO);
    int evaluated = 0;
    TAK_LOG_DEBUG("debug" << ++evaluated);
    TAK_LOG_INFO("info" << ++evaluated);
    EXPECT_EQ(evaluated, 1);
    ASSERT_EQ(m_echoed.size(), 1u);
    EXPECT_NE(m_echoed[0].find("\ninfo 1 \n\n"), std::string::npos);
}

TEST_F(TakNanologTest, StatementsBelowTheThresholdDoNotEvaluateTheirArguments) {
    int evaluated = 0;
    auto value = [&evaluated] { return int32_t{++evaluated}; };
    TakNanolog::loglevel.store(2);
    TAK_LOG_INFO("info" << value());
    TAK_LOG_DEBUG("debug" << value());
    TAK_LOG_WARN("warn" << value());
    TAK_LOG_ERROR("error" << value());

    EXPECT_EQ(evaluated, 2);
    ASSERT_EQ(m_echoed.size(), 2u);
    EXPECT_NE(m_echoed[0].find("[WARN]"), std::string::npos);
    EXPECT_NE(m_echoed[0].find("\nwarn 1 \n\n"), std::string::npos);
    EXPECT_NE(m_echoed[1].find("[ERROR]"), std::string::npos);
    EXPECT_NE(m_echoed[1].find("\nerror 2 \n\n"), std::string::npos);
}

TEST_F(TakNanologTest, StatementNamesItsSourceFileFunctionAndLine) {
    auto inLambda = [] { TAK_LOG_INFO("from a lambda"); };
    inLambda();
    unsigned const line = __LINE__ - 2;
    ASSERT_EQ(m_echoed.size(), 1u);
    std::string const where =
        std::string(__FILE__) + ":operator():" + std::to_string(line) + "行]\n";
    EXPECT_NE(m_echoed[0].find(where), std::string::npos) << m_echoed[0];
}

TEST_F(TakNanologTest, WithoutAFileLoggerRecordsAreEchoedAndDropped) {
    ASSERT_EQ(TakNanolog::atomic_nanologger.load(), nullptr);
    TAK_LOG_INFO("before the logger exists" << 1);
    ASSERT_EQ(m_echoed.size(), 1u);
}

TEST_F(TakNanologTest, SubmitQueuesOnlyRecordsAtOrAboveTheThreshold) {
    TakTempDir dir;
    TakLogState::setWriterConfig(0, 10, 30);
    TakNanolog::nanologger = std::make_unique<TakNanolog::NanoLogger>(
        TakNanolog::GuaranteedLogger(), dir.dirWithSlash(), "submit.log", 5);
    TakNanolog::atomic_nanologger.store(TakNanolog::nanologger.get());
    std::string const file = TakNanolog::nanologger->currentFileName();

    TakNanolog::loglevel.store(2);
    // Records built by hand pass the statement's own level test.
    TakNanolog::TakNanoLogLine info(LogLevel::INFO, __FILE__, __func__, __LINE__);
    info << "below";
    (void)(TakNanolog::NanoLog() == info);
    TakNanolog::TakNanoLogLine warn(LogLevel::WARN, __FILE__, __func__, __LINE__);
    warn << "at";
    std::string const warnText = warn.getLineLogInfo();
    (void)(TakNanolog::NanoLog() == warn);
    TakLogState::dropLogger();

    // The echo comes first and sees every submitted record; the file only what passes.
    ASSERT_EQ(m_echoed.size(), 2u);
    EXPECT_EQ(m_echoed[1], warnText);
    EXPECT_EQ(TakTempDir::readFile(file), warnText);
}
