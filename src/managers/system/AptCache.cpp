#include "managers/system/AptCache.hpp"

#include "base/Cancellation.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"

#if VT_HAVE_APT_PKG
#include <apt-pkg/cachefile.h>
#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/init.h>
#include <apt-pkg/pkgcache.h>
#include <apt-pkg/pkgsystem.h>
#include <apt-pkg/policy.h>
#include <apt-pkg/version.h>
#endif

#include <algorithm>
#include <mutex>

namespace vt {

#if VT_HAVE_APT_PKG

namespace {

std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

// Every error and warning the library queued, oldest first; the queue is left empty.
std::string takeErrors() {
    std::vector<std::string> lines;
    std::string line;
    while (_error->PopMessage(line)) lines.push_back(line);
    return join(lines, "; ");
}

bool endsWithSecurity(const char* text) { return text != nullptr && endsWith(std::string_view(text), "-security"); }

AptCache::Upgrade upgradeOf(pkgCache::PkgIterator package, pkgCache::VerIterator installed,
                            pkgCache::VerIterator candidate) {
    AptCache::Upgrade upgrade{.name = package.FullName(true), .installed = installed.VerStr(),
                              .candidate = candidate.VerStr()};
    // "Debian:12.15/oldstable [amd64], Debian-Security:12/oldstable-security [amd64]"
    const std::string archives = candidate.RelStr();
    for (std::string_view archive : split(archives, ',')) {
        std::string text = trim(archive);
        if (const std::size_t bracket = text.rfind(" ["); bracket != std::string::npos) text.erase(bracket);
        if (!text.empty()) upgrade.archives.push_back(std::move(text));
    }
    for (pkgCache::VerFileIterator file = candidate.FileList(); !file.end(); ++file) {
        // The suite ("bookworm-security", "jammy-security") or its alias ("oldstable-security").
        if (endsWithSecurity(file.File().Archive()) || endsWithSecurity(file.File().Codename())) upgrade.isSecurity = true;
        const pkgCache::PkgFileIterator origin = file.File();
        auto text = [](const char* field) { return std::string(field != nullptr ? field : ""); };
        if (text(origin.Archive()) == "now") continue;
        upgrade.origins.push_back(text(origin.Origin()) + ":" + text(origin.Codename()) + "/" + text(origin.Archive()));
    }
    std::sort(upgrade.origins.begin(), upgrade.origins.end());
    upgrade.origins.erase(std::unique(upgrade.origins.begin(), upgrade.origins.end()), upgrade.origins.end());
    upgrade.architecture = candidate.Arch() != nullptr ? candidate.Arch() : "";
    return upgrade;
}

}  // namespace

bool AptCache::isAvailable() noexcept { return true; }

AptCache::Reading AptCache::read(std::stop_token stop, const std::string& cacheFolder) {
    std::scoped_lock lock(libraryMutex());
    _error->Discard();
    Reading reading;
    // The configuration of a previous read (another APT_CONFIG) must not leak into this one.
    _config->Clear();
    if (!pkgInitConfig(*_config) || !pkgInitSystem(*_config, _system)) {
        reading.failure = takeErrors();
        return reading;
    }
    if (!cacheFolder.empty() && paths::ensureFolder(cacheFolder)) {
        _config->Set("Dir::Cache::pkgcache", cacheFolder + "/pkgcache.bin");
        _config->Set("Dir::Cache::srcpkgcache", cacheFolder + "/srcpkgcache.bin");
    }
    // Read-only: no lock is taken, and a cache apt is not allowed to write is built in memory.
    pkgCacheFile cacheFile;
    pkgCache* cache = cacheFile.GetPkgCache();
    pkgPolicy* policy = cache != nullptr ? cacheFile.GetPolicy() : nullptr;
    if (cache == nullptr || policy == nullptr || _error->PendingError()) {
        reading.failure = takeErrors();
        if (reading.failure->empty()) reading.failure = "apt's package cache could not be read";
        return reading;
    }
    for (pkgCache::PkgIterator package = cache->PkgBegin(); !package.end(); ++package) {
        if (stop.stop_requested()) throw CancellationError();
        pkgCache::VerIterator installed = package.CurrentVer();
        if (installed.end()) continue;
        pkgCache::VerIterator candidate = policy->GetCandidateVer(package);
        if (candidate.end() || candidate->ID == installed->ID) continue;
        if (_system->VS->CmpVersion(candidate.VerStr(), installed.VerStr()) <= 0) continue;
        (package->SelectedState == pkgCache::State::Hold ? reading.held : reading.upgrades)
            .push_back(upgradeOf(package, installed, candidate));
    }
    _error->Discard();  // warnings about a list apt could not parse do not stop apt either
    // The cache's hash order means nothing to a reader.
    for (std::vector<Upgrade>* list : {&reading.upgrades, &reading.held}) {
        std::sort(list->begin(), list->end(), [](const Upgrade& a, const Upgrade& b) { return a.name < b.name; });
    }
    return reading;
}

#else

bool AptCache::isAvailable() noexcept { return false; }

AptCache::Reading AptCache::read(std::stop_token, const std::string&) {
    return Reading{.upgrades = {}, .held = {}, .failure = "built without Debian's apt library"};
}

#endif

}  // namespace vt
