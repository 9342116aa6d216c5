#include "cli/SourceSelection.hpp"

#include <algorithm>

#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/AllUpdateRow.hpp"

namespace vt::cli {

namespace {

// The scanners that are not package sources.
constexpr const char* kApplicationScanners[] = {"apps", "software-update"};

// The id of a kind with a setting of its own ("casks"), and the scanner it belongs to.
std::optional<std::pair<std::string, std::string>> kindOf(std::optional<PackageType> type) {
    if (!type) return std::nullopt;
    for (const SourceRow& source : ManagerRegistry::sources()) {
        for (const KindToggle& kind : source.kindToggles) {
            if (kind.type == *type) return std::pair{kind.id, source.id};
        }
    }
    return std::nullopt;
}

std::string scannerOfKind(const std::string& name) {
    for (const SourceRow& source : ManagerRegistry::sources()) {
        for (const KindToggle& kind : source.kindToggles) {
            if (kind.id == name) return source.id;
        }
    }
    return "";
}

std::set<std::string> checkedNames(const std::vector<std::string>& given) {
    const std::vector<std::string> known = SourceSelection::knownNames();
    std::set<std::string> names;
    for (const std::string& entry : given) {
        for (std::string_view part : split(entry, ',')) {
            const std::string name = toLower(trimView(part));
            if (name.empty()) continue;
            if (std::find(known.begin(), known.end(), name) == known.end()) {
                throw SourceSelectionError(localized("sources.unknown", {name, join(known, ", ")}));
            }
            names.insert(name);
        }
    }
    // "--only ''" (an unset variable in a script) names nothing: not taken as every source.
    if (!given.empty() && names.empty()) throw SourceSelectionError(localized("sources.none_named", {join(known, ", ")}));
    return names;
}

}  // namespace

std::vector<std::string> SourceSelection::knownNames() {
    std::vector<std::string> names(std::begin(kApplicationScanners), std::end(kApplicationScanners));
    for (const SourceRow& source : ManagerRegistry::sources()) {
        names.push_back(source.id);
        for (const KindToggle& kind : source.kindToggles) names.push_back(kind.id);
    }
    return names;
}

SourceSelection SourceSelection::parse(const std::vector<std::string>& only, const std::vector<std::string>& exclude) {
    SourceSelection selection;
    selection.only_ = checkedNames(only);
    selection.exclude_ = checkedNames(exclude);
    for (const std::string& name : selection.only_) {
        if (selection.exclude_.count(name) > 0) throw SourceSelectionError(localized("sources.both", {name}));
    }
    return selection;
}

bool SourceSelection::includesScanner(const std::string& scannerId) const {
    if (exclude_.count(scannerId) > 0) return false;
    if (only_.empty() || only_.count(scannerId) > 0) return true;
    // "--only casks" still runs Homebrew, which lists the casks.
    return std::any_of(only_.begin(), only_.end(), [&](const std::string& name) { return scannerOfKind(name) == scannerId; });
}

bool SourceSelection::includes(const std::string& scannerId, std::optional<PackageType> type) const {
    const auto kind = kindOf(type);
    auto named = [&](const std::set<std::string>& names) {
        return names.count(scannerId) > 0 || (kind && names.count(kind->first) > 0);
    };
    // "--only homebrew" shows its casks too; "--only casks" shows only them.
    if (named(exclude_)) return false;
    return only_.empty() || named(only_);
}

std::string SourceSelection::signature() const {
    std::string text;
    for (const std::string& name : only_) text += "+" + name;
    for (const std::string& name : exclude_) text += "-" + name;
    return text;
}

bool SourceSelection::includes(const AllUpdateRow& row) const { return includes(row.sourceId, row.packageType); }

}  // namespace vt::cli
