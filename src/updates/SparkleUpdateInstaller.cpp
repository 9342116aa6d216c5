#include "updates/SparkleUpdateInstaller.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/CryptoLibrary.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "base/Uuid.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/InstalledVersionCheck.hpp"
#include "sources/inventory/MachOArchitecture.hpp"
#include "system/CommandRunner.hpp"
#include "system/DesktopLaunch.hpp"
#include "system/NetworkClient.hpp"
#include "system/PrivilegedOperations.hpp"
#include "system/RunningProcesses.hpp"
#include "system/SystemNetworkClient.hpp"
#include "updates/ArchiveExtractor.hpp"
#include "base/Localization.hpp"


namespace vt {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kDownloadMarginBytes = 1024 * 1024;

// The bundle about to be installed holds no link out of itself.
void requireSelfContained(const std::string& bundle) {
    try {
        ArchiveExtractor::requireSelfContained(bundle);
    } catch (const ArchiveError& failure) {
        throw SparkleInstallError::extractionFailed(failure.description());
    }
}

const Logger& logger() {
    static const Logger instance("SparkleUpdateInstaller");
    return instance;
}

std::string joined(std::string a, std::string_view b) {
    a += b;
    return a;
}

// Strict Base64 (standard alphabet, padding optional, no whitespace inside): nothing on any
// other character, so a mangled key is reported rather than decoded to something else.
std::optional<std::string> decodeBase64(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n')) text.remove_prefix(1);
    std::size_t padding = 0;
    while (!text.empty() && text.back() == '=' && padding < 2) {
        text.remove_suffix(1);
        ++padding;
    }
    if (text.size() % 4 == 1) return std::nullopt;
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') value = c - 'A';
        else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
        else if (c >= '0' && c <= '9') value = c - '0' + 52;
        else if (c == '+') value = 62;
        else if (c == '/') value = 63;
        else return std::nullopt;
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

std::string lowerExtension(const std::string& name) {
    std::string lower = toLower(name);
    for (const char* compound : {".tar.gz", ".tar.bz2", ".tar.xz"}) {
        if (lower.ends_with(compound)) return compound + 1;
    }
    std::size_t dot = lower.rfind('.');
    return dot == std::string::npos ? lower : lower.substr(dot + 1);
}

// The file name of the enclosure: the URL's last path component, without query or fragment.
std::string enclosureName(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    std::size_t scheme = path.find("://");
    if (scheme != std::string::npos) {
        std::size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? std::string() : path.substr(slash);
    }
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    if (name.empty() || name == "." || name == "..") return "update";
    return name;
}

CommandRequest toolRequest(const std::string& tool, std::vector<std::string> arguments, double timeout) {
    CommandRequest request;
    request.command = tool;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    request.allowNonZeroExit = false;
    return request;
}

bool insideFolder(const std::string& path, const std::string& folder) {
    std::string prefix = folder;
    if (!prefix.ends_with('/')) prefix += '/';
    return path.starts_with(prefix);
}

std::optional<std::string> infoPlistField(const std::string& bundle, std::string InfoPlistFields::*field) {
    std::optional<std::string> bytes = readFile(bundle + "/Contents/Info.plist");
    if (!bytes || bytes->size() > kMaximumInfoPlistBytes) return std::nullopt;
    std::optional<InfoPlistFields> fields = readInfoPlist(*bytes);
    if (!fields || ((*fields).*field).empty()) return std::nullopt;
    return (*fields).*field;
}

// Which processors a bundle's code covers, for the comparison below.
bool covers(AppArchitectureKind replacement, AppArchitectureKind installed) {
    if (installed == AppArchitectureKind::Unknown) return true;  // nothing known to keep
    if (replacement == AppArchitectureKind::Universal) return true;
    return replacement == installed;
}

void defaultRelaunch(const std::string& bundlePath, const std::string& executable) {
    if constexpr (kBuiltForMac) launchOnDesktop({"/usr/bin/open", bundlePath});
    else launchOnDesktop({executable});
}

}  // namespace

// ---- Errors ----

SparkleInstallError SparkleInstallError::nonHTTPSEnclosure(const std::string& url) {
    return {Kind::NonHTTPSEnclosure, joined("Sparkle enclosure must be HTTPS, got: ", url)};
}
SparkleInstallError SparkleInstallError::httpError(int code) {
    return {Kind::HttpError, joined("Sparkle download failed with HTTP ", std::to_string(code))};
}
SparkleInstallError SparkleInstallError::downloadFailed(const std::string& reason) {
    return {Kind::DownloadFailed, joined("Sparkle download failed: ", reason)};
}
SparkleInstallError SparkleInstallError::invalidEdDSAInputs(const std::string& reason) {
    std::string message = "Sparkle: invalid Ed25519 inputs (";
    message += reason;
    message += ")";
    return {Kind::InvalidEdDSAInputs, message};
}
SparkleInstallError SparkleInstallError::extractionFailed(const std::string& reason) {
    std::string message = "Sparkle: extraction failed (";
    message += reason;
    message += ")";
    return {Kind::ExtractionFailed, message};
}
SparkleInstallError SparkleInstallError::bundleIdentifierMismatch(const std::string& expected, const std::string& actual) {
    std::string message = "Sparkle: bundle identifier mismatch (expected ";
    message += expected;
    message += ", got ";
    message += actual;
    message += ")";
    return {Kind::BundleIdentifierMismatch, message};
}
SparkleInstallError SparkleInstallError::versionRegression(const std::string& installed, const std::string& downloaded) {
    std::string message = "Sparkle: downloaded version ";
    message += downloaded;
    message += " is not newer than the installed version ";
    message += installed;
    return {Kind::VersionRegression, message};
}
SparkleInstallError SparkleInstallError::codeSigningRegression(const std::string& from, const std::string& to) {
    std::string message = "Sparkle: code signing regression (";
    message += from;
    message += " → ";
    message += to;
    message += ") — refusing to weaken trust";
    return {Kind::CodeSigningRegression, message};
}
SparkleInstallError SparkleInstallError::quitDeclined(const std::string& appName) {
    return {Kind::QuitDeclined, appName + " is running and the quit prompt was declined"};
}
SparkleInstallError SparkleInstallError::bundleReplaceFailed(const std::string& reason) {
    std::string message = "Sparkle: failed to install the new bundle (";
    message += reason;
    message += ")";
    return {Kind::BundleReplaceFailed, message};
}
SparkleInstallError SparkleInstallError::architectureMismatch(const std::string& installed, const std::string& replacement) {
    std::string message = "Sparkle: architecture mismatch (installed ";
    message += installed;
    message += ", update ";
    message += replacement;
    message += ") — refusing cross-architecture replacement";
    return {Kind::ArchitectureMismatch, message};
}
SparkleInstallError SparkleInstallError::missingPublicKey() {
    return {Kind::MissingPublicKey, "Sparkle: target app has no SUPublicEDKey in its Info.plist — cannot verify the update"};
}
SparkleInstallError SparkleInstallError::missingSignature() {
    return {Kind::MissingSignature, "Sparkle: appcast enclosure is missing the sparkle:edSignature attribute"};
}
SparkleInstallError SparkleInstallError::signatureMismatch() {
    return {Kind::SignatureMismatch,
            "Sparkle: Ed25519 signature does not match — the download was tampered with or the wrong key was used"};
}
SparkleInstallError SparkleInstallError::bundleNotFound() {
    return {Kind::BundleNotFound, "Sparkle: no .app bundle found inside the archive"};
}
SparkleInstallError SparkleInstallError::cancelled() { return {Kind::Cancelled, "Sparkle update cancelled"}; }
SparkleInstallError SparkleInstallError::refusedSelfUpdate() {
    return {Kind::RefusedSelfUpdate,
            localized("sparkle.install.refused_self_update")};
}

// ---- Signing trust ----

std::string SparkleSigningTrust::text() const {
    switch (level) {
        case Level::Unsigned: return "unsigned";
        case Level::AdHoc: return "ad-hoc";
        case Level::DeveloperID: break;
    }
    std::string result = "Developer ID (";
    result += teamID;
    result += ")";
    return result;
}

SparkleSigningTrust SparkleSigningTrust::fromCodesignOutput(std::string_view output) {
    SparkleSigningTrust trust;
    if (output.find("not signed at all") != std::string_view::npos) return trust;
    std::string team;
    bool developerID = false, signedAtAll = false;
    for (std::string_view line : splitLines(output)) {
        line = trimView(line);
        if (line.starts_with("Authority=Developer ID Application")) developerID = true;
        if (line.starts_with("TeamIdentifier=")) {
            std::string_view value = line.substr(15);
            if (value != "not set") team = std::string(value);
        }
        if (line.starts_with("Signature=") || line.starts_with("Authority=") || line.starts_with("CodeDirectory")) {
            signedAtAll = true;
        }
    }
    if (developerID && !team.empty()) {
        trust.level = Level::DeveloperID;
        trust.teamID = team;
    } else if (signedAtAll) {
        trust.level = Level::AdHoc;
    }
    return trust;
}

// ---- Ed25519 ----

void SparkleUpdateInstaller::verifyEd25519(const std::string& file, const std::string& publicKeyBase64,
                                           const std::string& signatureBase64) {
    std::optional<std::string> signature = decodeBase64(signatureBase64);
    if (!signature || signature->size() != 64) throw SparkleInstallError::invalidEdDSAInputs(kSparkleBadSignatureReason);
    std::optional<std::string> key = decodeBase64(publicKeyBase64);
    if (!key || key->size() != 32) throw SparkleInstallError::invalidEdDSAInputs(kSparkleBadKeyReason);

    // Ed25519 hashes the message twice (the signature's nonce, then the message), so it takes
    // the whole file at once: the file is mapped rather than read into a buffer, which keeps it
    // to one pass over pages the kernel can drop again and no copy on our heap.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SparkleInstallError::downloadFailed(joined("cannot read the download: ", std::strerror(errno)));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        throw SparkleInstallError::downloadFailed("cannot read the download");
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    void* mapped = nullptr;
    if (size > 0) {
        mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            ::close(fd);
            throw SparkleInstallError::downloadFailed("cannot map the download");
        }
        ::madvise(mapped, size, MADV_SEQUENTIAL);
    }
    ::close(fd);

