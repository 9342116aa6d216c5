#pragma once

#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for the AI coding assistant ("claude"): its own binary, the plugin marketplaces
// the user added, the plugins installed from them and the user's skills, all read from the
// assistant's settings folder ($CLAUDE_CONFIG_DIR, else ~/.claude):
//   plugins/known_marketplaces.json  marketplace name -> {source, installLocation}
//   plugins/installed_plugins.json   "plugin@marketplace" -> {version} (or a list of installs)
//   MARKETPLACE/.claude-plugin/marketplace.json  the marketplace's catalog: plugins[].version
//   skills/NAME/SKILL.md             one skill a folder, "version:" in its front matter
// The binary is behind when its release channel names a newer version; a marketplace or a
// skill kept as a git clone when its remote has commits it lacks (GitCheckout); a plugin when
// its marketplace's catalog lists a newer version. Updates go through the assistant's own
// commands (`claude update`, `claude plugin marketplace update NAME`, `claude plugin update
// PLUGIN@MARKETPLACE`), which install what their channel or catalog holds and cannot be told a
// version; a skill has no command and is `git pull --ff-only` in its clone. Thread-safe.
class AiAssistantManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kVersionTimeout = 15;
    static constexpr double kUpdateTimeout = 600;
    // The settings files are small; a larger one is not read.
    static constexpr std::size_t kMaxSettingsFileBytes = 4 << 20;

    AiAssistantManager(CommandRunning& runner, const FileSystemManager& files);
    AiAssistantManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    struct Marketplace {
        std::string name;
        std::string folder;  // its installLocation
        friend bool operator==(const Marketplace&, const Marketplace&) = default;
    };
    struct Plugin {
        std::string name;         // "formatter"
        std::string marketplace;  // "team-tools"
        std::string version;
        friend bool operator==(const Plugin&, const Plugin&) = default;
    };

    static std::vector<Marketplace> parseMarketplaces(std::string_view json);
    static std::vector<Plugin> parseInstalledPlugins(std::string_view json);
    // A marketplace catalog: plugin name -> version, for the plugins that state one.
    static std::map<std::string, std::string> parseCatalog(std::string_view json);
    // The "version:" of a SKILL.md's front matter, if any.
    static std::optional<std::string> skillVersion(std::string_view skillFile);
    // `claude --version`: "1.0.98 (Claude Code)" gives "1.0.98".
    static std::optional<std::string> parseVersion(std::string_view output);
    // A marketplace, plugin or skill name the tool may be given.
    static bool isItemName(std::string_view name);

    std::string settingsFolder() const;

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    std::optional<std::string> installedVersion(std::stop_token stop);
    std::vector<Marketplace> marketplaces() const;
    std::vector<std::string> skillFolders() const;
    std::string readSettingsFile(const std::string& path) const;
    void runAssistant(const std::vector<std::string>& arguments, std::stop_token stop);
};

}  // namespace vt
