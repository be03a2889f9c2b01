#include "comm-serd/TakMetricsText.h"

#include <gtest/gtest.h>

#include <string>

TEST(TakMetricsTextTest, FamiliesKeepTheirSamplesTogetherUnderOneHelpAndType) {
    TakMetricsText out;
    out.counter("a_total", "First.", 1, {{"table", "x"}});
    out.gauge("b", "Second.", -2);
    out.counter("a_total", "First.", 3, {{"table", "y"}, {"reason", "too_large"}});
    EXPECT_EQ(out.text(),
              "# HELP a_total First.\n"
              "# TYPE a_total counter\n"
              "a_total{table=\"x\"} 1\n"
              "a_total{table=\"y\",reason=\"too_large\"} 3\n"
              "# HELP b Second.\n"
              "# TYPE b gauge\n"
              "b -2\n");
}

TEST(TakMetricsTextTest, LabelValuesAndHelpAreEscaped) {
    TakMetricsText out;
    out.gauge("g", "Line one\\two\nthree.", 18446744073709551LL, {{"v", "a\"b\\c\nd"}});
    EXPECT_EQ(out.text(),
              "# HELP g Line one\\\\two\\nthree.\n"
              "# TYPE g gauge\n"
              "g{v=\"a\\\"b\\\\c\\nd\"} 18446744073709551\n");
    EXPECT_EQ(TakMetricsText::escapeLabelValue("plain"), "plain");
}

TEST(TakMetricsTextTest, EmptyBuilderWritesNothing) { EXPECT_EQ(TakMetricsText().text(), ""); }