    const CryptoLibrary* crypto = CryptoLibrary::shared();
    if (crypto == nullptr) {
        if (mapped) ::munmap(mapped, size);
        throw SparkleInstallError::invalidEdDSAInputs(CryptoLibrary::failure());
    }
    bool valid = false;
    EVP_PKEY* pkey = crypto->keyFromRawPublic(EVP_PKEY_ED25519, nullptr,
                                              reinterpret_cast<const unsigned char*>(key->data()), key->size());
    EVP_MD_CTX* context = crypto->contextNew();
    if (pkey && context && crypto->verifyInit(context, nullptr, nullptr, nullptr, pkey) == 1) {
        static const unsigned char empty = 0;
        const auto* message = size > 0 ? static_cast<const unsigned char*>(mapped) : &empty;
        valid = crypto->verify(context, reinterpret_cast<const unsigned char*>(signature->data()), signature->size(),
                               message, size) == 1;
    }
    crypto->contextFree(context);
    crypto->keyFree(pkey);
    if (mapped) ::munmap(mapped, size);
    if (!pkey) throw SparkleInstallError::invalidEdDSAInputs(kSparkleBadKeyReason);
    if (!valid) throw SparkleInstallError::signatureMismatch();
}

// ---- The installer ----

struct SparkleUpdateInstaller::Work {
    std::string folder;  // "SparkleInstaller-..."
    std::vector<RunningProcess> quitProcesses;
    SparkleSigningTrust installedTrust;
};

