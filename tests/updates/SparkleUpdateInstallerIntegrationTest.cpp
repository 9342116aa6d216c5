#include "updates/SparkleUpdateInstaller.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "support/FakePrivilegedOperations.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"
#include "system/CommandRunner.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::LoopbackRoute;
using testing::LoopbackServer;
using testing::TempDir;
using testing::TempHome;

std::string base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                 reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

struct KeyPair {
    EVP_PKEY* key = nullptr;
    KeyPair() {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
    }
    ~KeyPair() { EVP_PKEY_free(key); }
    std::string publicBase64() const {
        std::string raw(32, '\0');
        std::size_t length = raw.size();
        EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length);
        return base64(raw);
    }
    std::string sign(std::string_view message) const {
        std::string signature(64, '\0');
        std::size_t length = signature.size();
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size());
        EVP_MD_CTX_free(context);
        return base64(signature);
    }
};

// A thin Mach-O header: the magic number, then the CPU type.
std::string machO(std::uint32_t cpu) {
    std::string bytes(32, '\0');
    const std::uint32_t words[] = {0xfeedfacfu, cpu};
    std::memcpy(bytes.data(), words, sizeof words);
    return bytes;
}
constexpr std::uint32_t kIntel = 0x01000007, kArm = 0x0100000c;

struct BundleSpec {
    std::string identifier = "com.example.foo";
    std::string version = "2.0";
    std::string trust;  // what the fake codesign prints; empty: unsigned
    std::uint32_t cpu = kIntel;
    bool brokenSignature = false;
};

void writeBundle(const std::string& path, const BundleSpec& spec) {
    fs::create_directories(path + "/Contents/MacOS");
    writeFileAtomically(path + "/Contents/Info.plist",
                        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
                            spec.identifier + "</string><key>CFBundleShortVersionString</key><string>" + spec.version +
                            "</string><key>CFBundleExecutable</key><string>Foo</string></dict></plist>");
    writeFileAtomically(path + "/Contents/MacOS/Foo", machO(spec.cpu), 0755);
    std::error_code ignored;
    fs::remove(path + "/Contents/_trust", ignored);
    if (!spec.trust.empty()) writeFileAtomically(path + "/Contents/_trust", spec.trust);
    if (spec.brokenSignature) writeFileAtomically(path + "/Contents/_broken", "");
}

// Zips every file under `folder`, named relative to it.
std::string zipFolder(const std::string& folder) {
    std::string bytes;
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_open(a, &bytes, nullptr,
                       [](archive*, void* out, const void* data, size_t size) -> la_ssize_t {
                           static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
                           return static_cast<la_ssize_t>(size);
                       },
                       nullptr);
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (!item.is_regular_file()) continue;
        std::string content = *readFile(item.path().string());
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, fs::relative(item.path(), folder).c_str());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0755);
        archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
        archive_write_header(a, entry);
        archive_write_data(a, content.data(), content.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
    return bytes;
}

// Every file of a tree with its contents, to prove a bundle was not touched.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file()) files[fs::relative(item.path(), folder).string()] = *readFile(item.path().string());
    }
    return files;
}

class SparkleUpdateInstallerTest : public ::testing::Test {
protected:
    TempHome home;
    TempDir work{"vt-sparkle"};
    LoopbackServer server{LoopbackServer::Options{.workerThreads = 4, .tls = true}};
    std::unique_ptr<SystemNetworkClient> network;
    KeyPair key;
    test::FakePrivilegedOperations privileged;
    std::string installed;
    std::string codesign;
    std::vector<std::string> phases;

    void SetUp() override {
        ::setenv("SSL_CERT_FILE", server.certificatePath().c_str(), 1);
        network = std::make_unique<SystemNetworkClient>(SystemNetworkClient::Options{.caFile = server.certificatePath()});
        installed = home.path() + "/Applications/Foo.app";
        writeBundle(installed, {.version = "1.0"});
        codesign = work.writeExecutable("codesign",
                                        "#!/bin/sh\nif [ -f \"$3/Contents/_trust\" ]; then cat \"$3/Contents/_trust\" >&2; "
                                        "exit 0; fi\necho \"$3: code object is not signed at all\" >&2\nexit 1\n");
    }

