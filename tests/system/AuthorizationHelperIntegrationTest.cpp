#include <filesystem>
#include <optional>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"
#include "support/Thrown.hpp"
#include "system/AdminPrompt.hpp"
#include "system/AuthorizationHelper.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemPrivilegedOperations.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using Kind = AdminPromptError::Kind;

// The prompt programs the tests stand in for pkexec with: each records how it was called,
// then runs the script as the current user, dismisses the dialog, or does nothing at all.
struct Prompts {
    testing::TempDir folder{"vt-admin"};
    std::string calls = folder.file("calls");
    std::string grant =
        folder.writeExecutable("grant", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + calls + "'\nexec \"$@\"\n");
    std::string dismiss = folder.writeExecutable(
        "dismiss", "#!/bin/sh\necho x >> '" + calls + "'\necho 'Request dismissed' >&2\nexit 126\n");
    std::string silent = folder.writeExecutable("silent", "#!/bin/sh\nexit 0\n");
    std::string logs = folder.makeFolder("logs");
    CommandRunner runner;
    SystemFileSystemManager files;

    AuthorizationHelper::Options options(const std::string& program, std::vector<std::string> allowed = {}) const {
        return {.promptProgram = program,
                .style = AuthorizationHelper::PromptStyle::Pkexec,
                .temporaryFolder = logs,
                .timeoutSeconds = 30,
                .allowedCommands = std::move(allowed)};
    }
    AuthorizationHelper helper(const std::string& program, std::vector<std::string> allowed = {}) {
        return AuthorizationHelper(runner, files, options(program, std::move(allowed)));
    }
    AuthorizationHelper helper(const AuthorizationHelper::Options& given) {
        return AuthorizationHelper(runner, files, given);
    }
    bool prompted() const { return fs::exists(calls); }
    bool logsLeft() const { return !fs::is_empty(logs); }
};

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 01000;
}

std::string textOf(const std::function<void()>& action, Kind* kind = nullptr) {
    const auto error = testing::thrown<AdminPromptError>(action);
    if (kind != nullptr) *kind = error.value().kind();
    return error.value().description();
}

TEST(AuthorizationHelperIntegrationTest, CommandsOutsideTheRulesAreRefusedBeforeAnyPromptAndAllowedOnesGoThroughIt) {
    Prompts prompts;
    AuthorizationHelper helper = prompts.helper(prompts.grant);
    auto run = [&](const std::string& command) { return textOf([&] { helper.run(command, {"upgrade"}, "brew"); }); };

    EXPECT_EQ(run("brew"), "Command must be an absolute path: brew");
    EXPECT_EQ(run("/opt/homebrew/bin/npm"), "Command not allowed for privileged fallback: /opt/homebrew/bin/npm");
    // On the list, so only its absence here stops it.
    EXPECT_EQ(run("/usr/local/bin/brew"), "Command not found or not executable: /usr/local/bin/brew");
    EXPECT_TRUE(AuthorizationHelper::isAllowedCommand("/usr/local/bin/brew"));
    EXPECT_TRUE(AuthorizationHelper::isAllowedCommand("/usr/bin/apt-get"));
    EXPECT_FALSE(prompts.prompted());

    // Bundle paths: traversal, kinds, places.
    const std::string staged = prompts.folder.makeFolder("stage/New.app");
    auto replace = [&](const std::string& source, const std::string& destination) {
        return textOf([&] { helper.replaceBundle(source, destination, "Foo"); });
    };
    EXPECT_EQ(replace(staged, "/Applications/../tmp/X.app"), "Path traversal detected: /Applications/../tmp/X.app");
    EXPECT_EQ(replace(prompts.folder.path() + "/../x/New.app", "/Applications/X.app"),
              "Path traversal detected: " + prompts.folder.path() + "/../x/New.app");
    EXPECT_EQ(replace(prompts.folder.path(), "/Applications/X.app"), "Expected .app source: " + prompts.folder.path());
    EXPECT_EQ(replace(staged, "/Applications/X"), "Expected .app destination: /Applications/X");
    EXPECT_EQ(replace(staged, "/opt/X.app"), "Path not allowed for privileged operations: /opt/X.app");
    EXPECT_EQ(replace(staged, "/Applications.app"),
              "Path not allowed for privileged operations: /Applications.app");
    EXPECT_EQ(replace("/etc/New.app", "/Applications/X.app"),
              "Path not allowed for privileged operations: /etc/New.app");
    EXPECT_EQ(AuthorizationHelper::checkedDestination("/Applications/./Utilities//X.app/"),
              "/Applications/Utilities/X.app");
    EXPECT_EQ(textOf([&] { helper.normalizeBundlePermissions({"/usr/share/X.app"}, 0, "adopt"); }),
              "Path not allowed for privileged operations: /usr/share/X.app");
    EXPECT_FALSE(prompts.prompted());

    // No helper ships: the operations say so, refused paths first, and the prompt does the work.
    testing::TempHome home;
    const std::string bundle = home.path() + "/Applications/Baz.app";
    fs::create_directories(bundle);
    const std::string backup = prompts.folder.file("backup/Baz.app");
    SystemPrivilegedOperations operations(prompts.runner, prompts.files, prompts.options(prompts.grant));
    EXPECT_EQ(operations.helperReplaceApp(bundle, staged, backup, "TEAM"), "The privileged helper is not installed");
    EXPECT_EQ(operations.helperReplaceApp("/Applications/../tmp/X.app", staged, backup, "TEAM"),
              "Path traversal detected: /Applications/../tmp/X.app");
    EXPECT_TRUE(operations.canRequestAuthorization());
    EXPECT_FALSE(prompts.prompted());
    operations.normalizeBundlePermissions({bundle}, "adopt");
    EXPECT_TRUE(prompts.prompted());
}

