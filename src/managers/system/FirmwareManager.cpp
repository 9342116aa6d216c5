#include "managers/system/FirmwareManager.hpp"

#include <stdexcept>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/system/SystemListing.hpp"
#include "system/AdminPrompt.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("FirmwareManager");
    return instance;
}

std::string textOf(const Json& object, const char* key) {
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::vector<std::string> textsOf(const Json& object, const char* key) {
    std::vector<std::string> texts;
    auto found = object.find(key);
    if (found == object.end() || !found->is_array()) return texts;
    for (const Json& item : *found) {
        if (item.is_string()) texts.push_back(item.get<std::string>());
    }
    return texts;
}

bool hasFlag(const Json& object, std::string_view flag) {
    for (const std::string& value : textsOf(object, "Flags")) {
        if (value == flag) return true;
    }
    return false;
}

// Older fwupd versions wrote the urgency as its number.
std::string urgencyOf(const Json& release) {
    auto found = release.find("Urgency");
    if (found == release.end()) return "";
    if (found->is_string()) return toLower(found->get<std::string>());
    if (found->is_number_integer()) {
        switch (found->get<int>()) {
            case 1: return "low";
            case 2: return "medium";
            case 3: return "high";
            case 4: return "critical";
            default: return "";
        }
    }
    return "";
}

}  // namespace

const SourceRow& FirmwareManager::source() {
    static const SourceRow row{.id = "firmware", .name = "Firmware", .executables = {"fwupdmgr"},
                               .types = {PackageType::Firmware}, .toggle = ManagerToggleKey::ShowFirmware,
                               .completionLine = "Firmware", .logTag = "firmware",
                               .make = makeAdapter<FirmwareManager>};
    return row;
}

FirmwareManager::FirmwareManager(CommandRunning& runner, const FileSystemManager& files)
    : FirmwareManager(runner, files, Options{}) {}

FirmwareManager::FirmwareManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(options) {}

FirmwareManager::~FirmwareManager() = default;

AdminPrompt& FirmwareManager::adminPrompt() {
    if (options_.adminPrompt != nullptr) return *options_.adminPrompt;
    std::scoped_lock lock(promptMutex_);
    if (!ownedAdminPrompt_) ownedAdminPrompt_ = std::make_unique<SystemAdminPrompt>(runner_, files_);
    return *ownedAdminPrompt_;
}

bool FirmwareManager::isDeviceId(std::string_view id) {
    static const Regex pattern(R"(^[0-9a-f]{40}$)");
    return pattern.fullyMatches(id);
}

bool FirmwareManager::isDaemonMissing(std::string_view output) {
    const std::string lower = toLower(output);
    for (const char* sign : {"failed to connect to daemon", "could not connect", "the name org.freedesktop.fwupd was not provided",
                             "is not running", "failed to connect to socket"}) {
        if (lower.find(sign) != std::string::npos) return true;
    }
    return false;
}

