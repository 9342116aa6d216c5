#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for rustup's toolchains and rustup itself. Listing reads `rustup show` for the
// toolchains and the rustup home, each toolchain's version from the channel manifest it was
// installed from (no network), and `rustup --version`. Outdated ones come from `rustup check`
// ("Update available" lines); when the distribution server is out of reach the toolchains
// stay listed and one message says so. Updates run `rustup update CHANNEL` or `rustup self
// update`. Thread-safe.
class RustupManager final : public ToolchainManager {
public:
    static const SourceRow& source();
    // rustup's settings and its toolchains.
    std::vector<std::string> listingInputs() override;

    static constexpr double kShowTimeout = 60;
    static constexpr double kCheckTimeout = 120;
    static constexpr double kUpdateTimeout = 1800;  // a toolchain is hundreds of megabytes

    struct Shown {
        std::string rustupHome;
        std::vector<std::string> toolchains;
        std::optional<std::string> defaultToolchain;
    };
    struct CheckLine {
        std::string name;  // a toolchain, or "rustup"
        bool updateAvailable = false;
        std::string installed;  // "1.75.0 (82e1608df 2023-12-21)"
        std::string latest;     // after "->", when an update is available
    };

    RustupManager(CommandRunning& runner, const FileSystemManager& files);
    RustupManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // Never throw.
    static Shown parseShow(std::string_view text);
    static std::vector<CheckLine> parseCheck(std::string_view text);
    // "rustup 1.29.0 (28d1352db 2026-03-05)" → "1.29.0".
    static std::optional<std::string> parseSelfVersion(std::string_view text);
    // "1.97.0-nightly (e50aa6fba 2026-05-19)" → "1.97.0-nightly (2026-05-19)"; "1.95.0 (hash
    // date)" → "1.95.0": a dated channel moves within one version number.
    static std::string displayVersion(std::string_view rustVersion);
    // The channel `rustup update` takes for a toolchain: "stable", "beta" or "nightly" for
    // "stable-x86_64-unknown-linux-gnu"; the whole name otherwise.
    static std::string channelOf(std::string_view toolchain);

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    Package toolchainPackage(const std::string& name, const std::string& rustupHome) const;
    // RUSTUP_HOME, else ~/.rustup.
    std::string configuredHome() const;
};

}  // namespace vt
