#include "support/Fixtures.hpp"

#include <stdexcept>

#include "base/Files.hpp"
#include "base/Strings.hpp"
#include "support/BuildPaths.hpp"

namespace vt::testing {

std::string fixturePath(std::string_view tool, std::string_view name) {
    return sourceDir() + "/tests/managers/fixtures/" + std::string(tool) + "/" + std::string(name);
}

std::string fixture(std::string_view tool, std::string_view name) {
    const std::string path = fixturePath(tool, name);
    std::optional<std::string> text = readFile(path);
    if (!text) throw std::runtime_error("missing fixture " + path);
    if (startsWith(*text, "# ")) text->erase(0, text->find('\n') + 1);
    return *text;
}

Package savedPackage(PackageType type, std::string name, std::string version, std::string latest) {
    Package package;
    package.type = type;
    package.name = std::move(name);
    package.version = std::move(version);
    package.latestVersion = std::move(latest);
    return package;
}

Application sparkleApplication(std::string name, std::string bundleIdentifier, std::string version,
                               std::string latest, Clock::Duration age) {
    Application application;
    application.bundlePath = "/Applications/" + name + ".app";
    application.name = std::move(name);
    application.bundleIdentifier = std::move(bundleIdentifier);
    application.version = std::move(version);
    application.latestVersion = std::move(latest);
    application.updateMechanism = UpdateMechanism::Sparkle;
    application.publishDate = std::chrono::system_clock::now() - age;
    return application;
}

const Package* find(const std::vector<Package>& packages, std::string_view name) {
    for (const Package& package : packages) {
        if (package.name == name) return &package;
    }
    return nullptr;
}

}  // namespace vt::testing
