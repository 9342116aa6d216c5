#include "managers/vendors/VendorAppsManager.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

constexpr const char* kOfficeApps[] = {"Microsoft Word", "Microsoft Excel", "Microsoft PowerPoint",
                                       "Microsoft Outlook", "Microsoft OneNote"};

template <VendorAppsManager::Vendor V>
std::unique_ptr<BaseManager> makeVendor(CommandRunning& runner, const FileSystemManager& files) {
    return std::make_unique<VendorAppsManager>(V, runner, files);
}

std::string stem(std::string_view file) {
    std::string name(lastPathComponent(file));
    if (endsWith(name, ".app")) name.resize(name.size() - 4);
    return name;
}

}  // namespace

const SourceRow& VendorAppsManager::source(Vendor vendor) {
    static const SourceRow apple{.id = "apple-tools", .name = "Apple Developer Tools",
                                 .types = {PackageType::AppleDeveloperTool}, .toggle = ManagerToggleKey::ShowAppleTools,
                                 .completionLine = "Apple Tools", .logTag = "apple-tools",
                                 .make = makeVendor<Vendor::AppleDeveloperTools>};
    static const SourceRow adobe{.id = "adobe-cc", .name = "Adobe Creative Cloud", .types = {PackageType::AdobeCCApp},
                                 .toggle = ManagerToggleKey::ShowAdobeCC,
                                 .completionLine = "Adobe CC", .logTag = "adobe-cc",
                                 .make = makeVendor<Vendor::AdobeCreativeCloud>};
    static const SourceRow office{.id = "ms-office", .name = "Microsoft Office", .types = {PackageType::MsOfficeApp},
                                  .toggle = ManagerToggleKey::ShowMicrosoftOffice,
                                  .completionLine = "Microsoft Office", .logTag = "ms-office",
                                  .make = makeVendor<Vendor::MicrosoftOffice>};
    switch (vendor) {
        case Vendor::AppleDeveloperTools: return apple;
        case Vendor::AdobeCreativeCloud: return adobe;
        case Vendor::MicrosoftOffice: return office;
    }
    return apple;
}

VendorAppsManager::VendorAppsManager(Vendor vendor, CommandRunning& runner, const FileSystemManager& files)
    : VendorAppsManager(vendor, runner, files, Options{}) {}

VendorAppsManager::VendorAppsManager(Vendor vendor, CommandRunning& runner, const FileSystemManager& files,
                                     Options options)
    : BaseManager(source(vendor), runner, files), vendor_(vendor), options_(std::move(options)) {}

std::optional<std::string> VendorAppsManager::plistVersion(std::string_view xml) {
    for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion"}) {
        const Regex pattern(std::string("<key>") + key + R"(</key>\s*<string>\s*([^<\s][^<]*?)\s*</string>)");
        if (auto match = pattern.search(xml); match && match->groups[0]) return std::string(*match->groups[0]);
    }
    return std::nullopt;
}

std::optional<std::string> VendorAppsManager::commandLineToolsUpdate(std::string_view list) {
    static const Regex title(R"(Title:\s*Command Line Tools[^,]*,\s*Version:\s*([0-9][0-9A-Za-z.]*))");
    std::optional<std::string> newest;
    for (const Regex::Match& match : title.findAll(list)) {
        std::string version(match.groups[0].value_or(""));
        if (!newest || compareVersions(*newest, version) == VersionOrder::Ascending) newest = version;
    }
    return newest;
}