SparkleUpdateInstaller::SparkleUpdateInstaller(Target target, Release release, Environment environment,
                                               ProgressHandler progressHandler)
    : target_(std::move(target)),
      release_(std::move(release)),
      environment_(std::move(environment)),
      progressHandler_(std::move(progressHandler)) {
    if (!environment_.moveItem) environment_.moveItem = [](const std::string& from, const std::string& to) { fs::rename(from, to); };
    if (!environment_.copyBundle) {
        environment_.copyBundle = [](const std::string& from, const std::string& to) {
            fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        };
    }
    if (!environment_.relaunch) environment_.relaunch = defaultRelaunch;
}

SparkleUpdateInstaller::~SparkleUpdateInstaller() = default;

void SparkleUpdateInstaller::report(double fraction, std::string_view phase) const {
    if (progressHandler_) progressHandler_(fraction, phase);
}

void SparkleUpdateInstaller::checkCancelled() const {
    if (isCancelled()) throw SparkleInstallError::cancelled();
}

SparkleUpdateOutcome SparkleUpdateInstaller::install() {
    Work work;
    std::string message;
    try {
        std::string version = run(work);
        if (!work.folder.empty()) {
            std::error_code ignored;
            fs::remove_all(work.folder, ignored);
        }
        if (version.empty()) return SparkleUpdateOutcome::openedApp(target_.name + ": the update is installed by the application itself");
        return SparkleUpdateOutcome::installed(version);
    } catch (const SparkleInstallError& error) {
        if (error.kind() == SparkleInstallError::Kind::Cancelled)
            logger().info(localized("log.sparkle.cancelled", {target_.name}));
        logger().error(localized("log.sparkle.install_failed", {target_.name, error.what()}));
        message = error.what();
    } catch (const CancellationError&) {
        logger().info(localized("log.sparkle.cancelled", {target_.name}));
        message = SparkleInstallError::cancelled().what();
    } catch (const std::exception& error) {
        logger().error(localized("log.sparkle.install_failed_untyped", {target_.name, error.what()}));
        message = error.what();
    }
    if (!work.folder.empty()) {
        std::error_code ignored;
        fs::remove_all(work.folder, ignored);
    }
    logger().error(localized("log.sparkle.update_failed", {target_.name, message}));
    return SparkleUpdateOutcome::failed(message);
}

