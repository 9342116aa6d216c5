#pragma once

// Shared by the Homebrew adapter's tests: fixtures, corpus files and a wired-up adapter.

#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "base/Clock.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "managers/homebrew/BrewManager.hpp"
#include "support/Corpus.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/AdminPrompt.hpp"
#include "system/BrewAPIClient.hpp"

namespace vt::brewtest {

inline std::string fixture(std::string_view name) { return testing::fixture("brew", name); }

// A file of the shared Homebrew corpus, as it stands.
inline std::string corpus(std::string_view relative) {
    return testing::corpusFile("homebrew/" + std::string(relative));
}

// The message of errors.tsv whose printed text starts with the prefix, "\n" unescaped.
inline std::string corpusError(std::string_view prefix) {
    const std::string table = corpus("from-brew-specs/errors.tsv");
    for (std::string_view line : splitLines(table)) {
        std::vector<std::string_view> fields = split(line, '\t');
        if (fields.size() < 2 || !startsWith(fields[1], prefix)) continue;
        std::string text(fields[1]);
        for (std::size_t at = text.find("\\n"); at != std::string::npos; at = text.find("\\n", at + 1)) {
            text.replace(at, 2, "\n");
        }
        return text;
    }
    throw std::runtime_error("no message starting with \"" + std::string(prefix) + "\" in the corpus's errors.tsv");
}

inline std::string brew(std::string_view arguments) { return "/usr/bin/env brew " + std::string(arguments); }

// One adapter over fakes: brew at /opt/homebrew/bin/brew, home "/Users/user", not root.
struct BrewFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    FakeClock clock;
    std::vector<std::string> removed;
    int invalidations = 0;
    std::unique_ptr<BrewAPIClient> api = std::make_unique<BrewAPIClient>(network);
    testing::TempDir state{"vt-brew-state"};
    BrewManager::Options options;
    std::unique_ptr<BrewManager> manager;

    explicit BrewFixture(BrewManager::OutdatedModeProvider mode = {}, bool isLinux = false) {
        files.addExecutable("/opt/homebrew/bin/brew");
        options.clock = &clock;
        options.outdatedMode = std::move(mode);
        options.network = &network;
        options.apiClient = api.get();
        options.invalidateListings = [this] { ++invalidations; };
        options.removeItem = [this](const std::string& path) {
            removed.push_back(path);
            files.remove(path);
        };
        options.home = "/Users/user";
        options.prefixes = {"/opt/homebrew"};
        options.runningAsRoot = false;
        options.userName = "user";
        options.isLinux = isLinux;
        options.updateTimeFile = state.file("brew-update-time");
        manager = std::make_unique<BrewManager>(runner, files, options);
    }

    std::string updateTimeFile() const { return *options.updateTimeFile; }
    void setUpdateTimeFile(const std::string& path) {
        options.updateTimeFile = path;
        manager = std::make_unique<BrewManager>(runner, files, options);
    }
};

// The texts users see are French; a test of them sets the language and gives it back.
class InFrench : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = currentLanguage();
        setLanguage(Language::French);
    }
    void TearDown() override { setLanguage(previous_); }

private:
    Language previous_ = Language::English;
};

}  // namespace vt::brewtest
