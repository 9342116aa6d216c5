// apt's cache reader, built as a module of its own that the apt source opens when it reads the
// cache: Debian's library and the ten it loads (compression, udev, systemd, gcrypt) would
// otherwise be mapped and bound at every start of every command.
#include <unistd.h>

#include <apt-pkg/aptconfiguration.h>
#include <apt-pkg/cachefile.h>
#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/init.h>
#include <apt-pkg/pkgcache.h>
#include <apt-pkg/pkgsystem.h>
#include <apt-pkg/policy.h>
#include <apt-pkg/version.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/system/AptCache.hpp"

namespace vt {

namespace {

std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

// Every error and warning the library queued, oldest first; the queue is left empty.
std::string takeErrors() {
    std::string lines;
    std::string line;
    while (_error->PopMessage(line)) {
        if (!lines.empty()) lines += "; ";
        lines += line;
    }
    return lines;
}

bool endsWithSecurity(const char* text) {
    const std::string_view suffix = "-security";
    const std::string_view value = text != nullptr ? text : "";
    return value.size() >= suffix.size() && value.substr(value.size() - suffix.size()) == suffix;
}

std::string trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

AptCache::Upgrade upgradeOf(pkgCache::PkgIterator package, pkgCache::VerIterator installed,
                            pkgCache::VerIterator candidate) {
    AptCache::Upgrade upgrade{.name = package.FullName(true), .installed = installed.VerStr(),
                              .candidate = candidate.VerStr()};
    // "Debian:12.15/oldstable [amd64], Debian-Security:12/oldstable-security [amd64]"
    const std::string archives = candidate.RelStr();
    for (std::size_t start = 0; start <= archives.size();) {
        std::size_t comma = archives.find(',', start);
        if (comma == std::string::npos) comma = archives.size();
        std::string text = trimmed(std::string_view(archives).substr(start, comma - start));
        start = comma + 1;
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

// apt keeps a binary cache of its lists of its own where the system lets it, and `apt update`
// rebuilds it: newer than ours, it is built from the same lists. Ours then becomes a link to
// it. apt checks a linked cache as any other and reads it in place; one that no longer
// matches the lists is rebuilt into our folder, replacing the link, never written through it.
void followNewerSystemCache(const std::string& system, const std::string& ours) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (system.empty() || !fs::is_regular_file(system, error) || ::access(system.c_str(), R_OK) != 0) return;
    const fs::file_status status = fs::symlink_status(ours, error);
    if (fs::is_symlink(status)) {
        if (fs::read_symlink(ours, error) == fs::path(system)) return;
    } else if (fs::exists(status)) {
        std::error_code oursError;
        const auto systemTime = fs::last_write_time(system, error);
        const auto oursTime = fs::last_write_time(ours, oursError);
        if (error || oursError || oursTime >= systemTime) return;
    }
    const std::string link = ours + ".link-" + std::to_string(::getpid());
    fs::remove(link, error);
    fs::create_symlink(system, link, error);
    if (!error) fs::rename(link, ours, error);
    if (error) fs::remove(link, error);
}

const char* readCache(const std::stop_token& stop, const std::string& cacheFolder, AptCache::Reading& reading) {
    std::scoped_lock lock(libraryMutex());
    _error->Discard();
    // The configuration of a previous read (another APT_CONFIG) must not leak into this one.
    _config->Clear();
    if (!pkgInitConfig(*_config) || !pkgInitSystem(*_config, _system)) {
        reading.failure = takeErrors();
        return nullptr;
    }
    // apt asks dpkg for its foreign architectures at several points of building the cache, a
    // child process each time: asked here, the answer is kept in this read's configuration,
    // as if apt.conf named them.
    const std::vector<std::string> architectures = APT::Configuration::getArchitectures(false);
    _config->Clear("APT::Architectures");
    for (const std::string& architecture : architectures) _config->Set("APT::Architectures::", architecture);
    std::error_code folderError;
    if (!cacheFolder.empty() && (std::filesystem::create_directories(cacheFolder, folderError), !folderError)) {
        // Only the lists' part is kept: dpkg's status changes with every install, and its part
        // is built in memory faster than it is written out for the next read.
        const std::string ours = cacheFolder + "/srcpkgcache.bin";
        followNewerSystemCache(_config->FindFile("Dir::Cache::srcpkgcache"), ours);
        _config->Set("Dir::Cache::pkgcache", "");
        _config->Set("Dir::Cache::srcpkgcache", ours);
    }
    // Read-only: no lock is taken, and a cache apt is not allowed to write is built in memory.
    pkgCacheFile cacheFile;
    pkgCache* cache = cacheFile.GetPkgCache();
    pkgPolicy* policy = cache != nullptr ? cacheFile.GetPolicy() : nullptr;
    if (cache == nullptr || policy == nullptr || _error->PendingError()) {
        reading.failure = takeErrors();
        if (reading.failure->empty()) reading.failure = "apt's package cache could not be read";
        return nullptr;
    }
    for (pkgCache::PkgIterator package = cache->PkgBegin(); !package.end(); ++package) {
        if (stop.stop_requested()) return "cancelled";
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
    for (std::vector<AptCache::Upgrade>* list : {&reading.upgrades, &reading.held}) {
        std::sort(list->begin(), list->end(),
                  [](const AptCache::Upgrade& a, const AptCache::Upgrade& b) { return a.name < b.name; });
    }
    return nullptr;
}

}  // namespace

}  // namespace vt

// The one entry point, resolved by name when the apt source opens this module; built with
// the program, so the two agree on these types. Gives "cancelled" when stopped between
// packages, else null. Nothing is thrown across: the program carries its own C++ runtime,
// and this module uses the shared one.
extern "C" __attribute__((visibility("default"))) const char* vantreel_apt_read(const std::stop_token* stop,
                                                                               const std::string* cacheFolder,
                                                                               vt::AptCache::Reading* reading) {
    try {
        return vt::readCache(*stop, *cacheFolder, *reading);
    } catch (const std::exception& error) {
        reading->failure = std::string("apt's package cache could not be read: ") + error.what();
    } catch (...) {
        reading->failure = "apt's package cache could not be read";
    }
    return nullptr;
}