// The new version when installed, empty when the update was handed to the application.
std::string SparkleUpdateInstaller::run(Work& work) {
    // 1. Preparing.
    report(0, "sparkle.update.preparing");
    checkCancelled();
    std::string bundleName = fs::path(target_.bundlePath).filename().string();
    std::error_code error;
    std::optional<std::string> ownExecutable = ownExecutablePath();
    if (toLower(bundleName) == "vantreel.app" ||
        (ownExecutable && insideFolder(*ownExecutable, fs::weakly_canonical(target_.bundlePath, error).string()))) {
        logger().error(localized("log.sparkle.self_update_refused"));
        throw SparkleInstallError::refusedSelfUpdate();
    }
    if (!toLower(release_.downloadURL).starts_with("https://")) {
        throw SparkleInstallError::nonHTTPSEnclosure(release_.downloadURL);
    }
    refuseUnlessNewer(release_.version, release_.buildNumber);
    if (!target_.publicKeyBase64 || !release_.signatureBase64) {
        logger().warning(localized("log.sparkle.delegated", {target_.name}));
        std::string why = !target_.publicKeyBase64 ? SparkleInstallError::missingPublicKey().what()
                                                   : SparkleInstallError::missingSignature().what();
        std::string instruction = "Open ";
        instruction += target_.name;
        instruction += " and install the update from its own updater (";
        instruction += why;
        instruction += ")";
        if (environment_.openApp) environment_.openApp(instruction);
        else std::printf("%s\n", instruction.c_str());
        return {};
    }
    std::string root = environment_.temporaryRoot.empty() ? fs::temp_directory_path().string() : environment_.temporaryRoot;
    std::string pattern = root + "/SparkleInstaller-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        throw SparkleInstallError::downloadFailed(joined("cannot create a temporary folder: ", std::strerror(errno)));
    }
    work.folder = pattern;

    // 2. Downloading.
    std::string archive = download(work);

    // 3. Verifying.
    checkCancelled();
    report(0, "sparkle.update.verifying");
    verifyEd25519(archive, *target_.publicKeyBase64, *release_.signatureBase64);

    // 4. Extracting.
    checkCancelled();
    report(0, "sparkle.update.extracting");
    std::string bundle = extract(work, archive);

    // 5. Validating.
    checkCancelled();
    report(0, "sparkle.update.validating");
    validate(work, bundle);
    std::string newVersion = infoPlistField(bundle, &InfoPlistFields::shortVersion).value_or(release_.version);

    // 6. Installing.
    checkCancelled();
    report(0, "sparkle.update.installing");
    replace(work, bundle);

    // 7. Done (past the replacement nothing is undone, so a late cancel is not honoured).
    report(1, "sparkle.update.done");
    const bool relaunched = relaunchQuitApplication(work);
    logger().info(localized(relaunched ? "log.sparkle.installed_relaunched" : "log.sparkle.installed_closed",
                            {target_.installedVersion, newVersion}));
    return newVersion;
}

