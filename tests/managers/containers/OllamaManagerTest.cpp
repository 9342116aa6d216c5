// Ollama's models read from a manifests folder and checked against a registry on loopback
// that speaks the distribution API, as Ollama's own registry does.
#include "managers/containers/OllamaManager.hpp"

#include <gtest/gtest.h>

#include "managers/containers/ContainerError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/ContentDigest.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kOllama = "/usr/local/bin/ollama";

std::string manifestOf(const std::string& layer) {
    return R"({"schemaVersion":2,"mediaType":"application/vnd.docker.distribution.manifest.v2+json",)"
           R"("config":{"digest":"sha256:)" + std::string(64, 'c') + R"(","size":485},"layers":[{"digest":"sha256:)" +
           layer + R"(","size":4661211808},{"digest":"sha256:)" + std::string(64, 'e') + R"(","size":12403}]})";
}

class OllamaManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = "127.0.0.1:" + std::to_string(registry_.port());
        files_.addExecutable(kOllama);
    }

    std::string install(const std::string& path, const std::string& manifest) const {
        return models_.write("manifests/" + path, manifest);
    }

    OllamaManager manager() {
        return OllamaManager(runner_, files_,
                             {.environment = {{"OLLAMA_MODELS", models_.path()}}, .home = models_.path(),
                              .network = &network_});
    }

    testing::LoopbackServer registry_;
    std::string host_;
    testing::TempDir models_{"vt-ollama"};
    testing::FakeCommandRunner runner_;
    testing::RecordingFileSystem files_;
    SystemNetworkClient network_;
};

TEST_F(OllamaManagerTest, ListsTheManifestsAndOffersOnlyAManifestTheRegistryChanged) {
    const std::string same = manifestOf(std::string(64, 'a'));
    const std::string old = manifestOf(std::string(64, 'b'));
    const std::string moved = manifestOf(std::string(64, 'f'));
    install(host_ + "/library/same/latest", same);
    install(host_ + "/library/moved/7b", old);
    install(host_ + "/team/gone/latest", old);
    install("registry.ollama.ai/library/-rf/latest", same);          // not a name: never listed
    install("evil.example.com@x/library/app/latest", same);          // not a host
    install(host_ + "/library/huge/latest", std::string((1 << 20) + 1, ' '));  // not a manifest
    // One registry names the digest in its header, the other leaves it out (the header is optional).
    registry_.setRoute("/v2/library/same/manifests/latest",
                       {.body = same, .headers = {{"Docker-Content-Digest", sha256Digest(same)}}});
    registry_.setRoute("/v2/library/moved/manifests/7b", {.body = moved});

    OllamaManager ollama = manager();
    std::vector<Package> installed = ollama.listInstalled({});
    ASSERT_EQ(installed.size(), 3u);
    EXPECT_EQ(installed[0].name, host_ + "/library/moved:7b");
    EXPECT_EQ(installed[0].version, sha256Digest(old));
    EXPECT_EQ(installed[0].size, std::to_string(4661211808LL + 12403));

    std::vector<Package> outdated = ollama.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, host_ + "/library/moved:7b");
    EXPECT_EQ(outdated[0].latestVersion, sha256Digest(moved));
    EXPECT_FALSE(ollama.errorMessage().has_value()) << "a model the registry does not know is no failure";

    testing::TempDir empty{"vt-ollama-empty"};
    OllamaManager none(runner_, files_, {.environment = {{"OLLAMA_MODELS", empty.path()}}, .network = &network_});
    EXPECT_TRUE(none.listInstalled({}).empty());
    EXPECT_TRUE(none.checkOutdated({}).empty());
    EXPECT_FALSE(none.errorMessage().has_value());
}

TEST_F(OllamaManagerTest, PullsTheModelAndFailsWhenItsManifestIsNotTheOneShown) {
    const std::string old = manifestOf(std::string(64, 'b'));
    const std::string moved = manifestOf(std::string(64, 'f'));
    const std::string file = install(host_ + "/library/demo/latest", old);
    const std::string name = host_ + "/library/demo:latest";
    // The pull rewrites the manifest, as Ollama does.
    runner_.on([&](const CommandRequest& request) {
        if (request.command != kOllama || request.arguments != std::vector<std::string>{"pull", name}) return false;
        models_.write("manifests/" + host_ + "/library/demo/latest", moved);
        return true;
    }, Response::output("success\n"));
    Package package{.name = name, .version = sha256Digest(old), .type = PackageType::OllamaModel,
                    .latestVersion = sha256Digest(moved)};
    OllamaManager ollama = manager();
    ollama.update(package, {});
    EXPECT_EQ(runner_.count(kOllama + " pull " + name), 1u);

    // The registry moved again since the check: what was pulled is not what was shown.
    package.version = sha256Digest(moved);
    package.latestVersion = "sha256:" + std::string(64, '9');
    EXPECT_EQ(testing::thrown<ContainerError>([&] { ollama.update(package, {}); }).value().kind(),
              ContainerErrorKind::NotMoved);

    const std::size_t before = runner_.history().size();
    for (const char* hostile : {"-rf:latest", "model", "a/b/c/d:1", "model:--insecure", "../x:1", "evil.com:x/a/b:1",
                                "model:1 2"}) {
        package.name = hostile;
        EXPECT_THROW(ollama.update(package, {}), ContainerError) << hostile;
    }
    EXPECT_EQ(runner_.history().size(), before) << "no command for a name that is not one";
}

}  // namespace
}  // namespace vt
