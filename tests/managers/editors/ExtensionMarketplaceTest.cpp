// The marketplace answers of the corpus, and the ones no marketplace should send.
#include "managers/editors/ExtensionMarketplace.hpp"

#include <gtest/gtest.h>

#include "base/Strings.hpp"
#include "support/Corpus.hpp"

namespace vt {
namespace {

using M = ExtensionMarketplace;

TEST(ExtensionMarketplaceTest, GalleryAndOpenVsxAnswersGiveVersionsPlatformsEnginesAndDownloads) {
    auto versions = M::parseGalleryVersions(testing::corpusFile("vscode/openvsx-adapter.findname-yaml-response-versions.json"),
                                            "Redhat.VSCode-yaml");
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_EQ(versions[0].version, "0.5.2");
    EXPECT_EQ(versions[0].platforms, std::vector<std::string>{"universal"});
    EXPECT_FALSE(versions[0].minimumEditor);  // "properties": null

    versions = M::parseGalleryVersions(testing::corpusFile("vscode/openvsx-adapter.search-yaml-response-targets.json"),
                                       "redhat.vscode-yaml");
    ASSERT_EQ(versions.size(), 3u);
    EXPECT_EQ(versions[0].minimumEditor, "1.31.0");
    EXPECT_TRUE(versions[0].vsixUrl && endsWith(*versions[0].vsixUrl, ".vsix"));
    const VersionFilter linux{.platform = "linux-x64", .editorVersion = "1.31.0"};
    int runnable = 0;
    for (const auto& version : versions) runnable += M::skipReason(version, linux) ? 0 : 1;
    EXPECT_EQ(runnable, 1);
    EXPECT_TRUE(M::parseGalleryVersions(testing::corpusFile("vscode/openvsx-adapter.findname-yaml-response.json"),
                                        "other.extension").empty());

    const Json pyrefly = parseJson(testing::corpusFile("vscode/openvsx.extension-meta.pyrefly.json")).value();
    auto newest = M::parseOpenVsxVersion(pyrefly);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->version, "0.46.0");
    EXPECT_EQ(newest->minimumEditor, "1.94.0");
    EXPECT_EQ(newest->platforms.size(), 9u);
    ASSERT_TRUE(newest->vsixUrl);
    EXPECT_NE(newest->vsixUrl->find("@" + M::machinePlatform() + ".vsix"), std::string::npos);
    auto older = M::openVsxOlderVersions(pyrefly, "0.46.0");
    ASSERT_EQ(older.size(), 89u);
    EXPECT_EQ(older.front(), "0.45.2");
    EXPECT_EQ(older.back(), "0.9.0");
    EXPECT_TRUE(M::skipReason(*newest, {.platform = M::machinePlatform(), .editorVersion = "1.93.9"}));
    EXPECT_FALSE(M::skipReason(*newest, {.platform = M::machinePlatform(), .editorVersion = "1.94.0"}));
    EXPECT_FALSE(M::skipReason(*newest, {.platform = M::machinePlatform()}));  // editor version unknown

    std::string many = R"({"results":[{"extensions":[{"publisher":{"publisherName":"p"},"extensionName":"e","versions":[)";
    for (int i = 10000; i > 0; --i) many += "{\"version\":\"1.0." + std::to_string(i) + "\"},";
    many += R"({"version":"1.0.0","properties":"nope","files":7},{"version":"latest"},{"version":{"x":1}},)";
    many += R"({"version":"1.0.0; rm -rf /"},{"version":"2.0.0","properties":[{"key":null},{"key":"Microsoft.VisualStudio.Code.PreRelease","value":"true"}]}]}]}]})";
    versions = M::parseGalleryVersions(many, "p.e");
    ASSERT_EQ(versions.size(), 10002u);
    EXPECT_EQ(versions.front().version, "1.0.10000");
    EXPECT_TRUE(versions.back().isPreRelease);
    for (const char* junk : {"", "null", "[]", "{\"results\":{}}", "{\"results\":[{\"extensions\":[null,1]}]}", "\xff{"}) {
        EXPECT_TRUE(M::parseGalleryVersions(junk, "p.e").empty()) << junk;
        EXPECT_FALSE(M::parseOpenVsxVersion(parseJson(junk).value_or(Json())));
    }
    EXPECT_EQ(M::minimumEditor("*"), std::nullopt);
    EXPECT_EQ(M::minimumEditor(">=1.82"), "1.82");

    const auto listed = M::parseExtensionList(
        "Extensions installed on SSH: host:\n(node:1) DeprecationWarning: x\nms-python.python@2024.2.1\n"
        "GitHub.copilot-chat@0.23.2024120602\n-evil.ext@1.0.0\nbad..id@1.0.0\nredhat.java@1.2.3-rc.1\nno-version\n");
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[1], (InstalledExtension{"GitHub.copilot-chat", "0.23.2024120602"}));
    EXPECT_EQ(listed[2].version, "1.2.3-rc.1");
    EXPECT_TRUE(M::reportsFailure("DeprecationWarning: x\nError while installing extensions: boom"));
    EXPECT_FALSE(M::reportsFailure("(node:1) DeprecationWarning: failed installing extensions is deprecated\nok"));
}

}  // namespace
}  // namespace vt
