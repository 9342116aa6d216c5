#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class CommandRunning;
class NetworkClient;
class PrivilegedOperations;

// Why a direct install of an appcast update stopped. The text is what the user reads.
class SparkleInstallError : public std::runtime_error {
public:
    enum class Kind {
        NonHTTPSEnclosure, HttpError, DownloadFailed, InvalidEdDSAInputs, ExtractionFailed,
        BundleIdentifierMismatch, VersionRegression, CodeSigningRegression, QuitDeclined, BundleReplaceFailed,
        ArchitectureMismatch, MissingPublicKey, MissingSignature, SignatureMismatch, BundleNotFound, Cancelled,
        RefusedSelfUpdate,
    };

    static SparkleInstallError nonHTTPSEnclosure(const std::string& url);
    static SparkleInstallError httpError(int code);
    static SparkleInstallError downloadFailed(const std::string& reason);
    static SparkleInstallError invalidEdDSAInputs(const std::string& reason);
    static SparkleInstallError extractionFailed(const std::string& reason);
    static SparkleInstallError bundleIdentifierMismatch(const std::string& expected, const std::string& actual);
    static SparkleInstallError versionRegression(const std::string& installed, const std::string& downloaded);
    static SparkleInstallError codeSigningRegression(const std::string& from, const std::string& to);
    static SparkleInstallError quitDeclined(const std::string& appName);
    static SparkleInstallError bundleReplaceFailed(const std::string& reason);
    static SparkleInstallError architectureMismatch(const std::string& installed, const std::string& replacement);
    static SparkleInstallError missingPublicKey();
    static SparkleInstallError missingSignature();
    static SparkleInstallError signatureMismatch();
    static SparkleInstallError bundleNotFound();
    static SparkleInstallError cancelled();
    static SparkleInstallError refusedSelfUpdate();

    Kind kind() const noexcept { return kind_; }

private:
    SparkleInstallError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind_;
};

inline constexpr const char* kSparkleBadSignatureReason =
    "Sparkle: invalid sparkle:edSignature (must be base64-encoded 64 bytes).";
inline constexpr const char* kSparkleBadKeyReason = "Sparkle: invalid SUPublicEDKey (must be base64-encoded 32 bytes).";

// How strongly a bundle is signed, weakest first.
struct SparkleSigningTrust {
    enum class Level { Unsigned, AdHoc, DeveloperID };
    Level level = Level::Unsigned;
    std::string teamID;  // Developer ID only

    // "unsigned", "ad-hoc" or "Developer ID (TEAM)".
    std::string text() const;
    // Reads `codesign -dv` output. A signature that is neither ad-hoc nor Developer ID (a
    // development certificate) counts as ad-hoc: signed, but by no identity we can hold a
    // later release to.
    static SparkleSigningTrust fromCodesignOutput(std::string_view output);
};

struct SparkleUpdateOutcome {
    enum class Kind { Installed, OpenedApp, Failed };
    Kind kind = Kind::Failed;
    std::string version;  // installed
    std::string message;  // openedApp and failed

    static SparkleUpdateOutcome installed(std::string version) { return {Kind::Installed, std::move(version), {}}; }
    static SparkleUpdateOutcome openedApp(std::string message) { return {Kind::OpenedApp, {}, std::move(message)}; }
    static SparkleUpdateOutcome failed(std::string message) { return {Kind::Failed, {}, std::move(message)}; }
};

// The problem with a bundle's code signature (shown to the user), or nothing when it holds.
using BundleSignatureCheck = std::function<std::optional<std::string>(const std::string& bundlePath)>;