    // Serves `archive` as /Foo.zip (or `name`) and returns the release signed over it.
    SparkleUpdateInstaller::Release serve(const std::string& archive, const std::string& name = "Foo.zip") {
        server.setRoute("/" + name, LoopbackRoute{.body = archive, .contentType = "application/octet-stream"});
        return {.version = "2.0", .downloadURL = "https://127.0.0.1:" + std::to_string(server.port()) + "/" + name,
                .signatureBase64 = key.sign(archive), .expectedFileSize = static_cast<std::int64_t>(archive.size())};
    }
    std::string zipOf(const BundleSpec& spec, const std::string& bundleName = "Foo.app") {
        TempDir staging;
        writeBundle(staging.path() + "/" + bundleName, spec);
        return zipFolder(staging.path());
    }
    SparkleUpdateInstaller::Target target() {
        return {.id = "foo", .name = "Foo", .bundlePath = installed, .installedVersion = "1.0",
                .publicKeyBase64 = key.publicBase64()};
    }
    SparkleUpdateInstaller::Environment environment() {
        SparkleUpdateInstaller::Environment environment;
        environment.network = network.get();
        environment.privileged = &privileged;
        environment.codesign = codesign;
        environment.temporaryRoot = work.path();
        environment.signatureCheck = [](const std::string& bundle) -> std::optional<std::string> {
            if (fs::exists(bundle + "/Contents/_broken")) return "Signature de code invalide";
            return std::nullopt;
        };
        return environment;
    }
    SparkleUpdateOutcome install(SparkleUpdateInstaller::Target target, SparkleUpdateInstaller::Release release,
                                 SparkleUpdateInstaller::Environment environment) {
        SparkleUpdateInstaller installer(std::move(target), std::move(release), std::move(environment),
                                         [this](double, std::string_view phase) {
                                             if (phases.empty() || phases.back() != phase) phases.emplace_back(phase);
                                         });
        return installer.install();
    }
    std::string installedVersion() const {
        std::string plist = *readFile(installed + "/Contents/Info.plist");
        return plist.find("<string>2.0</string>") != std::string::npos ? "2.0" : "1.0";
    }
    // Nothing but the bundle in ~/Applications and nothing left in the temporary folder.
    void expectNoLeftovers() const {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(home.path() + "/Applications")) names.push_back(item.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"Foo.app"});
        for (const auto& item : fs::directory_iterator(work.path())) EXPECT_EQ(item.path().filename(), "codesign");
    }
};

TEST_F(SparkleUpdateInstallerTest, InstallsAVerifiedUpdateThroughEachPhaseAndEachReplacement) {
    LogCapture log;
    SparkleUpdateInstaller::Release release = serve(zipOf({.version = "2.0"}));
    release.expectedFileSize = 12;
    SparkleUpdateOutcome outcome = install(target(), release, environment());
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    EXPECT_EQ(outcome.version, "2.0");
    EXPECT_EQ(installedVersion(), "2.0");
    EXPECT_EQ(phases, (std::vector<std::string>{"sparkle.update.preparing", "sparkle.update.downloading",
                                                "sparkle.update.verifying", "sparkle.update.extracting",
                                                "sparkle.update.validating", "sparkle.update.installing",
                                                "sparkle.update.done"}));
    EXPECT_TRUE(log.contains("Sparkle download size mismatch for Foo: expected 12 bytes, got"));
    EXPECT_TRUE(log.contains("Sparkle privileged replacement failed for Foo, falling back to user-space replace: "
                             "privileged helper not installed"));
    EXPECT_TRUE(log.contains("both old and new bundles unsigned, trusting EdDSA alone"));
    EXPECT_TRUE(log.contains("Sparkle install OK: 1.0 → 2.0 (kept closed)"));
    expectNoLeftovers();

    // The privileged helper, when it answers, does the replacement itself; the trust goes up.
    writeBundle(installed, {.version = "1.0", .trust = "Signature=adhoc\n"});
    privileged.helperAnswers = true;
    outcome = install(target(), serve(zipOf({.trust = "Authority=Developer ID Application: Ex (T1)\nTeamIdentifier=T1\n"})),
                      environment());
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    EXPECT_EQ(privileged.calls.back(), "helperReplaceApp");
    EXPECT_TRUE(log.contains("Sparkle: Foo — upgrading from ad-hoc to Developer ID"));
    expectNoLeftovers();

    // A disk image goes through hdiutil (here a stand-in that unpacks a zip at the mount point).
    std::string calls = work.file("hdiutil-calls");
    SparkleUpdateInstaller::Environment withImages = environment();
    withImages.hdiutil = work.writeExecutable(
        "hdiutil", "#!/bin/sh\necho \"$1\" >> " + calls + "\n[ \"$1\" = attach ] && exec /usr/bin/unzip -q \"$5\" -d \"$4\"\nexit 0\n");
    writeBundle(installed, {.version = "1.0"});
    outcome = install(target(), serve(zipOf({.version = "2.0"}), "Foo.dmg"), withImages);
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    EXPECT_EQ(*readFile(calls), "attach\ndetach\n");

    // Two bundles in one archive: the one named like the installed application is the update.
    TempDir staging;
    writeBundle(staging.path() + "/Aaa.app", {.identifier = "com.example.other"});
    writeBundle(staging.path() + "/Foo.app", {.version = "2.0"});
    writeBundle(installed, {.version = "1.0"});
    outcome = install(target(), serve(zipFolder(staging.path())), environment());
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
}

