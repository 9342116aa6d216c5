#pragma once

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/PackageType.hpp"

namespace vt {
struct AllUpdateRow;
}

namespace vt::cli {

// A source name --only or --exclude does not know; the message names the known ones.
class SourceSelectionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The sources a command runs and shows: --only SRC[,SRC] keeps those, --exclude SRC[,SRC]
// leaves those out; neither keeps every source. Names are scanner ids ("npm", "homebrew",
// "apps", "software-update") or the ids of kinds with a setting of their own ("casks"),
// which select their scanner's items of that kind.
class SourceSelection {
public:
    SourceSelection() = default;
    // Throws SourceSelectionError for an unknown name.
    static SourceSelection parse(const std::vector<std::string>& only, const std::vector<std::string>& exclude);
    // Every name --only and --exclude accept, in the order of the registrations.
    static std::vector<std::string> knownNames();

    bool empty() const noexcept { return only_.empty() && exclude_.empty(); }
    // The names --only gave.
    const std::set<std::string>& only() const noexcept { return only_; }
    // Whether a scan runs this scanner.
    bool includesScanner(const std::string& scannerId) const;
    // Whether the table, the JSON and the plans show this item.
    bool includes(const std::string& scannerId, std::optional<PackageType> type) const;
    bool includes(const AllUpdateRow& row) const;
    // Tells two selections apart, for the table's cache.
    std::string signature() const;

private:
    std::set<std::string> only_;
    std::set<std::string> exclude_;
};

}  // namespace vt::cli
