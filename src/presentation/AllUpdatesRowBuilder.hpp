#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "managers/SourceRow.hpp"
#include "model/Application.hpp"
#include "model/Package.hpp"
#include "presentation/AllUpdateRow.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"
#include "updates/HomebrewAdoption.hpp"

namespace vt {

// The plain state the table is made from: what the coordinator and the application
// inventory hold, copied, with the revisions that tell one state from the next.
struct AllUpdatesSnapshot {
    std::vector<Package> packages;
    std::vector<Application> applications;
    std::vector<SoftwareUpdate> systemUpdates;  // what the operating system's own tool offers
    std::vector<AdoptableApp> adoptableApps;    // hand-installed applications Homebrew could take over
    bool allowPreRelease = false;
    std::uint64_t packagesRevision = 0;
    std::uint64_t applicationsRevision = 0;
};

// Makes one row per item: packages of any manager, applications of any source. A manager
// is named by its registration row; the labels below the registrations' names are the
// table's own. Knows nothing of filters or order (AllUpdatesRowPipeline).
class AllUpdatesRowBuilder {
public:
    explicit AllUpdatesRowBuilder(const std::vector<SourceRow>& registrations) : registrations_(registrations) {}

    // The rows of the items with an update; with `includeUpToDate`, of every item (those
    // without an update have `hasUpdate` false).
    std::vector<AllUpdateRow> build(const AllUpdatesSnapshot& snapshot, bool includeUpToDate = false) const;

    AllUpdateRow packageRow(const Package& package, bool allowPreRelease) const;
    AllUpdateRow applicationRow(const Application& application, bool allowPreRelease) const;
    // "macos:" and the tool's label; always pending, as the tool lists only what it offers.
    static AllUpdateRow systemUpdateRow(const SoftwareUpdate& update);
    // "adoptable:" and the application's identifier; the cask's version is the one offered.
    static AllUpdateRow adoptableRow(const AdoptableApp& app);

    // The source column of a package: the table's label, else the registration's display
    // name, else "unknown".
    std::string sourceLabel(PackageType type) const;

    // The scanner that lists a kind ("npm", "homebrew"), else the kind's own id ("ms-office").
    std::string sourceId(PackageType type) const;
    // The short id of a package's row ("npm:corepack").
    std::string shortId(const Package& package) const;
    // The short id of an application's row ("app:com.example.editor").
    static std::string shortId(const Application& application);
    // The short id of the item an ignore list stores under an earlier row id
    // ("package:npm global:corepack" gives "npm:corepack"); nothing for a key of another form.
    std::optional<std::string> shortIdOfLegacyKey(std::string_view key) const;

private:
    const SourceRow* registrationFor(PackageType type) const;
    const std::vector<SourceRow>& registrations_;
};

// The id of a package's row, under which the ignore lists name it: its stable key, or its
// kind's own prefix and name for the kinds that are rows of their own ("ai-plugin:").
std::string packageRowId(const Package& package);
// The source column of an application: where its update was found.
std::string applicationSourceLabel(const Application& application);
// The key under which applications and casks standing for the same bundle meet.
std::string bundleKey(std::string_view bundlePath);

}  // namespace vt
