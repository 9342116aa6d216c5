#include "core/ManagerRegistry.hpp"

#include "managers/BrewManager.hpp"

namespace vt {

namespace {

template <typename Adapter>
std::unique_ptr<BaseManager> make(CommandRunning& runner, const FileSystemManager& files) {
    return std::make_unique<Adapter>(runner, files);
}

}  // namespace

const std::vector<SourceRegistration>& ManagerRegistry::sources() {
    static const std::vector<SourceRegistration> registrations = {
        // One line per adapter:
        // {{catalog id, {kinds}, make<Adapter>}, core?, "completion line: ", "log tag", time limit},
        // One Homebrew adapter for both kinds: one `brew outdated` answers for formulae and
        // casks alike; "casks" stays a catalog toggle over its cask rows.
        {{"homebrew", {PackageType::BrewFormula, PackageType::BrewCask}, make<BrewManager>}, true,
         "Inventaire Brew terminé: ", "brew"},
    };
    return registrations;
}

std::vector<AdapterRegistration> ManagerRegistry::adapterRegistrations() {
    std::vector<AdapterRegistration> adapters;
    for (const auto& source : sources()) adapters.push_back(source.adapter);
    return adapters;
}

ManagerRegistry& ManagerRegistry::shared() {
    static ManagerRegistry registry;
    return registry;
}

}  // namespace vt
