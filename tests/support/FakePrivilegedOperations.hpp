#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "system/AdminPrompt.hpp"
#include "system/PrivilegedOperations.hpp"

namespace vt::test {

// Root operations done as the test's own user, so that installers and adoption can be driven
// through every outcome: the helper absent or succeeding, the prompt dismissed, failing, or
// granted (then the bundle really is copied, as root would).
class FakePrivilegedOperations final : public PrivilegedOperations {
public:
    enum class Prompt { Grant, Deny, Fail, Unavailable };

    bool helperAnswers = false;
    Prompt prompt = Prompt::Grant;
    std::vector<std::string> calls;  // "helperReplaceApp", "replace SOURCE -> DEST", "normalize N"

    std::optional<std::string> helperReplaceApp(const std::string& installed, const std::string& fresh,
                                                const std::string& backup, const std::string&) override {
        calls.push_back("helperReplaceApp");
        if (!helperAnswers) return std::string("privileged helper not installed");
        std::filesystem::rename(installed, backup);
        std::filesystem::copy(fresh, installed, std::filesystem::copy_options::recursive);
        return std::nullopt;
    }

    bool canRequestAuthorization() const override { return prompt != Prompt::Unavailable; }

    void replaceBundleWithAuthorization(const std::string& source, const std::string& destination,
                                        const std::string&, std::stop_token) override {
        calls.push_back("replace " + source + " -> " + destination);
        answer();
        std::filesystem::remove_all(destination);
        std::filesystem::copy(source, destination, std::filesystem::copy_options::recursive);
    }

    void normalizeBundlePermissions(const std::vector<std::string>& bundles, const std::string&,
                                    std::stop_token) override {
        calls.push_back("normalize " + std::to_string(bundles.size()));
        answer();
        for (const auto& bundle : bundles) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(bundle)) {
                std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                             std::filesystem::perm_options::add);
            }
        }
    }

private:
    void answer() const {
        switch (prompt) {
            case Prompt::Grant: return;
            case Prompt::Deny: throw AdminPromptError::denied();
            case Prompt::Fail: throw AdminPromptError::failed("the privileged copy failed");
            case Prompt::Unavailable: throw AdminPromptError::notAvailable();
        }
    }
};

}  // namespace vt::test