std::vector<std::pair<std::string, std::string>> VendorAppsManager::bundles() const {
    std::vector<std::pair<std::string, std::string>> found;
    auto entries = [&](const std::string& folder) {
        std::vector<std::string> names;
        if (!files_.directoryExists(folder)) return names;
        try {
            names = files_.contentsOfDirectory(folder);
        } catch (const std::exception&) {
            return std::vector<std::string>{};
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    for (const std::string& folder : options_.applicationFolders) {
        for (const std::string& entry : entries(folder)) {
            const std::string path = folder + "/" + entry;
            switch (vendor_) {
                case Vendor::AppleDeveloperTools:
                    if (startsWith(entry, "Xcode") && endsWith(entry, ".app")) found.emplace_back(stem(entry), path);
                    break;
                case Vendor::AdobeCreativeCloud:
                    // Each application in a folder of its own: "Adobe Photoshop 2025/Adobe Photoshop 2025.app".
                    if (!startsWith(entry, "Adobe ") || endsWith(entry, ".app")) break;
                    for (const std::string& inner : entries(path)) {
                        if (startsWith(inner, "Adobe ") && endsWith(inner, ".app")) {
                            found.emplace_back(stem(inner), path + "/" + inner);
                        }
                    }
                    break;
                case Vendor::MicrosoftOffice:
                    for (const char* app : kOfficeApps) {
                        if (entry == std::string(app) + ".app") found.emplace_back(app, path);
                    }
                    break;
            }
        }
    }
    return found;
}

std::optional<std::string> VendorAppsManager::locateExecutable(std::stop_token) {
    if (vendor_ == Vendor::AppleDeveloperTools && files_.directoryExists(options_.commandLineToolsFolder)) {
        return options_.commandLineToolsFolder;
    }
    std::vector<std::pair<std::string, std::string>> found = bundles();
    if (found.empty()) return std::nullopt;
    return found.front().second;
}

std::optional<std::string> VendorAppsManager::bundleVersion(const std::string& bundle, std::stop_token stop) {
    const std::string plist = bundle + "/Contents/Info.plist";
    if (!files_.fileExists(plist)) return std::nullopt;
    std::string text;
    try {
        text = files_.readFile(plist);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // A binary property list is turned into XML by the system's own tool (macOS only).
    if (startsWith(text, "bplist")) {
        CommandRequest request{.command = options_.plutil, .arguments = {"-convert", "xml1", "-o", "-", plist},
                               .timeout = 10, .allowNonZeroExit = true};
        try {
            text = runner_.execute(request, stop).standardOutput;
        } catch (const CommandError&) {
            if (stop.stop_requested()) throw CancellationError();
            return std::nullopt;
        }
    }
    return plistVersion(text);
}

Package VendorAppsManager::makePackage(const std::string& name, const std::string& version) const {
    Package package;
    package.name = name;
    package.version = version;
    package.type = identity().types.front();
    package.requiresManualInstaller = true;
    switch (vendor_) {
        case Vendor::AppleDeveloperTools:
            package.description = localized(name == "Command Line Tools" ? "vendor.apple_clt_how" : "vendor.apple_xcode_how");
            break;
        case Vendor::AdobeCreativeCloud: package.description = localized("vendor.adobe_how"); break;
        case Vendor::MicrosoftOffice: package.description = localized("vendor.office_how"); break;
    }
    return package;
}

std::vector<Package> VendorAppsManager::read(std::stop_token stop) {
    std::vector<Package> packages;
    for (const auto& [name, path] : bundles()) {
        if (stop.stop_requested()) throw CancellationError();
        packages.push_back(makePackage(name, bundleVersion(path, stop).value_or("unknown")));
    }
    if (vendor_ == Vendor::AppleDeveloperTools && files_.directoryExists(options_.commandLineToolsFolder)) {
        std::string version = "unknown";
        CommandRequest request{.command = options_.pkgutil, .arguments = {"--pkg-info=com.apple.pkg.CLTools_Executables"},
                               .timeout = 15, .allowNonZeroExit = true};
        try {
            ShellCommandResult result = runner_.execute(request, stop);
            for (std::string_view line : splitLines(result.standardOutput)) {
                if (startsWith(line, "version:")) version = trim(line.substr(8));
            }
        } catch (const CommandError&) {
            if (stop.stop_requested()) throw CancellationError();
        }
        packages.push_back(makePackage("Command Line Tools", version));
    }
    return packages;
}

std::vector<Package> VendorAppsManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    std::vector<Package> packages = read(stop);
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::vector<Package> VendorAppsManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (vendor_ != Vendor::AppleDeveloperTools || !discover(stop)) return {};
    std::vector<Package> listed = packages();
    auto tools = std::find_if(listed.begin(), listed.end(),
                              [](const Package& package) { return package.name == "Command Line Tools"; });
    if (tools == listed.end()) return {};
    CommandRequest request{.command = options_.softwareupdate, .arguments = {"-l", "--no-scan"}, .timeout = 120,
                           .allowNonZeroExit = true};
    std::optional<std::string> latest;
    try {
        latest = commandLineToolsUpdate(runner_.execute(request, stop).standardOutput);
    } catch (const CommandError&) {
        if (stop.stop_requested()) throw CancellationError();
    }
    if (!latest || !isUpdateAvailable(tools->version, *latest, false)) return {};
    Package package = *tools;
    package.latestVersion = latest;
    return {package};
}

void VendorAppsManager::update(const Package& package, std::stop_token) {
    throw PackageManualUpdateRequiredError(package.name, "", package.description.value_or(""));
}

}  // namespace vt
