#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/Application.hpp"
#include "sources/SourceSettings.hpp"

namespace vt {

class KnownSourcesError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Sources known without any network access: App Store identifiers and appcast addresses of
// well-known applications, by bundle identifier. The built-in tables are the JSON files of
// resources/ compiled into the program; immutable once built, so any thread may read them.
class KnownSources {
public:
    KnownSources() = default;
    // Each text a JSON object of bundle identifier to string. Throws KnownSourcesError.
    static KnownSources fromJson(std::string_view appStoreIdentifiers, std::string_view appcasts);
    // The tables shipped with the program, read once; empty (and logged) if one is unreadable.
    static const KnownSources& builtIn();

    std::optional<std::string> appStoreID(const std::string& bundleIdentifier) const;
    std::optional<std::string> appcastURL(const std::string& bundleIdentifier) const;
    std::size_t size() const noexcept { return appStoreIDs_.size() + appcasts_.size(); }

    // Fills in a known source when the application's mechanism is still unknown and it has no
    // latest version; the first that applies wins: a known App Store identifier, a known
    // appcast, then the application's own direct-download configuration. Returns whether it
    // changed anything.
    bool resolve(Application& application, const SourceSettings& sources) const;

private:
    std::map<std::string, std::string, std::less<>> appStoreIDs_;
    std::map<std::string, std::string, std::less<>> appcasts_;
};

// The text of a file of resources/ ("known_appcasts.json"), or nullopt when none was built in.
std::optional<std::string_view> embeddedResource(std::string_view name);

}  // namespace vt