std::vector<FirmwareManager::Device> FirmwareManager::parseDevices(std::string_view text) {
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) throw std::invalid_argument("fwupdmgr's answer is not a JSON object");
    std::vector<Device> devices;
    auto list = json->find("Devices");
    if (list == json->end()) return devices;  // nothing to report prints an empty object
    if (!list->is_array()) throw std::invalid_argument("fwupdmgr's \"Devices\" is not a list");
    static const Regex cve(R"(^CVE-[0-9]{4}-[0-9]{4,}$)", Regex::Options{.caseInsensitive = true});
    for (const Json& item : *list) {
        if (!item.is_object()) continue;
        Device device;
        device.id = textOf(item, "DeviceId");
        device.name = textOf(item, "Name");
        device.version = textOf(item, "Version");
        device.needsReboot = hasFlag(item, "needs-reboot");
        device.updatable = hasFlag(item, "updatable");
        if (!isDeviceId(device.id) || trim(device.name).empty()) continue;
        auto releases = item.find("Releases");
        if (releases != item.end() && releases->is_array()) {
            for (const Json& entry : *releases) {
                if (!entry.is_object()) continue;
                Release release;
                release.version = textOf(entry, "Version");
                release.urgency = urgencyOf(entry);
                release.issues = textsOf(entry, "Issues");
                for (const std::string& issue : release.issues) release.isSecurity |= cve.fullyMatches(trim(issue));
                if (!release.version.empty()) device.releases.push_back(std::move(release));
            }
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

ShellCommandResult FirmwareManager::runTool(std::vector<std::string> arguments, std::stop_token stop) {
    CommandRequest request{.command = binaryPath(),
                           .arguments = std::move(arguments),
                           .environment = {{"LC_ALL", "C"}, {"LANG", "C"}},
                           .timeout = kListTimeout,
                           .allowNonZeroExit = true};
    return run(request, stop);
}

Package FirmwareManager::packageOf(const Device& device) {
    return Package{.name = device.name, .version = device.version, .type = PackageType::Firmware,
                   .sourceIdentifier = device.id};
}

std::vector<Package> FirmwareManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    ShellCommandResult result = runTool({"get-devices", "--json"}, stop);
    const std::string output = result.standardError + "\n" + result.standardOutput;
    if (result.exitCode != 0 && isDaemonMissing(output)) {
        logger().info(localized("log.firmware.daemon_missing"));
        return publishEmptyListing();
    }
    std::vector<Package> packages;
    try {
        for (const Device& device : parseDevices(result.standardOutput)) {
            if (device.updatable) packages.push_back(packageOf(device));
        }
    } catch (const std::invalid_argument& error) {
        return publishEmptyListing(result.exitCode != 0 ? systemlisting::toolError(output) : error.what());
    }
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::vector<Package> FirmwareManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return {};
    ShellCommandResult result = runTool({"get-updates", "--json"}, stop);
    const std::string output = result.standardError + "\n" + result.standardOutput;
    // Status 2 is fwupdmgr's "nothing to do": no update, and maybe no JSON at all.
    if (result.exitCode == 2 || (result.exitCode != 0 && isDaemonMissing(output))) {
        setErrorMessage(std::nullopt);
        return {};
    }
    std::vector<Device> devices;
    try {
        devices = parseDevices(result.standardOutput);
    } catch (const std::invalid_argument& error) {
        setErrorMessage(result.exitCode != 0 ? systemlisting::toolError(output) : std::string(error.what()));
        return {};
    }
    std::vector<Package> outdated;
    for (const Device& device : devices) {
        if (device.releases.empty()) continue;
        const Release& newest = device.releases.front();
        Package package = packageOf(device);
        package.latestVersion = systemlisting::pendingVersion(device.version, newest.version);
        package.isSecurityUpdate = newest.isSecurity;
        std::vector<std::string> details;
        if (!newest.urgency.empty()) details.push_back(localized("firmware.urgency", {newest.urgency}));
        if (device.needsReboot) details.push_back(localized("firmware.needs_reboot"));
        if (!details.empty()) package.description = join(details, ", ");
        if (!newest.issues.empty()) package.releaseNotes = join(newest.issues, ", ");
        outdated.push_back(std::move(package));
    }
    logger().info(localized("log.firmware.check_done", {std::to_string(outdated.size())}));
    setErrorMessage(std::nullopt);
    return outdated;
}

void FirmwareManager::update(const Package& package, std::stop_token stop) {
    if (!discover(stop)) throw AdminPromptError::notAvailable();
    const std::string id = package.sourceIdentifier.value_or("");
    if (!isDeviceId(id)) throw std::invalid_argument("Invalid fwupd device id for \"" + package.name + "\": \"" + id + "\"");
    // The reboot a capsule needs is the user's to choose: fwupdmgr must not start it.
    adminPrompt().run(PrivilegedCommand{.prompt = localized("firmware.admin.prompt", {package.name}),
                                        .command = binaryPath(),
                                        .arguments = {"update", id, "--assume-yes", "--no-reboot-check"},
                                        .timeoutSeconds = kUpdateTimeout},
                      stop);
}

}  // namespace vt
