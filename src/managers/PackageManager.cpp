#include "managers/PackageManager.hpp"

#include <algorithm>
#include <stdexcept>

#include "base/Strings.hpp"

namespace vt {

Json PersistedPackages::toJson() const {
    Json json = Json::object();
    Json list = Json::array();
    for (const auto& package : packages) list.push_back(vt::toJson(package));
    json["packages"] = std::move(list);
    json["timestamp"] = toReferenceSeconds(timestamp);
    return json;
}

PersistedPackages PersistedPackages::fromJson(const Json& json) {
    if (!json.is_object() || !json.contains("packages") || !json["packages"].is_array()) {
        throw PackageDecodingError("Cannot decode packages: missing \"packages\"");
    }
    PersistedPackages persisted;
    for (const auto& item : json["packages"]) persisted.packages.push_back(packageFromJson(item));
    if (auto seconds = numberField(json, "timestamp")) persisted.timestamp = fromReferenceSeconds(*seconds);
    return persisted;
}

namespace {

bool isJavaScriptKind(PackageType type) {
    switch (type) {
        case PackageType::NpmGlobal:
        case PackageType::YarnGlobal:
        case PackageType::PnpmGlobal:
        case PackageType::BunGlobal:
        case PackageType::DenoPackage: return true;
        default: return false;
    }
}

std::string printable(std::string_view name) {
    std::string text;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            static const char digits[] = "0123456789abcdef";
            text += "\\x";
            text += digits[c >> 4];
            text += digits[c & 0xf];
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace

InvalidPackageNameError::InvalidPackageNameError(std::string packageName)
    : std::invalid_argument("Refusing to update \"" + printable(packageName) +
                            "\": not a package name (it begins with \"-\", or holds a path separator or a control "
                            "character)"),
      packageName_(std::move(packageName)) {}

bool PackageManager::isSafePackageName(std::string_view name, PackageType type) {
    if (name.empty() || name.front() == '-' || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '\\') return false;
    }
    const std::size_t slash = name.find('/');
    if (slash == std::string_view::npos) return true;
    // Images ("registry:5000/team/app:tag"), models ("user/model:7b") and GitHub CLI
    // extensions ("owner/gh-name") are named by a path: every segment a name of its own.
    if (type == PackageType::DockerImage || type == PackageType::OllamaModel || type == PackageType::GhExtension) {
        for (std::string_view segment : split(name, '/')) {
            if (segment.empty() || segment.front() == '-' || segment == "." || segment == "..") return false;
        }
        return true;
    }
    // One separator, with a name behind it: npm's "@scope/name", Composer's "vendor/name".
    const bool scoped = isJavaScriptKind(type) && name.front() == '@';
    const bool vendored = type == PackageType::ComposerPackage;
    if (!(scoped || vendored) || name.find('/', slash + 1) != std::string_view::npos) return false;
    std::string_view owner = scoped ? name.substr(1, slash - 1) : name.substr(0, slash);
    std::string_view rest = name.substr(slash + 1);
    return !owner.empty() && !rest.empty() && rest != "." && rest != ".." && owner != "." && owner != ".." &&
           rest.front() != '-';
}

PackageManager::PackageManager(std::vector<SourceRow> registrations, CommandRunning& runner,
                               const FileSystemManager& files, NetworkClient* network)
    : registrations_(std::move(registrations)), runner_(runner), files_(files), network_(network) {}

BaseManager* PackageManager::adapter(std::string_view id) {
    auto registration = std::find_if(registrations_.begin(), registrations_.end(),
                                     [&](const SourceRow& r) { return r.id == id; });
    if (registration == registrations_.end()) return nullptr;
    std::scoped_lock lock(mutex_);
    auto& slot = adapters_[registration->id];
    // Adapters do no work when made, so making one under the lock is safe.
    if (!slot) {
        slot = registration->make(runner_, files_);
        if (network_ != nullptr) slot->setNetwork(*network_);
    }
    return slot.get();
}

BaseManager* PackageManager::existingAdapter(std::string_view id) {
    std::scoped_lock lock(mutex_);
    auto found = adapters_.find(id);
    return found != adapters_.end() ? found->second.get() : nullptr;
}

const SourceRow* PackageManager::registrationFor(PackageType type) const {
    for (const auto& registration : registrations_) {
        if (std::find(registration.types.begin(), registration.types.end(), type) != registration.types.end()) {
            return &registration;
        }
    }
    return nullptr;
}

BaseManager* PackageManager::adapterFor(PackageType type) {
    const SourceRow* registration = registrationFor(type);
    return registration ? adapter(registration->id) : nullptr;
}

std::vector<std::string> PackageManager::registeredIds() const {
    std::vector<std::string> ids;
    for (const auto& registration : registrations_) ids.push_back(registration.id);
    return ids;
}

void PackageManager::setUpdateHandler(PackageType type, UpdateHandler handler) {
    std::scoped_lock lock(mutex_);
    updateHandlers_[type] = std::move(handler);
}

void PackageManager::requireSafeNames(const Package& package) {
    if (!isSafePackageName(package.name, package.type)) throw InvalidPackageNameError(package.name);
    // Homebrew passes "tap/name": a tap is "user/repository" and nothing else.
    const bool isBrew = package.type == PackageType::BrewFormula || package.type == PackageType::BrewCask;
    if (isBrew && package.tap && !package.tap->empty() &&
        (package.tap->front() == '-' || std::count(package.tap->begin(), package.tap->end(), '/') != 1 ||
         !isSafePackageName(package.tap->substr(package.tap->find('/') + 1), package.type) ||
         !isSafePackageName(package.tap->substr(0, package.tap->find('/')), package.type))) {
        throw InvalidPackageNameError(*package.tap + "/" + package.name);
    }
}

PackageManager::UpdateHandler PackageManager::updateHandlerFor(PackageType type) const {
    std::scoped_lock lock(mutex_);
    if (auto it = updateHandlers_.find(type); it != updateHandlers_.end()) return it->second;
    return {};
}

BaseManager& PackageManager::updatingAdapter(PackageType type) {
    BaseManager* owner = adapterFor(type);
    if (owner == nullptr) throw std::invalid_argument("No adapter updates " + std::string(rawValue(type)) + " packages");
    return *owner;
}

// Counts an update in progress for as long as it runs.
class PackageManager::ActiveUpdate {
public:
    explicit ActiveUpdate(PackageManager& manager) : manager_(manager) {
        std::scoped_lock lock(manager_.mutex_);
        ++manager_.activeUpdateCount_;
    }
    ~ActiveUpdate() {
        std::scoped_lock lock(manager_.mutex_);
        --manager_.activeUpdateCount_;
    }
    ActiveUpdate(const ActiveUpdate&) = delete;
    ActiveUpdate& operator=(const ActiveUpdate&) = delete;

private:
    PackageManager& manager_;
};

void PackageManager::updatePackage(const Package& package, std::stop_token stop) {
    requireSafeNames(package);
    if (UpdateHandler handler = updateHandlerFor(package.type)) {
        const ActiveUpdate active(*this);
        handler(package, stop);
        return;
    }
    BaseManager& owner = updatingAdapter(package.type);
    const ActiveUpdate active(*this);
    owner.update(package, stop);
}

std::optional<std::string> PackageManager::pinnedVersion(const Package& package) {
    if (updateHandlerFor(package.type)) return std::nullopt;
    BaseManager* owner = adapterFor(package.type);
    return owner != nullptr ? owner->pinnedVersion(package) : std::nullopt;
}

bool PackageManager::updatesTogether(PackageType type) {
    if (updateHandlerFor(type)) return false;
    BaseManager* owner = adapterFor(type);
    return owner != nullptr && owner->updatesTogether();
}

void PackageManager::updateTogether(const std::vector<Package>& packages, std::stop_token stop) {
    if (packages.empty()) return;
    for (const Package& package : packages) {
        requireSafeNames(package);
        if (package.type != packages.front().type) throw std::invalid_argument("Packages of several kinds updated together");
    }
    BaseManager& owner = updatingAdapter(packages.front().type);
    const ActiveUpdate active(*this);
    owner.updateTogether(packages, stop);
}

std::vector<Package> PackageManager::packages() const {
    std::scoped_lock lock(mutex_);
    return packages_;
}

void PackageManager::setPackages(std::vector<Package> packages) {
    std::scoped_lock lock(mutex_);
    packages_ = std::move(packages);
}

int PackageManager::activeUpdateCount() const {
    std::scoped_lock lock(mutex_);
    return activeUpdateCount_;
}

}  // namespace vt
