#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vt {

class SecretStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Secrets the user gives us (an API token), each in a file of its own that only its owner
// may read (0600) in a folder of its own (0700) inside the config folder. Values never
// appear in messages: errors name the entry, not what it holds.
class SecretStore {
public:
    // The "secrets" folder inside paths::configFolder().
    SecretStore();
    explicit SecretStore(std::string folder);

    // Nothing when the entry is absent, empty or unreadable.
    std::optional<std::string> read(std::string_view name) const;
    // Throws SecretStoreError for an empty value, a name that is not a plain file name, or a
    // file that cannot be written.
    void save(std::string_view name, std::string_view value) const;
    // Whether there was an entry; throws SecretStoreError when it cannot be removed.
    bool remove(std::string_view name) const;

    const std::string& folder() const noexcept { return folder_; }

private:
    std::string pathOf(std::string_view name) const;
    std::string folder_;
};

}  // namespace vt