// Installs an appcast release directly: downloads the enclosure, proves with Ed25519 that the
// key the installed application declares signed it, unpacks it, checks that the new bundle is
// the same application, newer than the one installed now, for the same processors and signed
// no weaker, then swaps the bundles. Without a key or a signature the update is handed to the application itself.
// One install per instance; cancel() may be called from any thread.
class SparkleUpdateInstaller {
public:
    struct Target {
        std::string id;
        std::string name;
        std::string bundlePath;
        std::string installedVersion;
        std::optional<std::string> installedBuildNumber;
        std::optional<std::string> publicKeyBase64;  // SUPublicEDKey
    };
    struct Release {
        std::string version;
        std::optional<std::string> buildNumber;
        std::string downloadURL;
        std::optional<std::string> signatureBase64;  // sparkle:edSignature
        std::optional<std::int64_t> expectedFileSize;
    };
    // A fraction 0...1 and a phase key ("sparkle.update.downloading"...).
    using ProgressHandler = std::function<void(double fraction, std::string_view phase)>;

    // What the installer reaches outside itself through; the defaults are the real tools.
    struct Environment {
        NetworkClient* network = nullptr;       // the process's own client when null
        CommandRunning* runner = nullptr;       // the process's own runner when null
        PrivilegedOperations* privileged = nullptr;  // no helper, no prompt when null
        BundleSignatureCheck signatureCheck;    // required: a bundle is never installed unchecked
        // Whether the user lets a running application be quit; declined when absent.
        std::function<bool(const std::string& appName)> confirmQuit;
        // Hands the update to the application; here there is no application to open, so the
        // default prints what the user does instead.
        std::function<void(const std::string& message)> openApp;
        std::string temporaryRoot;               // the system's temporary folder when empty
        std::string hdiutil = "/usr/bin/hdiutil";
        std::string codesign = "/usr/bin/codesign";
        std::string xattr = "/usr/bin/xattr";
        // No byte for this long ends the download; a large image on a slow line must still finish.
        double stallTimeoutSeconds = 60;
        double quitTimeoutSeconds = 10;
        // The two file operations of the user-space replacement; both throw
        // std::filesystem::filesystem_error. The defaults are a rename and a recursive copy
        // that keeps symbolic links as links (frameworks are full of them).
        std::function<void(const std::string& from, const std::string& to)> moveItem;
        std::function<void(const std::string& from, const std::string& to)> copyBundle;
        // Starts the application again after the update; the default opens the bundle
        // (runs its main executable here), detached from us.
        std::function<void(const std::string& bundlePath, const std::string& executable)> relaunch;
    };

    SparkleUpdateInstaller(Target target, Release release, Environment environment,
                           ProgressHandler progressHandler = {});
    ~SparkleUpdateInstaller();

    SparkleUpdateOutcome install();
    void cancel() noexcept { stop_.request_stop(); }
    bool isCancelled() const noexcept { return stop_.stop_requested(); }

    const Target& target() const noexcept { return target_; }
    const Release& release() const noexcept { return release_; }

    // Ed25519 over a whole file, read in one pass: throws invalidEdDSAInputs, signatureMismatch
    // or downloadFailed (unreadable file).
    static void verifyEd25519(const std::string& file, const std::string& publicKeyBase64,
                              const std::string& signatureBase64);

private:
    struct Work;
    void report(double fraction, std::string_view phase) const;
    void checkCancelled() const;
    std::string run(Work& work);
    std::string download(Work& work);
    std::string extract(Work& work, const std::string& archive);
    void validate(Work& work, const std::string& bundle);
    void replace(Work& work, const std::string& bundle);
    // What is installed now (read again, not the scan's record) must be older than the
    // release, or than the unpacked bundle: versionRegression otherwise.
    void refuseUnlessNewer(const std::string& version, const std::optional<std::string>& build) const;
    void refuseUnlessNewer(const std::string& bundle) const;
    // Starts again what was quit for the replacement; whether it was started.
    bool relaunchQuitApplication(const Work& work) const;

    Target target_;
    Release release_;
    Environment environment_;
    ProgressHandler progressHandler_;
    std::stop_source stop_;
};

}  // namespace vt