std::string SparkleUpdateInstaller::download(Work& work) {
    checkCancelled();
    report(0, "sparkle.update.downloading");
    std::string final = work.folder + "/" + enclosureName(release_.downloadURL);
    std::string staging = final + ".download";
    HttpRequest request;
    request.url = release_.downloadURL;
    request.stallTimeoutSeconds = environment_.stallTimeoutSeconds;
    // The feed's length bounds what is written before the signature can be checked; a
    // margin lets a length a little off still pass, as the signature decides.
    if (release_.expectedFileSize && *release_.expectedFileSize > 0) {
        const auto declared = static_cast<std::uint64_t>(*release_.expectedFileSize);
        request.maxBodyBytes = declared + std::max<std::uint64_t>(declared / 10, kDownloadMarginBytes);
    }
    static NetworkClient* const processClient = new SystemNetworkClient();  // never destroyed: shared by every install
    NetworkClient& network = environment_.network ? *environment_.network : *processClient;
    auto progress = [this](const DownloadProgress& received) {
        std::optional<std::uint64_t> total = received.totalBytes;
        if (!total && release_.expectedFileSize && *release_.expectedFileSize > 0) {
            total = static_cast<std::uint64_t>(*release_.expectedFileSize);
        }
        if (total && *total > 0) {
            report(std::min(1.0, static_cast<double>(received.bytesReceived) / static_cast<double>(*total)),
                   "sparkle.update.downloading");
        }
    };
    try {
        network.download(request, staging, progress, stop_.get_token());
    } catch (const NetworkError& failure) {
        if (failure.kind() == NetworkError::Kind::InvalidResponse) {
            if (failure.statusCode() >= 100) throw SparkleInstallError::httpError(failure.statusCode());
            throw SparkleInstallError::downloadFailed("non-HTTP response");
        }
        throw SparkleInstallError::downloadFailed(failure.description());
    } catch (const CancellationError&) {
        throw SparkleInstallError::cancelled();
    } catch (const FileWriteError& failure) {
        throw SparkleInstallError::downloadFailed(failure.what());
    }
    std::error_code error;
    fs::rename(staging, final, error);
    if (error) throw SparkleInstallError::downloadFailed(joined("staging move failed: ", error.message()));
    auto received = static_cast<long long>(fs::file_size(final, error));
    // The size only warns: the signature over the whole file is what decides.
    if (release_.expectedFileSize && !error && *release_.expectedFileSize != received) {
        logger().warning(
            localized("log.sparkle.size_mismatch",
                      {target_.name, std::to_string(*release_.expectedFileSize), std::to_string(received)}));
    }
    report(1, "sparkle.update.downloading");
    return final;
}

