#include "sources/appstore/MacAppStoreUpdateCoordinator.hpp"

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "base/Localization.hpp"
#include "sources/appstore/MacAppStoreManager.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/InstalledVersionCheck.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("MacAppStore");
    return instance;
}


// What `mas` prints when the store insists on its own application for this item.
bool requiresAppStore(std::string_view output) {
    std::string text = toLower(output);
    return contains(text, "open the app store") || contains(text, "requires the app store");
}

}  // namespace

MacAppStoreUpdateError MacAppStoreUpdateError::updateFailed(const std::string& detail) {
    return {Kind::UpdateFailed, localized("update.failed_with", {detail})};
}
MacAppStoreUpdateError MacAppStoreUpdateError::downloadFailed(const std::optional<std::string>& detail) {
    return {Kind::DownloadFailed, localized("mas.download_failed", {detail.value_or(localized("common.unknown_error"))})};
}
MacAppStoreUpdateError MacAppStoreUpdateError::notInstalled() { return {Kind::NotInstalled, localized("mas.not_installed_app")}; }
MacAppStoreUpdateError MacAppStoreUpdateError::timeout() { return {Kind::Timeout, localized("mas.timeout")}; }
MacAppStoreUpdateError MacAppStoreUpdateError::cancelled() { return {Kind::Cancelled, localized("mas.cancelled")}; }
MacAppStoreUpdateError MacAppStoreUpdateError::appStoreAccountUnavailable() {
    return {Kind::AppStoreAccountUnavailable, localized("mas.account_unavailable")};
}
MacAppStoreUpdateError MacAppStoreUpdateError::manualAppStoreUpdateRequired(const std::string& name,
                                                                            const std::string& version) {
    return {Kind::ManualAppStoreUpdateRequired,
            localized("mas.manual_required", {name, version, version})};
}

MacAppStoreUpdateError MacAppStoreUpdateError::notFromAppStore(const std::string& name) {
    return {Kind::NotFromAppStore, localized("update_all.excluded.not_from_store") + " (" + name + ")"};
}
MacAppStoreUpdateError MacAppStoreUpdateError::notNewer(const std::string& message) { return {Kind::NotNewer, message}; }

MacAppStoreUpdateCoordinator::MacAppStoreUpdateCoordinator(Options options) : options_(std::move(options)) {
    if (!options_.installedVersion) {
        options_.installedVersion = [](const std::string& bundlePath) -> std::optional<std::string> {
            if (std::optional<BundleCandidate> bundle = readBundle(bundlePath)) return bundle->version;
            if (std::optional<MacAppStoreApp> wrapped = readWrappedIOSApp(bundlePath)) return wrapped->currentVersion;
            return std::nullopt;
        };
    }
    if (!options_.installedFromStore) options_.installedFromStore = isInstalledFromAppStore;
}

MacAppStoreUpdateCoordinator::Outcome MacAppStoreUpdateCoordinator::openAppStore(const Target& target,
                                                                                 std::stop_token stop) {
    // Only a Mac has the store; elsewhere the caller prints the address as an instruction.
    if (kBuiltForMac && options_.runner != nullptr) {
        CommandRequest request;
        request.command = "/usr/bin/open";
        request.arguments = {kUpdatesPageAddress};
        request.timeout = 15;
        request.allowNonZeroExit = true;
        try {
            options_.runner->execute(request, stop);
            logger().info(localized("log.mas.store_opened", {target.name}));
        } catch (const CancellationError&) {
            throw MacAppStoreUpdateError::cancelled();
        } catch (const std::exception& error) {
            logger().warning(localized("log.mas.store_not_opened", {error.what()}));
        }
    }
    return Outcome{true, std::nullopt};
}

MacAppStoreUpdateCoordinator::Outcome MacAppStoreUpdateCoordinator::update(const Target& target, std::stop_token stop) {
    if (!options_.installedFromStore(target.bundlePath)) throw MacAppStoreUpdateError::notFromAppStore(target.name);
    const std::optional<std::string> before = options_.installedVersion(target.bundlePath);
    if (target.offeredVersion) {
        std::optional<InstalledVersion> now;
        if (before) now = InstalledVersion{*before, {}};
        if (auto refusal = refusalToReplace(target.name, now, *target.offeredVersion)) {
            if (refusal->kind == ReplacementRefusal::Kind::NotInstalled) throw MacAppStoreUpdateError::notInstalled();
            throw MacAppStoreUpdateError::notNewer(refusal->message);
        }
    }
    if (!options_.mas->isInstalled()) return openAppStore(target, stop);
    logger().info(localized("log.mas.upgrade_start", {target.name, target.id}));
    if (options_.progress) options_.progress(localized("mas.progress"));
    ShellCommandResult result;
    try {
        result = options_.mas->run({"upgrade", target.id}, stop, 900.0);
    } catch (const CancellationError&) {
        throw MacAppStoreUpdateError::cancelled();
    } catch (const CommandError& error) {
        if (error.kind() == CommandError::Kind::Timeout || contains(toLower(error.what()), "timed out")) {
            throw MacAppStoreUpdateError::timeout();
        }
        throw MacAppStoreUpdateError::updateFailed(error.what());
    } catch (const MasCliError&) {
        return openAppStore(target, stop);
    }
    std::string output = result.standardOutput + "\n" + result.standardError;
    if (MasCliManager::reportsMissingAccount(output)) throw MacAppStoreUpdateError::appStoreAccountUnavailable();
    if (requiresAppStore(output)) return openAppStore(target, stop);
    if (contains(toLower(output), "timed out")) throw MacAppStoreUpdateError::timeout();
    if (result.exitCode != 0) {
        throw MacAppStoreUpdateError::updateFailed(excerpt(sanitizeUtf8(trim(output)), 300));
    }
    std::optional<std::string> now = options_.installedVersion(target.bundlePath);
    if (!now) throw MacAppStoreUpdateError::notInstalled();
    if (*now == before.value_or(target.installedVersion)) {
        logger().warning(localized("log.mas.upgrade_unchanged", {*now}));
        throw MacAppStoreUpdateError::manualAppStoreUpdateRequired(target.name, *now);
    }
    logger().info(localized("log.mas.upgrade_verified", {target.name}));
    return Outcome{false, now};
}

}  // namespace vt
