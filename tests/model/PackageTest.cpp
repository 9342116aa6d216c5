#include "model/Package.hpp"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace vt {
namespace {

Package make(PackageType type, std::string name) {
    return Package{.name = std::move(name), .version = "1.0", .type = type};
}

TEST(PackageTest, DecodingFillsDefaultsAndRejectsBadTypes) {
    Json json = Json::parse(R"({"name":"wget","version":"1.21","type":"Formulas"})");
    Package first = packageFromJson(json);
    Package second = packageFromJson(json);
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(first.type, PackageType::BrewFormula);
    EXPECT_FALSE(first.isPinned);
    EXPECT_FALSE(first.requiresManualInstaller);
    EXPECT_FALSE(first.latestVersion.has_value());

    for (const char* bad : {R"({"name":"wget","version":"1.21","type":"brewFormula"})",
                            R"({"name":"wget","type":"Formulas"})", R"({"name":1,"version":"1","type":"Formulas"})",
                            R"({"name":"a","version":"1","type":"Formulas","isPinned":"yes"})", R"([1,2])"}) {
        EXPECT_THROW(packageFromJson(Json::parse(bad)), PackageDecodingError) << bad;
    }
}

TEST(PackageTest, ListsDecodeStraightIntoRecordsOrLeaveTheListAsItWas) {
    std::vector<Package> packages = {make(PackageType::NpmGlobal, "kept")};
    appendPackagesFromJsonText(R"([
        {"name":"wget","version":"1.21","type":"Formulas","extra":{"name":5,"analytics":[1,{"a":[]}]},
         "latestVersion":null,"dependencies":["openssl@3"],"installDate":700000000,
         "analytics":{"downloads30d":12.0,"other":{"x":[1]},"downloads365d":null},"isPinned":null},
        {"id":"96F6BCB7-4FD8-4C2E-B188-E893FB135CE0","name":"ruff","version":"0.3.0","type":"uv Tools",
         "sourceIdentifier":"/usr/bin/python3","requiresManualInstaller":true}])",
                               packages);
    ASSERT_EQ(packages.size(), 3u);
    const Package& wget = packages[1];
    EXPECT_EQ(wget.name, "wget");
    EXPECT_FALSE(wget.latestVersion.has_value());
    EXPECT_EQ(wget.dependencies, std::vector<std::string>{"openssl@3"});
    EXPECT_DOUBLE_EQ(toReferenceSeconds(*wget.installDate), 700000000.0);
    EXPECT_EQ(wget.analytics, (BrewAnalytics{12, std::nullopt, std::nullopt}));
    EXPECT_FALSE(wget.isPinned);
    EXPECT_EQ(packages[2].id.toString(), "96F6BCB7-4FD8-4C2E-B188-E893FB135CE0");
    EXPECT_EQ(packages[2].type, PackageType::UvTool);
    EXPECT_TRUE(packages[2].requiresManualInstaller);

    EXPECT_THROW(appendPackagesFromJsonText(R"([{"name":"a","version":"1","type":"Formulas"},{"name")", packages),
                 JsonSyntaxError);
    for (const char* bad : {R"({"name":"a","version":"1","type":"Formulas"})",
                            R"([{"name":"a","version":"1","type":"Formulas"},{"name":"b","version":"1"}])",
                            R"([{"name":"a","version":"1","type":"Formulas","dependencies":["x",1]}])",
                            R"([{"name":"a","version":"1","type":"Formulas","analytics":{"downloads90d":1.5}}])",
                            R"([{"name":"a","version":"1","type":"Formulas","installDate":"today"}])",
                            R"([{"name":"a","version":"1","type":"Formulas","id":"not-a-uuid"}])", R"([3])"}) {
        EXPECT_THROW(appendPackagesFromJsonText(bad, packages), PackageDecodingError) << bad;
    }
    EXPECT_EQ(packages.size(), 3u);
}

// The saved lists' reader takes exactly JSON: nothing after a NUL byte, no byte that is not
// UTF-8, no escape that stands for no character; escapes that do are read as their characters,
// however deep the rest nests, and a date as the nearest double to its digits (a faster reading is one unit off for this one).
TEST(PackageTest, ListsAreReadAsStrictJson) {
    const std::string record = R"({"name":"a","version":"1","type":"Formulas"})";
    std::vector<Package> packages;
    const std::string afterNul = "[" + record + "]" + std::string("\0[]", 3);
    EXPECT_THROW(appendPackagesFromJsonText(afterNul, packages), JsonSyntaxError);
    for (const char* lone : {R"([{"name":"\udc00","version":"1","type":"Formulas"}])",
                             R"([{"name":"x\ud83d\ude00\uDFFF","version":"1","type":"Formulas"}])"}) {
        EXPECT_THROW(appendPackagesFromJsonText(lone, packages), JsonSyntaxError) << lone;
    }
    // A stray byte, an encoded surrogate, an overlong slash, one cut short, control bytes a
    // string may hold only escaped (past the first sixteen bytes too, where a parser may read
    // sixteen at a time): in a value and in a key.
    for (const char* bytes : {"\xff", "\xed\xa0\x80", "\xc0\xaf", "caf\xc3", "\x01", "\x1a", "\x1f",
                              "sixteen bytes or so\x1a\x1f"}) {
        for (const std::string& bad : {R"([{"name":")" + std::string(bytes) + R"(","version":"1","type":"Formulas"}])",
                                       R"([{"name":"a","version":"1","type":"Formulas",")" + std::string(bytes) + R"(":1}])"}) {
            EXPECT_THROW(appendPackagesFromJsonText(bad, packages), JsonSyntaxError) << bad;
        }
    }
    EXPECT_TRUE(packages.empty());

    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += R"([{"a":)";
    deep += "1";
    for (int i = 0; i < 20000; ++i) deep += "}]";
    appendPackagesFromJsonText(
        R"([{"name":"\\udc00 caf\u00e9 \ud83d\ude00","version":"1","type":"Formulas","description":"été",)"
        R"("installDate":749713933.78133702,"x":)" + deep + "}]",
        packages);
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].name, "\\udc00 caf\xc3\xa9 \xf0\x9f\x98\x80");
    EXPECT_EQ(packages[0].description, "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(packages[0].installDate, fromReferenceSeconds(749713933.78133702));
}

