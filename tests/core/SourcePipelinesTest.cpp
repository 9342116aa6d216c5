#include "core/SourcePipelines.hpp"

#include <gtest/gtest.h>

#include "managers/homebrew/BrewManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

// Stands for brew: one formula and one cask, found at /usr/local/bin/brew.
class TwoKinds final : public BaseManager {
public:
    TwoKinds(CommandRunning& runner, const FileSystemManager& files) : BaseManager(BrewManager::source(), runner, files) {}
    std::vector<Package> listInstalled(std::stop_token) override {
        return {Package{.name = "wget", .type = PackageType::BrewFormula},
                Package{.name = "firefox", .type = PackageType::BrewCask}};
    }
    std::vector<Package> checkOutdated(std::stop_token stop) override { return listInstalled(stop); }
    void update(const Package&, std::stop_token) override {}
};

// The Homebrew setting hides formulae only; casks follow their own setting.
TEST(SourcePipelinesTest, EachKindFollowsItsOwnSetting) {
    struct Case {
        bool showHomebrew, showCasks;
        std::vector<std::string> names;  // empty: no pipeline at all
    };
    for (const Case& c : std::vector<Case>{{true, true, {"wget", "firefox"}},
                                           {false, true, {"firefox"}},
                                           {true, false, {"wget"}},
                                           {false, false, {}}}) {
        SCOPED_TRACE(std::to_string(c.showHomebrew) + std::to_string(c.showCasks));
        testing::TempDir folder;
        DefaultsStore store(folder.file("preferences.json"));
        SettingsManager settings(store);
        settings.setVisible(ManagerToggleKey::ShowHomebrew, c.showHomebrew);
        settings.setVisible(ManagerToggleKey::ShowCasks, c.showCasks);
        testing::FakeCommandRunner runner;
        runner.otherwise(Response::failure(1, ""));
        testing::RecordingFileSystem files;
        files.addExecutable("/usr/local/bin/brew");
        SourceRow row = BrewManager::source();
        row.make = [](CommandRunning& r, const FileSystemManager& f) -> std::unique_ptr<BaseManager> {
            return std::make_unique<TwoKinds>(r, f);
        };
        PackageManager packages({row}, runner, files);

        std::vector<ScannerPipeline> pipelines = activeSourcePipelines({row}, packages, settings, {});
        if (c.names.empty()) {
            EXPECT_TRUE(pipelines.empty());
            continue;
        }
        ASSERT_EQ(pipelines.size(), 1u);
        for (const auto& work : {pipelines[0].run, pipelines[0].checkUpdates}) {
            std::vector<std::string> names;
            for (const Package& package : work({}).packages) names.push_back(package.name);
            EXPECT_EQ(names, c.names);
        }
    }
}

}  // namespace
}  // namespace vt
