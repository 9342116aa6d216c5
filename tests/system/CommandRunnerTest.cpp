#include <random>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/AskpassScript.hpp"
#include "system/CommandRunner.hpp"
#include "system/ProcessOutputDecoder.hpp"

namespace vt {
namespace {

using testing::RecordingFileSystem;

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(CommandRunnerTest, OnlyListingsOfTheTableAreReadOnly) {
    struct Case {
        std::string command;
        std::vector<std::string> arguments;
        bool readOnly;
    };
    const std::vector<Case> cases = {
        {"/opt/homebrew/bin/brew", {"list", "--formula"}, true},
        {"/usr/local/bin/brew", {"outdated", "--json=v2"}, true},
        {"/usr/local/bin/brew", {"tap"}, true},
        {"/usr/local/bin/BREW", {"leaves"}, true},
        {"/usr/local/bin/brew", {"upgrade", "list"}, false},
        {"/usr/local/bin/brew", {}, false},
        {"/usr/bin/npm", {"outdated", "-g"}, true},
        {"/usr/bin/npm", {"install", "-g", "list"}, false},
        {"/usr/bin/pip3", {"--disable-pip-version-check", "list", "--outdated"}, true},
        {"/usr/bin/pip", {"install", "x"}, false},
        {"/usr/sbin/softwareupdate", {"-l", "--no-scan"}, true},
        {"/usr/sbin/softwareupdate", {"-l"}, false},
        {"/usr/bin/mdfind", {"kMDItemCFBundleIdentifier == 'x'"}, true},
        {"/usr/bin/mdfind", {"-onlyin", "/Applications", "x"}, false},
        {"/usr/local/bin/code", {"--list-extensions"}, false},
        {"/usr/bin/gem", {"list"}, false},
        {"/usr/bin/env", {"brew", "list", "--cask"}, true},
        {"/usr/bin/env", {"brew", "upgrade", "--cask", "x"}, false},
        {"/usr/bin/env", {"FOO=1", "brew", "list"}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommandRunner::isReadOnlyCommand(c.command, c.arguments), c.readOnly)
            << c.command << " " << join(c.arguments, " ");
    }
}

TEST(CommandRunnerTest, DecoderKeepsSplitCharactersWholeAndRepairsTheRest) {
    // "é", "€", "𝄞", an invalid byte, a truncated sequence and a surrogate, cut at every
    // possible place: the pieces must join to exactly what decoding the whole gives.
    const std::string stream = "a\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E \xFF b\xE2\x82 \xED\xA0\x80 end\xF0\x9D";
    const std::string expected = sanitizeUtf8(stream);
    for (std::size_t first = 0; first <= stream.size(); ++first) {
        for (std::size_t second = first; second <= stream.size(); ++second) {
            ProcessOutputDecoder decoder;
            std::string text = decoder.decode(stream.substr(0, first));
            text += decoder.decode(stream.substr(first, second - first));
            text += decoder.decode(stream.substr(second));
            text += decoder.finish();
            ASSERT_EQ(text, expected) << "cut at " << first << " and " << second;
        }
    }
    ProcessOutputDecoder decoder;
    EXPECT_EQ(decoder.decode("caf\xC3"), "caf");
    EXPECT_EQ(decoder.decode("\xA9!"), "\xC3\xA9!");

    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (auto& byte : noise) byte = static_cast<char>(random() % 256);
    ProcessOutputDecoder ordered;
    std::string text;
    for (std::size_t at = 0; at < noise.size();) {
        std::size_t size = 1 + random() % 5;
        text += ordered.decode(noise.substr(at, size));
        at += size;
    }
    text += ordered.finish();
    EXPECT_EQ(text, sanitizeUtf8(noise));
}

TEST(AskpassScriptTest, PromptTextsReachTheDialogIntactWhateverTheyContain) {
    testing::TempDir folder("vt-askpass");
    const std::string prompt = R"(It's "Van Treel" \ needs $HOME `x`)";
    std::string script = AskpassScript::text(AskpassScript::Prompter::AppleScript, prompt, "Can't", "O\"K");
    EXPECT_TRUE(startsWith(script, "#!/bin/bash\nset -euo pipefail\n"));
    EXPECT_TRUE(contains(script, "printf '%s'"));
    // Stand in for osascript with a program that prints the AppleScript it was given.
    const std::string echo = folder.writeExecutable("osascript", "#!/bin/sh\nprintf '%s' \"$2\" >&3\necho secret\n");
    script = replaceAll(script, "/usr/bin/osascript", echo);
    const std::string path = folder.writeExecutable("askpass.sh", script);

    CommandRunner runner;
    CommandRequest request;
    request.command = "/bin/bash";
    request.arguments = {"-c", "exec 3>\"$1\"; \"$2\"", "sh", folder.file("applescript.txt"), path};
    EXPECT_EQ(runner.execute(request).standardOutput, "secret");
    EXPECT_EQ(readFile(folder.file("applescript.txt")),
              R"(text returned of (display dialog "It's \"Van Treel\" \\ needs $HOME `x`" default answer "" )"
              R"(with hidden answer buttons {"Can't", "O\"K"} default button "O\"K" with title "Van Treel"))");

    // A cancelled dialog (non-zero exit) or an empty answer makes the script fail.
    folder.writeExecutable("osascript", "#!/bin/sh\nexit 1\n");
    EXPECT_THROW(runner.execute(request), CommandError);
    folder.writeExecutable("osascript", "#!/bin/sh\necho\n");
    EXPECT_THROW(runner.execute(request), CommandError);

    setLanguage(Language::French);
    EXPECT_TRUE(contains(AskpassScript::text(AskpassScript::Prompter::KDialog),
                         "--password 'Van Treel a besoin de votre mot de passe administrateur pour continuer.'"));
    setLanguage(Language::English);
}

TEST(AskpassScriptTest, PromptProgramIsLookedUpByAbsolutePathInOrder) {
    RecordingFileSystem none;
    EXPECT_EQ(AskpassScript::availablePrompter(none), std::nullopt);
    RecordingFileSystem linux;
    linux.addExecutable("/usr/bin/ssh-askpass");
    linux.addExecutable("/usr/bin/kdialog");
    EXPECT_EQ(AskpassScript::availablePrompter(linux), AskpassScript::Prompter::KDialog);
    linux.addExecutable("/usr/bin/osascript");
    EXPECT_EQ(AskpassScript::availablePrompter(linux), AskpassScript::Prompter::AppleScript);

    testing::TempDir folder("vt-askpass");
    auto path = AskpassScript::install(AskpassScript::Prompter::Zenity, folder.file("Van Treel"));
    ASSERT_EQ(path, folder.file("Van Treel/vt-sudo-askpass.sh"));
    SystemFileSystemManager fileSystem;
    EXPECT_TRUE(fileSystem.isExecutableFile(*path));
    EXPECT_TRUE(contains(fileSystem.readFile(*path), "/usr/bin/zenity --password --title 'Van Treel'"));
    folder.write("blocker", "a file where a folder should be");
    EXPECT_EQ(AskpassScript::install(AskpassScript::Prompter::Zenity, folder.file("blocker/x")), std::nullopt);
}

}  // namespace
}  // namespace vt
