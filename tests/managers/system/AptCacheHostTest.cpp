// apt's own cache read in-process, against apt's own commands on a private apt root
// (tests/support/AptRoot): the same upgrades, candidates, pins, holds and security origins.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "managers/system/AptCache.hpp"
#include "managers/system/AptManager.hpp"
#include "support/Thrown.hpp"
#include "support/AptRoot.hpp"
#include "support/ScopedEnvironment.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using testing::AptRoot;

std::map<std::string, AptRoot::Upgrade> upgradesOf(const AptCache::Reading& reading) {
    std::map<std::string, AptRoot::Upgrade> upgrades;
    for (const AptCache::Upgrade& upgrade : reading.upgrades) {
        upgrades[upgrade.name] = {upgrade.installed, upgrade.candidate, upgrade.isSecurity};
    }
    return upgrades;
}

class AptCacheHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!AptCache::isAvailable()) GTEST_SKIP() << "built without Debian's apt library";
        ASSERT_FALSE(root.setupFailure()) << *root.setupFailure();
    }
    AptRoot root;
};

TEST_F(AptCacheHostTest, ReadsWhatAptItselfWouldUpgrade) {
    const std::map<std::string, AptRoot::Upgrade> simulated = AptRoot::simulatedUpgrade(&root);
    std::map<std::string, AptRoot::Upgrade> listed = AptRoot::aptList(&root);
    ASSERT_EQ(simulated.size(), 5u);  // the root's five upgrades: apt's tools see them too

    testing::ScopedEnvironment config("APT_CONFIG", root.configFile().c_str());
    AptCache::Reading reading = AptCache::read({});
    ASSERT_FALSE(reading.failure) << *reading.failure;
    // dist-upgrade keeps the held package back; `apt list --upgradable` names it.
    EXPECT_EQ(upgradesOf(reading), simulated);
    ASSERT_EQ(reading.held.size(), 1u);
    EXPECT_EQ(reading.held[0].name, "held");
    listed.erase("held");
    EXPECT_EQ(upgradesOf(reading), listed);
    // The pin keeps `pinned` at 1.0-1, so it is no upgrade at all.
    EXPECT_FALSE(upgradesOf(reading).count("pinned"));
    for (const AptCache::Upgrade& upgrade : reading.upgrades) {
        ASSERT_FALSE(upgrade.archives.empty()) << upgrade.name;
        EXPECT_EQ(upgrade.archives.front(), upgrade.isSecurity ? "VT-Security:12/stable-security" : "VT:12/stable");
        // As a fleet's apt collector names them: origin, codename and suite, and the architecture.
        EXPECT_EQ(upgrade.origins, std::vector<std::string>{upgrade.isSecurity ? "VT:bookworm-security/stable-security"
                                                                               : "VT:bookworm/stable"});
        EXPECT_EQ(upgrade.architecture, "all");
    }
    EXPECT_EQ(reading.held[0].origins, std::vector<std::string>{"VT:bookworm/stable"});
}

TEST_F(AptCacheHostTest, EachReadTakesTheConfigurationAfresh) {
    {
        testing::ScopedEnvironment config("APT_CONFIG", root.configFile().c_str());
        ASSERT_EQ(AptCache::read({}).upgrades.size(), 5u);
    }
    // A second root where `plain` is not installed: nothing of the first read is kept.
    AptRoot other;
    ASSERT_FALSE(other.setupFailure());
    std::string status;
    {
        std::ifstream in(other.path() + "/var/lib/dpkg/status");
        status.assign(std::istreambuf_iterator<char>(in), {});
    }
    // `plain`, the first entry, is removed: no upgrade of it. (The file's size changes too:
    // apt trusts its cache while the status file's size and second hold.)
    const std::size_t end = status.find("\n\n");
    ASSERT_NE(end, std::string::npos);
    ASSERT_EQ(status.rfind("Package: plain", 0), 0u);
    status.erase(0, end + 2);
    std::ofstream(other.path() + "/var/lib/dpkg/status") << status;
    testing::ScopedEnvironment config("APT_CONFIG", other.configFile().c_str());
    AptCache::Reading reading = AptCache::read({});
    EXPECT_EQ(reading.upgrades.size(), 4u);
    EXPECT_FALSE(upgradesOf(reading).count("plain"));
    EXPECT_EQ(upgradesOf(reading), AptRoot::simulatedUpgrade(&other));
}

