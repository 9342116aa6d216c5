#include "system/SecretStore.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Files.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

bool isEntryName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name.front() == '.') return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) return false;
    }
    return true;
}

}  // namespace

SecretStore::SecretStore() : SecretStore(paths::configFolder() + "/secrets") {}

SecretStore::SecretStore(std::string folder) : folder_(std::move(folder)) {}

std::string SecretStore::pathOf(std::string_view name) const {
    if (!isEntryName(name)) {
        std::string message = "invalid secret name \"";
        message += sanitizeUtf8(name);
        throw SecretStoreError(message + "\"");
    }
    std::string path = folder_;
    path += '/';
    path += name;
    return path;
}

std::optional<std::string> SecretStore::read(std::string_view name) const {
    if (!isEntryName(name)) return std::nullopt;
    std::optional<std::string> text = readFile(pathOf(name));
    if (!text) return std::nullopt;
    std::string value = trim(*text);
    if (value.empty()) return std::nullopt;
    return value;
}

void SecretStore::save(std::string_view name, std::string_view value) const {
    const std::string path = pathOf(name);
    if (trimView(value).empty()) throw SecretStoreError("refusing to save an empty secret");
    if (!paths::ensureFolder(folder_)) throw SecretStoreError("cannot create the folder " + folder_);
    ::chmod(folder_.c_str(), 0700);
    try {
        writeFileAtomically(path, std::string(trimView(value)) + "\n", 0600);
    } catch (const std::exception&) {
        // The writer's message is about the file, never its contents; kept short all the same.
        std::string message = "cannot save the secret ";
        message += name;
        throw SecretStoreError(message + " in " + folder_);
    }
}

bool SecretStore::remove(std::string_view name) const {
    const std::string path = pathOf(name);
    if (::unlink(path.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    throw SecretStoreError("cannot remove " + path + ": " + std::strerror(errno));
}

}  // namespace vt
