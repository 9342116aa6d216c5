#include "managers/PackageManager.hpp"

#include <algorithm>
#include <stdexcept>

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

PackageManager::PackageManager(std::vector<AdapterRegistration> registrations, CommandRunning& runner,
                               const FileSystemManager& files)
    : registrations_(std::move(registrations)), runner_(runner), files_(files) {}

BaseManager* PackageManager::adapter(std::string_view id) {
    auto registration = std::find_if(registrations_.begin(), registrations_.end(),
                                     [&](const AdapterRegistration& r) { return r.id == id; });
    if (registration == registrations_.end()) return nullptr;
    std::scoped_lock lock(mutex_);
    auto& slot = adapters_[registration->id];
    // Adapters do no work when made, so making one under the lock is safe.
    if (!slot) slot = registration->make(runner_, files_);
    return slot.get();
}

const AdapterRegistration* PackageManager::registrationFor(PackageType type) const {
    for (const auto& registration : registrations_) {
        if (std::find(registration.types.begin(), registration.types.end(), type) != registration.types.end()) {
            return &registration;
        }
    }
    return nullptr;
}

BaseManager* PackageManager::adapterFor(PackageType type) {
    const AdapterRegistration* registration = registrationFor(type);
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

void PackageManager::updatePackage(const Package& package, std::stop_token stop) {
    UpdateHandler handler;
    {
        std::scoped_lock lock(mutex_);
        if (auto it = updateHandlers_.find(package.type); it != updateHandlers_.end()) handler = it->second;
    }
    BaseManager* owner = handler ? nullptr : adapterFor(package.type);
    if (!handler && owner == nullptr) {
        throw std::invalid_argument("No adapter updates " + std::string(rawValue(package.type)) + " packages");
    }
    {
        std::scoped_lock lock(mutex_);
        ++activeUpdateCount_;
    }
    struct Done {
        PackageManager* self;
        ~Done() {
            std::scoped_lock lock(self->mutex_);
            --self->activeUpdateCount_;
        }
    } done{this};
    if (handler) {
        handler(package, stop);
    } else {
        owner->update(package, stop);
    }
}

std::vector<Package> PackageManager::packages() const {
    std::scoped_lock lock(mutex_);
    return packages_;
}

void PackageManager::setPackages(std::vector<Package> packages) {
    std::scoped_lock lock(mutex_);
    packages_ = std::move(packages);
}

bool PackageManager::isInstalled(std::string_view id) const {
    std::scoped_lock lock(mutex_);
    auto it = installed_.find(id);
    return it != installed_.end() && it->second;
}

void PackageManager::setInstalled(std::string_view id, bool installed) {
    std::scoped_lock lock(mutex_);
    installed_[std::string(id)] = installed;
}

int PackageManager::activeUpdateCount() const {
    std::scoped_lock lock(mutex_);
    return activeUpdateCount_;
}

}  // namespace vt