TEST(PackageTest, EncodingWritesOnlyPresentFieldsInOrderAndRoundTrips) {
    Package bare = make(PackageType::NpmGlobal, "semver");
    bare.installLocationOverride = "/somewhere";
    Json json = toJson(bare);
    std::vector<std::string> keys;
    for (auto it = json.begin(); it != json.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "name", "version", "type", "isPinned", "requiresManualInstaller"}));
    EXPECT_EQ(json["type"], "NPM Global");

    Package full = bare;
    full.latestVersion = "7.6.0";
    full.dependencies = std::vector<std::string>{"lru-cache"};
    full.installDate = fromReferenceSeconds(700000000.5);
    full.analytics = BrewAnalytics{10, std::nullopt, 1000};
    full.sourceIdentifier = "/usr";
    full.isPinned = true;
    full.isSecurityUpdate = true;
    full.fixedVulnerabilities = {"GHSA-aaaa-bbbb-cccc", "PYSEC-2024-1"};
    full.latestVulnerabilities = {"CVE-2025-0001"};
    Package decoded = packageFromJson(Json::parse(toJson(full).dump()));
    EXPECT_FALSE(decoded.installLocationOverride.has_value());
    decoded.installLocationOverride = full.installLocationOverride;
    EXPECT_EQ(decoded, full);
    EXPECT_DOUBLE_EQ(toJson(full)["installDate"].get<double>(), 700000000.5);
    Json hostile = toJson(full);
    hostile["fixedVulnerabilities"] = Json::array({7});
    EXPECT_THROW(packageFromJson(hostile), PackageDecodingError);
    hostile["fixedVulnerabilities"] = "GHSA";
    EXPECT_THROW(packageFromJson(hostile), PackageDecodingError);
}

TEST(PackageTest, InstallLocationFollowsOverrideThenType) {
    Package npm = make(PackageType::NpmGlobal, "semver");
    EXPECT_EQ(installLocation(npm, "/h"), "/opt/homebrew/lib/node_modules/semver");
    npm.installLocationOverride = "";
    EXPECT_EQ(installLocation(npm, "/h"), "/opt/homebrew/lib/node_modules/semver");
    npm.installLocationOverride = "/usr/lib/node_modules/semver";
    EXPECT_EQ(installLocation(npm, "/h"), "/usr/lib/node_modules/semver");
    EXPECT_EQ(installLocation(make(PackageType::CargoPackage, "ripgrep"), "/h"), "/h/.cargo/bin/ripgrep");
    EXPECT_FALSE(installLocation(make(PackageType::PipPackage, "requests"), "/h").has_value());

    unsetenv("OLLAMA_MODELS");
    EXPECT_EQ(installLocation(make(PackageType::OllamaModel, "llama3"), "/h"),
              "/h/.ollama/models/manifests/registry.ollama.ai/library/llama3/latest");
    setenv("OLLAMA_MODELS", "  /models \n", 1);
    EXPECT_EQ(installLocation(make(PackageType::OllamaModel, "user/model:7b"), "/h"),
              "/models/manifests/registry.ollama.ai/user/model/7b");
    unsetenv("OLLAMA_MODELS");
}

TEST(PackageTest, StableKeys) {
    EXPECT_EQ(stableKey(make(PackageType::BrewFormula, "Wget")), "package:formulas:wget");
    EXPECT_EQ(stableKey(make(PackageType::BrewCask, "firefox")), "package:casks:firefox");
    EXPECT_EQ(stableKey(make(PackageType::VscodeExtension, "Python")), "vscode:python");
    Package tapped = make(PackageType::CursorExtension, "Python");
    tapped.tap = "ms-python.Python";
    EXPECT_EQ(stableKey(tapped), "cursor:ms-python.python");

    Package pip = make(PackageType::PipPackage, "Requests");
    EXPECT_EQ(stableKey(pip), "package:python (pip):requests");
    pip.sourceIdentifier = "";
    EXPECT_EQ(stableKey(pip), "package:python (pip):requests");
    pip.sourceIdentifier = "/usr/bin/python3";
    EXPECT_EQ(stableKey(pip), "package:python (pip):/usr/bin/python3:requests");

    Package conda = make(PackageType::CondaPackage, "numpy");
    Package rescanned = conda;
    rescanned.id = Uuid::random();
    EXPECT_NE(stableKey(conda), stableKey(rescanned));
    conda.sourceIdentifier = "base";
    EXPECT_EQ(stableKey(conda), "package:conda:base:numpy");
}

}  // namespace
}  // namespace vt
