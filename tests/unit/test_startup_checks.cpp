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

struct ReleaseCase {
    const char* running;
    bool same;
};

class ReleaseCheck : public testing::TestWithParam<ReleaseCase> {};

// The internal layout is trusted on the built release only: no other patch
// release, no release that merely begins with the same characters.
TEST_P(ReleaseCheck, ComparesTheWholeRelease) {
    const ReleaseCase& c = GetParam();
    EXPECT_EQ(qv::same_release("3.9.18", c.running), c.same) << c.running;
}

INSTANTIATE_TEST_SUITE_P(Releases, ReleaseCheck,
                         testing::Values(ReleaseCase{"3.9.18 (main, May  9 2026)", true},
                                         ReleaseCase{"3.9.18", true},
                                         ReleaseCase{"3.9.3 (main)", false},
                                         ReleaseCase{"3.9.1 (main)", false},
                                         ReleaseCase{"3.9.180 (main)", false},
                                         ReleaseCase{"3.9.18+ (heads/3.9)", false},
                                         ReleaseCase{"3.9.1", false},
                                         ReleaseCase{"3.10.18", false},
                                         ReleaseCase{"", false}));

TEST(ReleaseCheck, LengthStopsAtTheFirstBlank) {
    EXPECT_EQ(qv::release_length("3.9.3 (main, ...)"), 5);
    EXPECT_EQ(qv::release_length("3.9.18+"), 7);
    EXPECT_EQ(qv::release_length(""), 0);
}

}  // namespace