TEST_F(SparkleUpdateInstallerTest, EveryRefusalBeforeTheReplacementLeavesTheInstalledBundleUntouched) {
    const std::string devID = "Authority=Developer ID Application: Ex (T1)\nTeamIdentifier=T1\n";
    const std::string good = zipOf({.version = "2.0"});
    KeyPair other;
    struct Case {
        std::string name;
        std::function<void(SparkleUpdateInstaller::Target&, SparkleUpdateInstaller::Release&)> change;
        std::string message;
    };
    std::vector<Case> cases = {
        {"self", [&](auto& t, auto&) { t.bundlePath = home.path() + "/Applications/Vantreel.app"; },
         "Sparkle: refusing to install an update for Van Treel"},
        {"http", [](auto&, auto& r) { r.downloadURL.replace(0, 5, "http"); }, "Sparkle enclosure must be HTTPS, got: http://"},
        {"63 bytes", [&](auto&, auto& r) { r.signatureBase64 = base64(std::string(63, 'x')); },
         std::string("Sparkle: invalid Ed25519 inputs (") + kSparkleBadSignatureReason + ")"},
        {"short key", [&](auto& t, auto&) { t.publicKeyBase64 = base64(std::string(31, 'k')); },
         std::string("Sparkle: invalid Ed25519 inputs (") + kSparkleBadKeyReason + ")"},
        {"other key", [&](auto&, auto& r) { r.signatureBase64 = other.sign(good); },
         "Sparkle: Ed25519 signature does not match"},
        {"changed byte", [&](auto&, auto& r) { std::string changed = good; changed[changed.size() / 2] ^= 1; serve(changed); (void)r; },
         "Sparkle: Ed25519 signature does not match"},
        {"404", [&](auto&, auto& r) { r.downloadURL += "-missing"; }, "Sparkle download failed with HTTP 404"},
        {"older", [&](auto&, auto& r) { r = serve(zipOf({.version = "0.9"})); }, "Sparkle: downloaded version 0.9 is older"},
        {"identifier", [&](auto&, auto& r) { r = serve(zipOf({.identifier = "com.example.bar"})); },
         "Sparkle: bundle identifier mismatch (expected com.example.foo, got com.example.bar)"},
        {"architecture", [&](auto&, auto& r) { r = serve(zipOf({.cpu = kArm})); },
         "Sparkle: architecture mismatch (installed intel, update appleSilicon) — refusing cross-architecture replacement"},
        {"other team", [&](auto&, auto& r) {
             writeBundle(installed, {.version = "1.0", .trust = devID});
             r = serve(zipOf({.trust = "Authority=Developer ID Application: Ex (T2)\nTeamIdentifier=T2\n"}));
         },
         "Sparkle: code signing regression (Developer ID (T1) → Developer ID (T2)) — refusing to weaken trust"},
        {"unsigned after ad-hoc", [&](auto&, auto& r) {
             writeBundle(installed, {.version = "1.0", .trust = "Signature=adhoc\n"});
             r = serve(zipOf({}));
         },
         "Sparkle: code signing regression (ad-hoc → unsigned)"},
        {"broken signature", [&](auto&, auto& r) { r = serve(zipOf({.brokenSignature = true})); }, "Signature de code invalide"},
        {"no bundle", [&](auto&, auto& r) {
             TempDir empty;
             writeFileAtomically(empty.path() + "/README", "x");
             r = serve(zipFolder(empty.path()));
         },
         "Sparkle: no .app bundle found inside the archive"},
        {"rar", [&](auto&, auto& r) { r = serve(good, "Foo.rar"); }, "Sparkle: extraction failed (unsupported archive type: rar)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBundle(installed, {.version = "1.0"});
        SparkleUpdateInstaller::Target t = target();
        SparkleUpdateInstaller::Release r = serve(good);
        c.change(t, r);
        const auto before = snapshot(installed);
        const std::size_t requestsBefore = server.requests().size();
        phases.clear();
        SparkleUpdateOutcome outcome = install(t, r, environment());
        EXPECT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Failed);
        EXPECT_EQ(outcome.message.substr(0, c.message.size()), c.message);
        EXPECT_EQ(snapshot(installed), before);
        expectNoLeftovers();
        if (c.name == "http" || c.name == "self") {
            EXPECT_EQ(server.requests().size(), requestsBefore);
        }
        if (c.name == "63 bytes") {
            EXPECT_EQ(phases.back(), "sparkle.update.verifying");
        }
    }

    // Without a key the update is the application's own business; nothing is downloaded.
    SparkleUpdateInstaller::Target keyless = target();
    keyless.publicKeyBase64.reset();
    std::string told;
    SparkleUpdateInstaller::Environment delegating = environment();
    delegating.openApp = [&told](const std::string& message) { told = message; };
    const std::size_t requestsBefore = server.requests().size();
    SparkleUpdateOutcome outcome = install(keyless, serve(good), delegating);
    EXPECT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::OpenedApp);
    EXPECT_NE(told.find("Sparkle: target app has no SUPublicEDKey"), std::string::npos);
    EXPECT_EQ(server.requests().size(), requestsBefore);
}

