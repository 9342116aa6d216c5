#include "managers/sdks/QtManager.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Platform.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/sdks/SdkError.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const std::vector<std::string>& maintenanceTools() {
    static const std::vector<std::string> tools = {"MaintenanceTool", "maintenancetool",
                                                   "MaintenanceTool.app/Contents/MacOS/MaintenanceTool"};
    return tools;
}

std::string xmlUnescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t end = text.find(';', i);
        std::string_view entity = end == std::string_view::npos ? std::string_view() : text.substr(i, end - i + 1);
        const char* replacement = entity == "&amp;"    ? "&"
                                  : entity == "&lt;"   ? "<"
                                  : entity == "&gt;"   ? ">"
                                  : entity == "&quot;" ? "\""
                                  : entity == "&apos;" ? "'"
                                                       : nullptr;
        if (replacement == nullptr) {
            out += '&';
            continue;
        }
        out += replacement;
        i = end;
    }
    return out;
}

}  // namespace

const SourceRow& QtManager::source() {
    static const SourceRow row{.id = "qt", .name = "Qt", .executables = {"MaintenanceTool", "maintenancetool"},
                               .types = {PackageType::QtPackage}, .toggle = ManagerToggleKey::ShowQt,
                               .completionLine = "Qt", .logTag = "qt",
                               .make = makeAdapter<QtManager>};
    return row;
}

QtManager::QtManager(CommandRunning& runner, const FileSystemManager& files) : QtManager(runner, files, Options{}) {}

QtManager::QtManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options), {}, "QtManager") {}

bool QtManager::isComponentName(std::string_view name) {
    if (name.empty() || name.size() > 200 || name.front() == '-' || name.front() == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

std::vector<QtManager::Component> QtManager::parseComponents(std::string_view xml, std::string_view elementName) {
    static const Regex attribute(R"re(([A-Za-z_][A-Za-z0-9_.-]*)\s*=\s*"([^"]*)")re");
    std::vector<Component> components;
    std::string open(1, '<');
    open.append(elementName);  // not "<" + string: GCC 12 misreads that at -O3 (-Wrestrict)
    for (std::size_t at = xml.find(open); at != std::string_view::npos; at = xml.find(open, at + 1)) {
        const std::size_t after = at + open.size();
        if (after >= xml.size() || !(xml[after] == ' ' || xml[after] == '\t' || xml[after] == '\n' || xml[after] == '\r')) {
            continue;  // "<packages>" is not "<package ...>"
        }
        const std::size_t close = xml.find('>', after);
        if (close == std::string_view::npos) break;
        Component component;
        for (const Regex::Match& match : attribute.findAll(xml.substr(after, close - after))) {
            const std::string name(match.groups[0].value_or(""));
            std::string value = xmlUnescaped(match.groups[1].value_or(""));
            if (name == "name" || name == "id") {
                if (component.name.empty() || name == "name") component.name = std::move(value);
            } else if (name == "version") {
                component.version = std::move(value);
            } else if (name == "displayname" || name == "displayName") {
                component.displayName = std::move(value);
            }
        }
        if (isComponentName(component.name) && !component.version.empty()) components.push_back(std::move(component));
    }
    return components;
}

std::optional<std::string> QtManager::locateExecutable(std::stop_token stop) {
    std::vector<std::string> roots = {home() + "/Qt", "/opt/Qt"};
    if (kBuiltForMac) roots.push_back("/Applications/Qt");
    for (const std::string& root : roots) {
        for (const std::string& tool : maintenanceTools()) {
            if (files_.isExecutableFile(root + "/" + tool)) return root + "/" + tool;
        }
    }
    return ToolchainManager::locateExecutable(stop);
}

std::vector<QtManager::Component> QtManager::readComponents(const std::string& command, std::string_view element,
                                                            std::stop_token stop, std::optional<std::string>& message) {
    try {
        ShellCommandResult result = tool({command}, kListTimeout, stop);
        if (result.exitCode != 0) {
            message = localized("sdk.scan_error", {identity().name, firstLine(result.standardError.empty()
                                                                                  ? result.standardOutput
                                                                                  : result.standardError)});
            return {};
        }
        return parseComponents(result.standardOutput, element);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        message = localized("sdk.scan_error", {identity().name, error.description()});
        return {};
    }
}

Package QtManager::makePackage(const Component& component) {
    Package package;
    package.name = component.name;
    package.version = component.version;
    package.type = PackageType::QtPackage;
    if (!component.displayName.empty()) package.description = component.displayName;
    return package;
}

std::vector<Package> QtManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> packages;
    for (const Component& component : readComponents("list", "package", stop, message)) {
        packages.push_back(makePackage(component));
    }
    return packages;
}

std::vector<Package> QtManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> outdated;
    for (const Component& component : readComponents("check-updates", "update", stop, message)) {
        Package package = makePackage(component);
        package.version.clear();
        package.latestVersion = component.version;
        outdated.push_back(std::move(package));
    }
    return overListing(std::move(outdated));
}

void QtManager::update(const Package& package, std::stop_token stop) {
    if (!isComponentName(package.name)) throw SdkError::invalidPackage(identity().name, package.name);
    if (!discover(stop)) throw SdkError::notInstalled("MaintenanceTool");
    runUpdate({"--default-answer", "--confirm-command", "update", package.name}, kUpdateTimeout, stop,
              [](const std::string& output) { throw SdkError::commandFailed("MaintenanceTool", output); });
    std::optional<std::string> message;
    std::vector<Component> components = readComponents("list", "package", stop, message);
    auto found = std::find_if(components.begin(), components.end(),
                              [&](const Component& component) { return component.name == package.name; });
    if (found != components.end() && found->version == package.version && package.latestVersion &&
        *package.latestVersion != package.version) {
        throw SdkError::versionUnchanged(package.name, found->version);
    }
    std::vector<Package> packages;
    for (const Component& component : components) packages.push_back(makePackage(component));
    if (!message) publishPackages(std::move(packages));
}

}  // namespace vt
