#include "managers/languages/ComposerManager.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "base/Paths.hpp"
#include "managers/languages/ComposerError.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/RecordingFileSystem.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kComposer = "/usr/bin/composer";
const std::string kShow = kComposer + " global show --format=json --no-interaction --no-ansi";
const std::string kOutdated = kComposer + " global outdated --format=json --no-interaction --no-ansi";

// Composer announces the global folder, and a deprecation warning of PHP comes before the JSON.
const char* kShowOutput = R"(Changed current directory to /home/user/.config/composer
PHP Deprecated:  Return type of Foo::bar() should be compatible in /x.php on line 3
{
    "installed": [
        {"name": "friendsofphp/php-cs-fixer", "version": "v3.40.0", "description": "A tool to fix coding standards"},
        {"name": "laravel/installer", "version": "v5.1.0", "description": "Laravel application installer."}
    ]
}
)";
const char* kOutdatedOutput = R"({
    "installed": [
        {"name": "friendsofphp/php-cs-fixer", "version": "v3.40.0", "latest": "v3.52.1", "latest-status": "semver-safe-update"}
    ]
})";

struct ComposerFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    ComposerManager manager{runner, files};

    ComposerFixture(bool manifest = true) {
        files.addExecutable(kComposer);
        if (manifest) files.addFile(paths::home() + "/.composer/composer.json", "{}");
    }
};

TEST(ComposerManagerTest, ListsPastBannersAndReadsLatestVersions) {
    ComposerFixture f;
    f.runner.on(kShow, Response::output(kShowOutput));
    f.runner.on(kOutdated, Response::output(kOutdatedOutput));
    std::vector<Package> installed = f.manager.listInstalled({});
    ASSERT_EQ(installed.size(), 2u);
    EXPECT_EQ(installed[0].name, "friendsofphp/php-cs-fixer");
    EXPECT_EQ(installed[0].version, "v3.40.0");
    EXPECT_EQ(f.manager.errorMessage(), std::nullopt);
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "v3.52.1");

    // The version shown, within what the global composer.json allows.
    const std::string update = kComposer +
                               " global update friendsofphp/php-cs-fixer --with friendsofphp/php-cs-fixer:v3.52.1 "
                               "--no-interaction --no-ansi";
    f.runner.on(update, Response::output(""));
    f.runner.on(kShow, Response::output(R"({"installed": [{"name": "friendsofphp/php-cs-fixer", "version": "v3.52.1"}]})"));
    f.manager.update(outdated[0], {});
    EXPECT_TRUE(f.runner.ran(update));

    // Beyond it (a new major version): the requirement moves to it, as `composer require` would.
    f.runner.clearHistory();
    f.runner.on(update, Response::failure(1, "In UpdateCommand.php line 163:\n  The temporary constraint \"v3.52.1\" for "
                                             "\"friendsofphp/php-cs-fixer\" must be a subset of the cons\n  traint in "
                                             "your composer.json (^2.0)\n"));
    const std::string require =
        kComposer + " global require friendsofphp/php-cs-fixer:^3.52.1 --no-interaction --no-ansi";
    f.runner.on(require, Response::output(""));
    f.manager.update(outdated[0], {});
    EXPECT_EQ(f.runner.commandLines(), (std::vector<std::string>{update, require, kShow}));

    f.runner.clearHistory();
    Package hostile{.name = "--working-dir=/etc", .version = "1", .type = PackageType::ComposerPackage};
    EXPECT_THROW(f.manager.update(hostile, {}), ComposerError);
    EXPECT_TRUE(f.runner.commandLines().empty());
}

// No global composer.json is no global package, not a failure, and composer is not even started;
// Packagist out of reach leaves the latest versions unknown, and says so.
TEST(ComposerManagerTest, MissingManifestIsNoFailureAndUnreachablePackagistIsSaid) {
    ComposerFixture none(false);
    EXPECT_TRUE(none.manager.listInstalled({}).empty());
    EXPECT_TRUE(none.manager.checkOutdated({}).empty());
    EXPECT_EQ(none.manager.errorMessage(), std::nullopt);
    const std::vector<std::string> lines = none.runner.commandLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with(kComposer + " global"); }), 0);

    // Composer says so itself when the manifest went between our look and its run.
    ComposerFixture f;
    f.runner.on(kShow, Response::failure(1, "Changed current directory to /home/user/.config/composer\n\n"
                                            "In ShowCommand.php line 245:\n  Composer could not find a composer.json "
                                            "file in /home/user/.config/composer\n"));
    EXPECT_TRUE(f.manager.listInstalled({}).empty());
    EXPECT_EQ(f.manager.errorMessage(), std::nullopt);

    f.runner.on(kShow, Response::output(kShowOutput));
    const std::string packagist = Endpoints::base(Service::Packagist);
    f.runner.on(kOutdated, Response::output(R"({"installed": []})", 0,
                                            packagist + " could not be fully loaded (curl error 6 while downloading " +
                                                packagist + "/packages.json: Could not resolve host: " +
                                                Endpoints::host(Service::Packagist) +
                                                "), package information was loaded from the local cache and may be "
                                                "out of date\n"));
    EXPECT_EQ(f.manager.listInstalled({}).size(), 2u);
    EXPECT_TRUE(f.manager.checkOutdated({}).empty());
    EXPECT_NE(f.manager.errorMessage().value_or("").find(Endpoints::host(Service::Packagist)), std::string::npos);
    EXPECT_TRUE(f.manager.latestVersionsUnknown());
}

}  // namespace
}  // namespace vt