// After `apt update`, apt's own binary cache of the lists is newer than ours: it is read where
// it is. Once the lists no longer match it, ours is built anew, and apt's is never written.
TEST_F(AptCacheHostTest, AptsOwnCacheOfTheListsIsReadInPlaceAndNeverWritten) {
    namespace fs = std::filesystem;
    const std::string system = root.path() + "/var/cache/apt/srcpkgcache.bin";
    ASSERT_TRUE(fs::is_regular_file(system)) << "apt-get update in the root keeps its cache there";
    const std::string folder = root.path() + "/vantreel-cache";
    const std::string ours = folder + "/srcpkgcache.bin";
    testing::ScopedEnvironment config("APT_CONFIG", root.configFile().c_str());
    auto contents = [](const std::string& path) { return readFile(path).value_or(""); };

    ASSERT_EQ(AptCache::read({}, folder).upgrades.size(), 5u);
    ASSERT_TRUE(fs::is_symlink(ours));
    EXPECT_EQ(fs::read_symlink(ours), system);

    // A list changes and apt's cache is not rebuilt: the answer follows the list.
    std::string list;
    for (const auto& entry : fs::directory_iterator(root.path() + "/var/lib/apt/lists")) {
        if (entry.path().string().ends_with("_stable_main_binary-all_Packages")) list = entry.path();
    }
    ASSERT_FALSE(list.empty());
    std::string packages = contents(list);
    const std::size_t at = packages.find("Package: plain\nVersion: 1.1-1\n");
    ASSERT_NE(at, std::string::npos) << packages;
    packages.replace(at, 30, "Package: plain\nVersion: 1.2-10\n");
    std::ofstream(list, std::ios::binary | std::ios::trunc) << packages;
    const std::string systemBefore = contents(system);
    const fs::file_time_type systemTime = fs::last_write_time(system);

    AptCache::Reading reading = AptCache::read({}, folder);
    EXPECT_EQ(upgradesOf(reading).at("plain").candidate, "1.2-10");
    EXPECT_FALSE(fs::is_symlink(ours));
    EXPECT_TRUE(fs::is_regular_file(ours));
    EXPECT_EQ(contents(system), systemBefore);
    EXPECT_EQ(fs::last_write_time(system), systemTime);

    // apt itself rebuilds its cache when it next reads the lists: it is ours again.
    EXPECT_EQ(AptRoot::simulatedUpgrade(&root).at("plain").candidate, "1.2-10");
    ASSERT_GT(fs::last_write_time(system), systemTime);
    reading = AptCache::read({}, folder);
    EXPECT_EQ(upgradesOf(reading).at("plain").candidate, "1.2-10");
    EXPECT_TRUE(fs::is_symlink(ours));
}

// Each question to dpkg is a child process: a read asks it for the architectures once more
// than apt's start-up does, not at each use apt makes of them.
TEST_F(AptCacheHostTest, DpkgIsAskedForTheArchitecturesOnceARead) {
    const std::string calls = root.path() + "/dpkg-calls";
    const std::string wrapper = root.path() + "/dpkg";
    std::ofstream(wrapper) << "#!/bin/sh\necho \"$*\" >> " << calls << "\nexec /usr/bin/dpkg \"$@\"\n";
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    std::ofstream(root.configFile(), std::ios::app) << "Dir::Bin::dpkg \"" << wrapper << "\";\n";
    testing::ScopedEnvironment config("APT_CONFIG", root.configFile().c_str());
    auto questions = [&] {
        std::ifstream in(calls);
        std::size_t count = 0;
        for (std::string line; std::getline(in, line);) count += line == "--print-foreign-architectures" ? 1 : 0;
        return count;
    };
    const std::map<std::string, AptRoot::Upgrade> simulated = AptRoot::simulatedUpgrade(&root);
    // No cache of the lists anywhere: each read builds one, as the first scan after an update.
    std::filesystem::remove(root.path() + "/var/cache/apt/srcpkgcache.bin");
    std::filesystem::remove(root.path() + "/var/cache/apt/pkgcache.bin");
    for (int read = 1; read <= 2; ++read) {
        std::filesystem::remove(calls);  // apt-get's, or the last read's
        const std::string folder = root.path() + "/vantreel-cache-" + std::to_string(read);
        EXPECT_EQ(upgradesOf(AptCache::read({}, folder)), simulated);
        EXPECT_LE(questions(), 2u) << "read " << read;
        EXPECT_GE(questions(), 1u) << "each read asks afresh";
    }
}

TEST_F(AptCacheHostTest, ABrokenSourcesListIsAFailureWithAptsOwnWords) {
    std::ofstream(root.path() + "/etc/apt/sources.list", std::ios::app) << "deb\n";
    testing::ScopedEnvironment config("APT_CONFIG", root.configFile().c_str());
    AptCache::Reading reading = AptCache::read({});
    ASSERT_TRUE(reading.failure);
    EXPECT_NE(reading.failure->find("Malformed line 3"), std::string::npos) << *reading.failure;
    EXPECT_TRUE(reading.upgrades.empty());

    // The adapter publishes it as its error and lists nothing.
    SystemFileSystemManager files;
    AptManager manager(CommandRunner::shared(), files, AptManager::Options{.cacheFolder = root.path() + "/vantreel-cache"});
    EXPECT_TRUE(manager.listInstalled({}).empty());
    EXPECT_NE(manager.errorMessage().value_or("").find("Malformed line 3"), std::string::npos);
}

TEST_F(AptCacheHostTest, TheAdapterKeepsAptsCacheOfTheListsAndNamesTheHeldPackage) {
    testing::ScopedEnvironment config("APT_CONFIG", root.configFile().c_str());
    SystemFileSystemManager files;
    // The root's lists were just written: no note about their age.
    AptManager manager(CommandRunner::shared(), files,
                       AptManager::Options{.listsFolder = root.path() + "/var/lib/apt/lists",
                                           .cacheFolder = root.path() + "/vantreel-cache"});
    std::vector<Package> packages = manager.listInstalled({});
    ASSERT_EQ(packages.size(), 5u);
    // apt's binary cache of the lists is kept for the next read, which answers the same;
    // the part dpkg's status makes is not.
    EXPECT_TRUE(std::filesystem::exists(root.path() + "/vantreel-cache/srcpkgcache.bin"));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/vantreel-cache/pkgcache.bin"));
    EXPECT_EQ(manager.listInstalled({}).size(), 5u);
    // The rows' versions and security marks against apt's own: the command line's host test of the scan.
    const std::string note = manager.errorMessage().value_or("");
    EXPECT_NE(note.find("held"), std::string::npos) << note;
    EXPECT_EQ(manager.checkOutdated({}).size(), 5u);
}

}  // namespace
}  // namespace vt
