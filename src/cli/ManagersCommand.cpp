#include "cli/ManagersCommand.hpp"

#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "cli/Context.hpp"
#include "managers/ExecutableLocator.hpp"
#include "settings/ManagerCatalog.hpp"
#include "settings/SettingsManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt::cli {

namespace {

struct Row {
    const ManagerCatalogEntry* entry;
    std::optional<std::string> path;  // nullopt: not found, or a source without a tool
    bool enabled;
};

std::vector<Row> collectRows() {
    SystemFileSystemManager files;
    ExecutableLocator locator(CommandRunner::shared(), files);
    SettingsManager& settings = Context::shared().settings();
    // Each lookup runs `which`; asking for all tools at once keeps this quick.
    std::vector<std::future<std::optional<std::string>>> lookups;
    for (const auto& entry : managerCatalog()) {
        lookups.push_back(std::async(std::launch::async, [&locator, &entry]() -> std::optional<std::string> {
            if (entry.executables.empty()) return std::nullopt;
            try {
                return locator.locate(entry.executables);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }));
    }
    std::vector<Row> rows;
    for (std::size_t i = 0; i < managerCatalog().size(); ++i) {
        const auto& entry = managerCatalog()[i];
        rows.push_back({&entry, lookups[i].get(), settings.isVisible(entry.settingsToggle)});
    }
    return rows;
}

int printManagers(bool asJson) {
    std::vector<Row> rows = collectRows();
    if (asJson) {
        Json list = Json::array();
        for (const Row& row : rows) {
            Json item = Json::object();
            item["id"] = row.entry->id;
            item["name"] = row.entry->name;
            item["found"] = row.path.has_value();
            item["path"] = row.path ? Json(*row.path) : Json();
            item["enabled"] = row.enabled;
            item["toggle"] = std::string(storageKey(row.entry->settingsToggle));
            item["executables"] = row.entry->executables;
            list.push_back(std::move(item));
        }
        std::printf("%s\n", dumpJson(list, 2).c_str());
        return kExitSuccess;
    }
    std::size_t width = 4;
    for (const Row& row : rows) width = std::max(width, row.entry->name.size());
    std::printf("%-*s  %-7s  %-5s  %s\n", static_cast<int>(width), "NAME", "ENABLED", "FOUND", "PATH");
    for (const Row& row : rows) {
        const char* found = row.entry->executables.empty() ? "-" : row.path ? "yes" : "no";
        std::printf("%-*s  %-7s  %-5s  %s\n", static_cast<int>(width), row.entry->name.c_str(),
                    row.enabled ? "yes" : "no", found, row.path.value_or("").c_str());
    }
    return kExitSuccess;
}

}  // namespace

void addManagersCommand(CLI::App& app, int* exitCode) {
    auto* managers = app.add_subcommand("managers", "List every source with its tool and visibility");
    auto json = std::make_shared<bool>(false);
    managers->add_flag("--json", *json, "Print an array of objects");
    managers->callback([json, exitCode] { *exitCode = printManagers(*json); });
}

}  // namespace vt::cli