TEST_F(SparkleUpdateInstallerTest, CancellationInEveryPhaseAndAFailedReplacementLeaveTheOldBundle) {
    const std::string archive = zipOf({.version = "2.0"});
    for (const char* phase : {"sparkle.update.preparing", "sparkle.update.downloading", "sparkle.update.verifying",
                              "sparkle.update.extracting", "sparkle.update.validating", "sparkle.update.installing"}) {
        SCOPED_TRACE(phase);
        LogCapture log;
        const auto before = snapshot(installed);
        SparkleUpdateInstaller* self = nullptr;
        SparkleUpdateInstaller installer(target(), serve(archive), environment(), [&](double, std::string_view key) {
            if (key == phase) self->cancel();
        });
        self = &installer;
        SparkleUpdateOutcome outcome = installer.install();
        EXPECT_EQ(outcome.message, "Sparkle update cancelled");
        EXPECT_TRUE(log.contains("Sparkle install cancelled for Foo"));
        EXPECT_EQ(snapshot(installed), before);
        expectNoLeftovers();
    }

    // The backup move fails: nothing moved. The copy fails half-way: the backup comes back.
    const auto before = snapshot(installed);
    SparkleUpdateInstaller::Environment failingMove = environment();
    failingMove.moveItem = [](const std::string& from, const std::string& to) {
        throw fs::filesystem_error("rename", from, to, std::make_error_code(std::errc::device_or_resource_busy));
    };
    SparkleUpdateOutcome outcome = install(target(), serve(archive), failingMove);
    EXPECT_EQ(outcome.message.rfind("Sparkle: failed to install the new bundle (backup move failed: ", 0), 0u) << outcome.message;
    EXPECT_EQ(snapshot(installed), before);
    SparkleUpdateInstaller::Environment failingCopy = environment();
    failingCopy.copyBundle = [](const std::string& from, const std::string& to) {
        fs::create_directories(to + "/Contents");
        fs::copy_file(from + "/Contents/Info.plist", to + "/Contents/Info.plist");
        throw fs::filesystem_error("copy", from, to, std::make_error_code(std::errc::no_space_on_device));
    };
    outcome = install(target(), serve(archive), failingCopy);
    EXPECT_EQ(outcome.message.rfind("Sparkle: failed to install the new bundle (copy failed: ", 0), 0u) << outcome.message;
    EXPECT_EQ(snapshot(installed), before);
    expectNoLeftovers();
}

TEST_F(SparkleUpdateInstallerTest, ARunningApplicationIsQuitOnlyWithConsentAndRelaunched) {
    // The installed executable is a real program, so the application really runs.
    fs::copy_file("/bin/sleep", installed + "/Contents/MacOS/Foo", fs::copy_options::overwrite_existing);
    const std::string executable = installed + "/Contents/MacOS/Foo";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(executable.c_str(), executable.c_str(), "60", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 100 && fs::read_symlink("/proc/" + std::to_string(pid) + "/exe").string() != executable; ++i) {
        ::usleep(10'000);
    }
    const std::string archive = zipOf({.version = "2.0"});
    const auto before = snapshot(installed);
    SparkleUpdateInstaller::Environment declining = environment();
    declining.confirmQuit = [](const std::string&) { return false; };
    SparkleUpdateOutcome outcome = install(target(), serve(archive), declining);
    EXPECT_EQ(outcome.message, "Foo is running and the quit prompt was declined");
    EXPECT_EQ(snapshot(installed), before);
    EXPECT_EQ(::kill(pid, 0), 0);

    LogCapture log;
    std::string relaunched;
    SparkleUpdateInstaller::Environment consenting = environment();
    consenting.confirmQuit = [](const std::string& name) { return name == "Foo"; };
    consenting.relaunch = [&relaunched](const std::string&, const std::string& path) { relaunched = path; };
    phases.clear();
    outcome = install(target(), serve(archive), consenting);
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(relaunched, executable);
    EXPECT_EQ(phases.back(), "sparkle.update.relaunching");
    EXPECT_TRUE(log.contains("Sparkle install OK: 1.0 → 2.0 (relaunched)"));
}

}  // namespace
}  // namespace vt