TEST(AuthorizationHelperIntegrationTest, TheCommandGetsItsArgumentsUnchangedAndItsStatusComesBack) {
    Prompts prompts;
    testing::TempDir tools;
    // Prints each argument between brackets, a line that looks like our marker, the
    // environment it was given, and fails with 3.
    const std::string argv = tools.writeExecutable(
        "print argv",
        "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\necho '__VT_ADMIN_EXIT_CODE__=0'\n"
        "/usr/bin/env | /usr/bin/sort\nexit 3\n");
    testing::ScopedEnvironment gemHome("GEM_HOME", "/gems/with space");
    testing::ScopedEnvironment other("VT_NOT_KEPT", "leak");
    AuthorizationHelper helper = prompts.helper(prompts.grant, {argv});

    const std::vector<std::string> arguments{"a b",         "it's", "\"double\"",  "$HOME", "`id`",
                                             "back\\slash", "",     "line\nbreak", "-- end"};
    AdminCommandResult result = helper.run(argv, arguments, "a test");
    EXPECT_EQ(result.exitCode, 3);
    std::string expected;
    for (const std::string& argument : arguments) expected += "[" + argument + "]\n";
    expected += "__VT_ADMIN_EXIT_CODE__=0\n";
    EXPECT_EQ(result.output.substr(0, expected.size()), expected);
    EXPECT_NE(result.output.find("GEM_HOME=/gems/with space\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("VT_NOT_KEPT"), std::string::npos);
    EXPECT_EQ(result.output.find("PATH="), std::string::npos);
    EXPECT_FALSE(prompts.logsLeft());

    // The script the prompt ran keeps the log in the temporary folder and ends well.
    const std::string calls = readFile(prompts.calls).value_or("");
    EXPECT_NE(calls.find(">> '" + prompts.logs + "/Vantreel-admin-"), std::string::npos);
    EXPECT_NE(calls.find(".log' 2>&1; exit 0"), std::string::npos);

    // The package managers' prompt reports the failure with its status.
    SystemAdminPrompt prompt(helper);
    const auto error =
        testing::thrown<AdminPromptError>([&] { prompt.run({.prompt = "x", .command = argv, .arguments = {"only"}}); });
    EXPECT_EQ(error.value().kind(), Kind::Failed);
    EXPECT_EQ(error->exitCode(), 3);
    EXPECT_EQ(error->description().rfind("Privileged command failed: [only]", 0), 0u) << error->description();
}

TEST(AuthorizationHelperIntegrationTest, EveryFailureOfThePromptHasItsText) {
    Prompts prompts;
    testing::TempDir tools;
    const std::string ran = tools.file("ran");
    const std::string tool = tools.writeExecutable("tool", "#!/bin/sh\necho ran >> '" + ran + "'\n");
    Kind kind{};

    // The user dismissed the dialog: cancelled, not failed, and the command never ran.
    AuthorizationHelper dismissed = prompts.helper(prompts.dismiss, {tool});
    EXPECT_EQ(textOf([&] { dismissed.run(tool, {}, ""); }, &kind), "The user cancelled the authorization request.");
    EXPECT_EQ(kind, Kind::Denied);
    EXPECT_FALSE(fs::exists(tools.file("ran")));
    EXPECT_FALSE(prompts.logsLeft());

    // A prompt that ran nothing leaves no status.
    AuthorizationHelper silent = prompts.helper(prompts.silent, {tool});
    EXPECT_EQ(textOf([&] { silent.run(tool, {}, ""); }, &kind),
              "The privileged command failed: the command's exit status is missing from its log");
    EXPECT_EQ(kind, Kind::Failed);

    // No log, no prompt.
    fs::remove(prompts.calls);
    AuthorizationHelper::Options noFolder = prompts.options(prompts.grant, {tool});
    noFolder.temporaryFolder = tools.file("absent");
    EXPECT_EQ(textOf([&] { prompts.helper(noFolder).run(tool, {}, ""); }),
              "The administrator's temporary log cannot be created.");
    EXPECT_FALSE(prompts.prompted());

    // A missing prompt program.
    EXPECT_EQ(textOf([&] { prompts.helper(tools.file("none"), {tool}).run(tool, {}, ""); }, &kind),
              AdminPromptError::notAvailable().description());
    EXPECT_EQ(kind, Kind::NotAvailable);

    // osascript's own failures.
    auto osascript = [&](const std::string& name, const std::string& body) {
        AuthorizationHelper::Options options =
            prompts.options(tools.writeExecutable(name, "#!/bin/sh\n" + body), {tool});
        options.style = AuthorizationHelper::PromptStyle::AppleScript;
        return textOf([&] { prompts.helper(options).run(tool, {}, "Homebrew"); }, &kind);
    };
    EXPECT_EQ(osascript("cancel", "echo '0:1: execution error: User canceled. (-128)' >&2\nexit 1\n"),
              "The user cancelled the authorization request.");
    EXPECT_EQ(kind, Kind::Denied);
    EXPECT_EQ(osascript("error", "echo '0:1: execution error: Le fichier est introuvable. (-43)' >&2\nexit 1\n"),
              "Script error: Le fichier est introuvable. (-43)");
    EXPECT_EQ(osascript("crash", "exit 2\n"), "osascript failed (code 2)");
    // What osascript is given: one AppleScript with the prompt.
    const std::string seen = tools.file("seen");
    osascript("record", "printf '%s' \"$2\" > '" + seen + "'\nexit 2\n");
    const std::string source = readFile(seen).value_or("");
    EXPECT_EQ(source.rfind("do shell script \"{ ", 0), 0u) << source;
    EXPECT_TRUE(source.ends_with(
        "exit 0\" with prompt \"Van Treel asks for administrator authorization for Homebrew\" with "
        "administrator privileges"));

    // sudo on a terminal: the password we asked for goes to its standard input.
    const std::string sudo = tools.writeExecutable(
        "sudo",
        "#!/bin/sh\n[ \"$1\" = -n ] && exit 1\nread p\n[ \"$p\" = secret ] || { echo 'Sorry, try again.' >&2; "
        "exit 1; }\nshift 3\nexec \"$@\"\n");
    AuthorizationHelper::Options sudoOptions = prompts.options(sudo, {tool});
    sudoOptions.style = AuthorizationHelper::PromptStyle::Sudo;
    std::string asked;
    std::optional<std::string> password = "secret";
    sudoOptions.askPassword = [&](const std::string& text) {
        asked = text;
        return password;
    };
    AuthorizationHelper withSudo = prompts.helper(sudoOptions);
    EXPECT_EQ(withSudo.run(tool, {}, "").exitCode, 0);
    EXPECT_EQ(asked, "Van Treel asks for administrator authorization.");
    EXPECT_TRUE(fs::exists(tools.file("ran")));
    password = "wrong";
    EXPECT_EQ(textOf([&] { withSudo.run(tool, {}, ""); }), "The privileged command failed: Sorry, try again.");
    password.reset();
    EXPECT_EQ(textOf([&] { withSudo.run(tool, {}, ""); }, &kind), "The user cancelled the authorization request.");
    EXPECT_EQ(kind, Kind::Denied);
}

TEST(AuthorizationHelperIntegrationTest, BundlesAreReplacedAndNormalisedOrLeftAsTheyWere) {
    testing::TempHome home;
    Prompts prompts;
    const std::string applications = home.path() + "/Applications";
    const std::string installed = applications + "/Foo.app";
    fs::create_directories(installed + "/Contents");
    writeFileAtomically(installed + "/Contents/old", "1.0");
    const std::string staged = prompts.folder.makeFolder("stage/Foo.app/Contents/MacOS");
    writeFileAtomically(prompts.folder.file("stage/Foo.app/Contents/MacOS/Foo"), "2.0", 0500);
    const std::string source = prompts.folder.file("stage/Foo.app");

    // Dismissed: the installed bundle stays as it was.
    AuthorizationHelper dismissed = prompts.helper(prompts.dismiss);
    EXPECT_EQ(textOf([&] { dismissed.replaceBundle(source, installed, "Foo"); }),
              "The user cancelled the authorization request.");
    EXPECT_EQ(readFile(installed + "/Contents/old"), "1.0");

    AuthorizationHelper helper = prompts.helper(prompts.grant);
    helper.replaceBundle(source, installed, "Foo");
    EXPECT_FALSE(fs::exists(installed + "/Contents/old"));
    EXPECT_EQ(readFile(installed + "/Contents/MacOS/Foo"), "2.0");
    EXPECT_FALSE(prompts.logsLeft());
    EXPECT_NE(readFile(prompts.calls).value_or("").find(
                  "'/usr/bin/xattr' '-rd' 'com.apple.quarantine' './Foo.app' 2>/dev/null || true"),
              std::string::npos);

    // A copy that fails reports the tool's words and status.
    Kind kind{};
    const std::string text =
        textOf([&] { helper.replaceBundle(prompts.folder.file("gone.app"), installed, "Foo"); }, &kind);
    EXPECT_EQ(text.rfind("The privileged command failed: ", 0), 0u) << text;
    const std::string gone = prompts.folder.file("gone.app");
    EXPECT_NE(text.find("No bundle to copy at " + gone), std::string::npos);
    EXPECT_EQ(kind, Kind::Failed);
    EXPECT_EQ(readFile(installed + "/Contents/MacOS/Foo"), "2.0");

    // Adoption: writable by the owner, readable (and folders enterable) by everyone. The
    // bundle is already ours, so no chown is asked for here.
    fs::create_directories(applications + "/Bar.app/Contents");
    writeFileAtomically(applications + "/Bar.app/Contents/Info.plist", "x", 0400);
    fs::permissions(applications + "/Bar.app/Contents", fs::perms::owner_read | fs::perms::owner_exec);
    fs::remove(prompts.calls);
    helper.normalizeBundlePermissions({installed, applications + "/Bar.app"}, ::getuid(), "adopt");
    EXPECT_EQ(modeOf(applications + "/Bar.app/Contents/Info.plist"), 0644u);
    EXPECT_EQ(modeOf(applications + "/Bar.app/Contents"), 0755u);
    EXPECT_EQ(modeOf(installed + "/Contents/MacOS/Foo"), 0755u);
    ASSERT_TRUE(readFile(prompts.calls));
    EXPECT_EQ(readFile(prompts.calls)->find("chown"), std::string::npos);
}

// Root's permission fixes act where the bundle really is: a bundle swapped for a link, or an
// applications folder that is one, would hand a folder only root may read to everyone.
TEST(AuthorizationHelperIntegrationTest, BundleRepairsNeverFollowALinkOutOfTheAllowedFolders) {
    Prompts prompts;
    AuthorizationHelper helper = prompts.helper(prompts.grant);
    testing::TempDir elsewhere{"vt-root-only"};
    const std::string secret = elsewhere.makeFolder("Secret.app");
    const std::string secretFile = elsewhere.write("Secret.app/key", "k", 0600);
    fs::permissions(secret, fs::perms::owner_all);
    auto modesUnchanged = [&] {
        EXPECT_EQ(modeOf(secret), 0700u);
        EXPECT_EQ(modeOf(secretFile), 0600u);
    };
    const std::string refused = "Path not allowed for privileged operations: ";
    {
        // The bundle itself is a link.
        testing::TempHome home;
        const std::string link = home.path() + "/Applications/Swapped.app";
        fs::create_directories(home.path() + "/Applications");
        fs::create_directory_symlink(secret, link);
        EXPECT_EQ(textOf([&] { helper.normalizeBundlePermissions({link}, ::getuid(), "adopt"); }), refused + link);
        modesUnchanged();
        EXPECT_FALSE(prompts.prompted());
    }
    {
        // The applications folder is a link to a folder holding a bundle of the same name.
        testing::TempHome home;
        fs::create_directory_symlink(elsewhere.path(), home.path() + "/Applications");
        const std::string bundle = home.path() + "/Applications/Secret.app";
        EXPECT_EQ(textOf([&] { helper.normalizeBundlePermissions({bundle}, ::getuid(), "adopt"); }), refused + bundle);
        EXPECT_EQ(textOf([&] { helper.replaceBundle(prompts.folder.makeFolder("stage/Secret.app"), bundle, "x"); }),
                  refused + bundle);
        modesUnchanged();
        EXPECT_FALSE(prompts.prompted());
    }
    {
        // A real bundle reached through a linked home is still inside the home.
        testing::TempDir homes{"vt-linked-home"};
        const std::string realHome = homes.makeFolder("real");
        fs::create_directories(realHome + "/Applications/Ok.app/Contents");
        fs::permissions(realHome + "/Applications/Ok.app/Contents", fs::perms::owner_read | fs::perms::owner_exec);
        fs::create_directory_symlink(realHome, homes.path() + "/home");
        const std::string linkedHome = homes.path() + "/home";
        testing::ScopedEnvironment env("HOME", linkedHome.c_str());
        helper.normalizeBundlePermissions({homes.path() + "/home/Applications/Ok.app"}, ::getuid(), "adopt");
        EXPECT_EQ(modeOf(realHome + "/Applications/Ok.app/Contents"), 0755u);
    }
}

}  // namespace
}  // namespace vt
