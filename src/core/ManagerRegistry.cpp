#include "core/ManagerRegistry.hpp"

#include "managers/homebrew/BrewManager.hpp"
#include "managers/javascript/BunManager.hpp"
#include "managers/python/CondaManager.hpp"
#include "managers/javascript/DenoManager.hpp"
#include "managers/javascript/NpmManager.hpp"
#include "managers/python/UvManager.hpp"
#include "managers/javascript/YarnManager.hpp"
#include "managers/python/PipManager.hpp"
#include "managers/python/PipxManager.hpp"
#include "managers/javascript/PnpmManager.hpp"

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
        {{"npm", {PackageType::NpmGlobal}, make<NpmManager>}, true, "Inventaire NPM terminé: ", "npm"},
        {{"pnpm", {PackageType::PnpmGlobal}, make<PnpmManager>}, false, "Inventaire PNPM terminé: ", "pnpm"},
        {{"yarn", {PackageType::YarnGlobal}, make<YarnManager>}, false, "Inventaire Yarn terminé: ", "yarn"},
        {{"bun", {PackageType::BunGlobal}, make<BunManager>}, false, "Inventaire Bun terminé: ", "bun"},
        {{"deno", {PackageType::DenoPackage}, make<DenoManager>}, false, "Inventaire Deno terminé: ", "deno"},
        {{"uv", {PackageType::UvTool}, make<UvManager>}, false, "Inventaire uv terminé: ", "uv"},
        // One dry run per environment, up to 120 s each, when the week-long cache is stale.
        {{"conda", {PackageType::CondaPackage}, make<CondaManager>}, false, "Inventaire Conda terminé: ", "conda",
         std::chrono::seconds(600)},
        {{"pip", {PackageType::PipPackage}, make<PipManager>}, true, "Inventaire Pip terminé: ", "pip"},
        {{"pipx", {PackageType::PipxPackage}, make<PipxManager>}, false, "Inventaire Pipx terminé: ", "pipx"},
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