std::string SparkleUpdateInstaller::extract(Work& work, const std::string& archive) {
    std::string extension = lowerExtension(fs::path(archive).filename().string());
    std::string preferred = fs::path(target_.bundlePath).filename().string();
    std::string pattern = work.folder + "/Extracted-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw SparkleInstallError::extractionFailed(std::strerror(errno));
    const std::string extracted = pattern;

    if (extension == "dmg") {
        if (!fs::exists(environment_.hdiutil)) {
            throw SparkleInstallError::extractionFailed("disk images cannot be opened here: hdiutil is missing");
        }
        std::string mount = work.folder + "/Mount-XXXXXX";
        if (!::mkdtemp(mount.data())) throw SparkleInstallError::extractionFailed(std::strerror(errno));
        CommandRunning& runner = environment_.runner ? *environment_.runner : CommandRunner::shared();
        CommandRequest attach = toolRequest(environment_.hdiutil, {"attach", "-nobrowse", "-mountpoint", mount, archive}, 300);
        try {
            runner.execute(attach, stop_.get_token());
        } catch (const CancellationError&) {
            throw SparkleInstallError::cancelled();
        } catch (const CommandError& failure) {
            if (failure.kind() == CommandError::Kind::Cancelled) throw SparkleInstallError::cancelled();
            throw SparkleInstallError::extractionFailed(joined("hdiutil attach failed: ", failure.what()));
        }
        // The bundle is copied out so the image can be detached at once, whatever happens next.
        std::optional<std::string> found = ArchiveExtractor::findAppBundle(mount, preferred);
        std::optional<std::string> copied;
        std::string copyError;
        if (found) {
            std::error_code error;
            std::string destination = extracted + "/" + fs::path(*found).filename().string();
            fs::copy(*found, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
            if (error) copyError = error.message();
            else copied = destination;
        }
        try {
            runner.execute(toolRequest(environment_.hdiutil, {"detach", mount, "-force"}, 60));
        } catch (const std::exception& failure) {
            logger().warning(localized("log.command_failed", {"hdiutil detach", failure.what()}));
        }
        if (!copyError.empty()) throw SparkleInstallError::extractionFailed(copyError);
        if (!found) throw SparkleInstallError::bundleNotFound();
        requireSelfContained(*copied);
        return *copied;
    }

    static const char* const kArchives[] = {"zip", "tar", "tar.gz", "tgz", "tar.bz2", "tbz", "tbz2", "tar.xz", "txz"};
    if (std::find(std::begin(kArchives), std::end(kArchives), extension) == std::end(kArchives)) {
        throw SparkleInstallError::extractionFailed(joined("unsupported archive type: ", extension));
    }
    try {
        ArchiveExtractor().extract(archive, extracted, stop_.get_token());
    } catch (const CancellationError&) {
        throw SparkleInstallError::cancelled();
    } catch (const ArchiveError& failure) {
        throw SparkleInstallError::extractionFailed(failure.description());
    }
    std::optional<std::string> found = ArchiveExtractor::findAppBundle(extracted, preferred);
    if (!found) throw SparkleInstallError::bundleNotFound();
    requireSelfContained(*found);
    return *found;
}

void SparkleUpdateInstaller::validate(Work& work, const std::string& bundle) {
    std::optional<std::string> installedID = infoPlistField(target_.bundlePath, &InfoPlistFields::bundleIdentifier);
    std::optional<std::string> newID = infoPlistField(bundle, &InfoPlistFields::bundleIdentifier);
    if (!newID || !installedID || *newID != *installedID) {
        throw SparkleInstallError::bundleIdentifierMismatch(installedID.value_or("none"), newID.value_or("none"));
    }
    refuseUnlessNewer(bundle);
    AppArchitectureKind installedArchitecture = bundleArchitecture(target_.bundlePath);
    AppArchitectureKind newArchitecture = bundleArchitecture(bundle);
    if (!covers(newArchitecture, installedArchitecture)) {
        throw SparkleInstallError::architectureMismatch(std::string(rawValue(installedArchitecture)),
                                                        std::string(rawValue(newArchitecture)));
    }

    // The signing trust may only go up.
    auto trustOf = [this](const std::string& path) {
        if (!fs::exists(environment_.codesign)) return SparkleSigningTrust{};
        CommandRunning& runner = environment_.runner ? *environment_.runner : CommandRunner::shared();
        try {
            CommandRequest request = toolRequest(environment_.codesign, {"-dv", "--verbose=2", path}, 60);
            request.allowNonZeroExit = true;  // an unsigned bundle is an answer, not a failure
            ShellCommandResult result = runner.execute(request, stop_.get_token());
            return SparkleSigningTrust::fromCodesignOutput(result.standardError + "\n" + result.standardOutput);
        } catch (const CancellationError&) {
            throw SparkleInstallError::cancelled();
        } catch (const CommandError& failure) {
            if (failure.kind() == CommandError::Kind::Cancelled) throw SparkleInstallError::cancelled();
            throw;
        }
    };
    using Level = SparkleSigningTrust::Level;
    SparkleSigningTrust from = trustOf(target_.bundlePath);
    SparkleSigningTrust to = trustOf(bundle);
    work.installedTrust = from;
    switch (from.level) {
        case Level::DeveloperID:
            if (to.level != Level::DeveloperID || to.teamID != from.teamID) {
                throw SparkleInstallError::codeSigningRegression(from.text(), to.text());
            }
            break;
        case Level::AdHoc:
            if (to.level == Level::Unsigned) throw SparkleInstallError::codeSigningRegression(from.text(), to.text());
            if (to.level == Level::DeveloperID)
                logger().info(localized("log.sparkle.adhoc_to_developer_id", {target_.name}));
            break;
        case Level::Unsigned:
            if (to.level != Level::Unsigned) {
                logger().info(localized("log.sparkle.unsigned_to_signed", {target_.name}));
            } else {
                logger().error(localized("log.sparkle.both_unsigned", {target_.name}));
            }
            break;
    }
    checkCancelled();
    if (!environment_.signatureCheck) throw std::runtime_error("no code signature check is configured");
    if (std::optional<std::string> problem = environment_.signatureCheck(bundle)) throw std::runtime_error(*problem);
}

void SparkleUpdateInstaller::refuseUnlessNewer(const std::string& version, const std::optional<std::string>& build) const {
    auto refusal = refusalToReplace(target_.name, target_.bundlePath, version, build);
    if (!refusal) return;
    if (refusal->kind == ReplacementRefusal::Kind::NotInstalled) throw SparkleInstallError::bundleReplaceFailed(refusal->message);
    throw SparkleInstallError::versionRegression(refusal->installedVersion, version);
}

void SparkleUpdateInstaller::refuseUnlessNewer(const std::string& bundle) const {
    std::optional<InstalledVersion> offered = readInstalledVersion(bundle);
    if (!offered) throw SparkleInstallError::extractionFailed("the new bundle has no readable Info.plist");
    refuseUnlessNewer(offered->version, offered->buildNumber);
}

bool SparkleUpdateInstaller::relaunchQuitApplication(const Work& work) const {
    if (work.quitProcesses.empty()) return false;
    report(1, "sparkle.update.relaunching");
    try {
        environment_.relaunch(target_.bundlePath, work.quitProcesses.front().executable);
        return true;
    } catch (const std::exception& failure) {
        logger().error(localized("log.sparkle.relaunch_failed", {target_.name, failure.what()}));
        return false;
    }
}

void SparkleUpdateInstaller::replace(Work& work, const std::string& bundle) {
    // Quitting.
    std::vector<RunningProcess> running = processesInside(target_.bundlePath);
    if (!running.empty()) {
        if (!environment_.confirmQuit || !environment_.confirmQuit(target_.name)) {
            throw SparkleInstallError::quitDeclined(target_.name);
        }
        for (const RunningProcess& process : running) ::kill(process.pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(environment_.quitTimeoutSeconds * 1000));
        auto anyAlive = [&running] {
            return std::any_of(running.begin(), running.end(),
                               [](const RunningProcess& process) { return isProcessRunning(process.pid); });
        };
        while (anyAlive() && std::chrono::steady_clock::now() < deadline) {
            checkCancelled();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (anyAlive()) throw SparkleInstallError::bundleReplaceFailed(target_.name + " did not quit");
        work.quitProcesses = running;
        // An application may install an update of its own as it quits.
        try {
            refuseUnlessNewer(bundle);
        } catch (const SparkleInstallError&) {
            relaunchQuitApplication(work);
            throw;
        }
    }
    checkCancelled();

    std::string backup = target_.bundlePath + ".vt-backup-" + Uuid::random().toString();
    std::error_code ignored;
    if (environment_.privileged) {
        std::optional<std::string> helperFailure =
            environment_.privileged->helperReplaceApp(target_.bundlePath, bundle, backup, work.installedTrust.teamID);
        if (!helperFailure) {
            fs::remove_all(backup, ignored);
            return;
        }
        logger().warning(localized("log.sparkle.privileged_failed", {target_.name, *helperFailure}));
    }

    auto refusedByMacOS = [](const fs::filesystem_error& failure) {
        return kBuiltForMac && (failure.code() == std::errc::operation_not_permitted);
    };
    auto appManagementText = [this] {
        return localized("sparkle.install.blocked_by_macos", {target_.name});
    };
    try {
        environment_.moveItem(target_.bundlePath, backup);
    } catch (const fs::filesystem_error& failure) {
        if (refusedByMacOS(failure)) throw SparkleInstallError::bundleReplaceFailed(appManagementText());
        throw SparkleInstallError::bundleReplaceFailed(joined("backup move failed: ", failure.code().message()));
    }
    try {
        environment_.copyBundle(bundle, target_.bundlePath);
    } catch (const fs::filesystem_error& failure) {
        // The installed application comes back as it was.
        fs::remove_all(target_.bundlePath, ignored);
        fs::rename(backup, target_.bundlePath, ignored);
        if (ignored) logger().error(localized("log.sparkle.backup_kept", {target_.name, backup, ignored.message()}));
        if (refusedByMacOS(failure)) throw SparkleInstallError::bundleReplaceFailed(appManagementText());
        throw SparkleInstallError::bundleReplaceFailed(joined("copy failed: ", failure.code().message()));
    }
    if (fs::exists(environment_.xattr)) {
        CommandRunning& runner = environment_.runner ? *environment_.runner : CommandRunner::shared();
        try {
            CommandRequest request = toolRequest(environment_.xattr, {"-dr", "com.apple.quarantine", target_.bundlePath}, 60);
            request.allowNonZeroExit = true;  // no attribute to remove is fine
            runner.execute(request);
        } catch (const std::exception& failure) {
            logger().warning(localized("log.sparkle.quarantine_failed", {failure.what()}));
        }
    }
    fs::remove_all(backup, ignored);
}

}  // namespace vt
