#include "model/UpdateKind.hpp"

#include <gtest/gtest.h>

#include "model/VersionRules.hpp"

namespace vt {
namespace {

TEST(UpdateKindTest, TheFirstComponentThatChangesDecides) {
    struct Case {
        const char* installed;
        const char* latest;
        UpdateKind expected;
    };
    const Case cases[] = {
        {"1.9.3", "2.0.0", UpdateKind::Major},   {"v1.2", "v3", UpdateKind::Major},
        {"1.2.3", "1.3.0", UpdateKind::Minor},   {"1.2", "1.10", UpdateKind::Minor},
        {"1.2.3", "1.2.4", UpdateKind::Patch},   {"1.2", "1.2.1", UpdateKind::Patch},
        {"1.2.3.4", "1.2.3.5", UpdateKind::Patch},
        // Below 1.0 the second component is the major one; a third still is a patch.
        {"0.3.1", "0.4.0", UpdateKind::Major},   {"0.3.1", "0.3.2", UpdateKind::Patch},
        {"0.9", "1.0", UpdateKind::Major},
        // Nothing numeric moved: a pre-release becoming the release, a build suffix.
        {"2.0-rc1", "2.0", UpdateKind::Other},   {"1.0+build5", "1.0+build7", UpdateKind::Other},
        {"nightly", "1.0", UpdateKind::Other},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classifyUpdate(c.installed, c.latest, false), c.expected) << c.installed << " -> " << c.latest;
    }
    // Whatever its size, a security update counts as one; an update of unknown version is Other.
    EXPECT_EQ(classifyUpdate("1.0", "2.0", true), UpdateKind::Security);
    EXPECT_EQ(classifyUpdate("1.0", kUpdateAvailableSentinel, false), UpdateKind::Other);
}

TEST(UpdateKindTest, DebianVersionsAreReadWithoutTheirEpoch) {
    // Read as ours, "1:2.66" would make the epoch the major component.
    EXPECT_EQ(classifyUpdate("1:2.66-4+deb12u2+b2", "1:2.67-1", false, true), UpdateKind::Minor);
    EXPECT_EQ(classifyUpdate("2.36-9+deb12u4", "2.36-9+deb12u7", false, true), UpdateKind::Other);
    EXPECT_EQ(classifyUpdate("5.2.15-2+b8", "5.2.16-1", false, true), UpdateKind::Patch);
    // An epoch that moves says the numbers are not comparable.
    EXPECT_EQ(classifyUpdate("3.0-1", "1:1.0-1", false, true), UpdateKind::Other);
}

}  // namespace
}  // namespace vt
