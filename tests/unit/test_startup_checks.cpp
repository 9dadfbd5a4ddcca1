#include "module/startup_checks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct VersionCase {
    const char* running;
    bool matches;
    const char* shown;
};

class VersionCheck : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionCheck, ComparesOnlyMajorAndMinor) {
    const VersionCase& c = GetParam();
    EXPECT_EQ(qv::version_matches("3.9", c.running), c.matches) << c.running;
    char shown[5];
    qv::short_running_version(c.running, shown);
    EXPECT_EQ(std::string(shown), c.shown);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionCheck,
                         testing::Values(VersionCase{"3.9.18 (main, May  9 2026)", true, "3.9"},
                                         VersionCase{"3.9.13", true, "3.9"},
                                         VersionCase{"3.9", true, "3.9"},
                                         VersionCase{"3.9a1", true, "3.9"},
                                         VersionCase{"3.10.4 (main)", false, "3.10"},
                                         VersionCase{"3.91", false, "3.91"},
                                         VersionCase{"3.8.18", false, "3.8"},
                                         VersionCase{"4.0.0", false, "4.0"},
                                         VersionCase{"", false, ""}));

}  // namespace
