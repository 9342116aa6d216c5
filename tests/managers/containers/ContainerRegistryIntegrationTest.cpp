// The update check of container images against a registry on loopback that speaks the
// distribution API: a token realm, paged tags, moved and unmoved tags.
#include <gtest/gtest.h>

#include "managers/containers/ContainerImageManager.hpp"
#include "managers/containers/RegistryClient.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kPodman = "/usr/bin/podman";
const std::string kOld = "sha256:" + std::string(64, 'a');
const std::string kNew = "sha256:" + std::string(64, 'b');
const std::string kSecret = "dXNlcjpzM2NyM3Q=";  // "user:s3cr3t"

testing::LoopbackRoute manifest(const std::string& digest) {
    return {.body = "", .contentType = "application/vnd.oci.image.index.v1+json",
            .headers = {{"Docker-Content-Digest", digest}}};
}

class ContainerRegistryIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = "127.0.0.1:" + std::to_string(registry_.port());
        // Every repository wants a token, which the realm gives for the user's stored login.
        registry_.setHandler("/token", [](const testing::LoopbackRequest& request) {
            if (request.headers.get("Authorization") != "Basic " + kSecret) return testing::LoopbackRoute{.status = 401};
            return testing::LoopbackRoute{.body = R"({"token": "t0ken", "expires_in": 300})"};
        });
        const auto guarded = [this](std::string digest) {
            return [this, digest](const testing::LoopbackRequest& request) {
                if (request.headers.get("Authorization") == "Bearer t0ken") return manifest(digest);
                const std::string challenge = "Bearer realm=\"" + registry_.url("/token") +
                                              "\",service=\"loopback\",scope=\"repository:x:pull\"";
                return testing::LoopbackRoute{.status = 401, .headers = {{"WWW-Authenticate", challenge}}};
            };
        };
        registry_.setHandler("/v2/team/moved/manifests/latest", guarded(kNew));
        registry_.setHandler("/v2/team/same/manifests/latest", guarded(kOld));
        registry_.setHandler("/v2/team/tool/manifests/1.2", guarded(kOld));
        registry_.setHandler("/v2/team/tool/manifests/1.10", guarded(kNew));
        registry_.setHandler("/v2/team/other/manifests/3.1", guarded(kOld));
        registry_.setHandler("/v2/team/tool/tags/list", [](const testing::LoopbackRequest& request) {
            if (request.target.find("last=1.3") != std::string::npos)
                return testing::LoopbackRoute{.body = R"({"name": "team/tool", "tags": ["1.10", "2.0-rc1", "1.11-alpine"]})"};
            return testing::LoopbackRoute{.body = R"({"name": "team/tool", "tags": ["1.2", "1.3"]})",
                                          .headers = {{"Link", "</v2/team/tool/tags/list?n=2&last=1.3>; rel=\"next\""}}};
        });
        registry_.setRoute("/v2/team/other/tags/list", {.body = R"({"tags": ["3.1", "3.2-beta", "4"]})"});
        registry_.setRoute("/v2/team/same/tags/list", {.body = R"({"tags": ["latest"]})"});
        credentials_ = home_.write("config.json", R"({"auths": {")" + host_ + R"(": {"auth": ")" + kSecret + R"("}}})");
        files_.addExecutable(kPodman);
    }

    std::string image(const std::string& repository, const std::string& tag, const std::string& digest) const {
        return R"({"Names": [")" + host_ + "/" + repository + ":" + tag + R"("], "RepoDigests": [")" + host_ + "/" +
               repository + "@" + digest + R"("]})";
    }

    testing::LoopbackServer registry_;
    std::string host_;
    testing::TempDir home_{"vt-registry"};
    std::string credentials_;
    testing::FakeCommandRunner runner_;
    testing::RecordingFileSystem files_;
    SystemNetworkClient network_;
};

TEST_F(ContainerRegistryIntegrationTest, OffersAMovedTagAndANewerTagOfTheSameShapeOnly) {
    runner_.on(kPodman + " images --format json",
               Response::output("[" + image("team/moved", "latest", kOld) + "," + image("team/same", "latest", kOld) +
                                "," + image("team/tool", "1.2", kOld) + "," + image("team/other", "3.1", kOld) + "," +
                                image("team/gone", "latest", kOld) + "]"));
    ContainerImageManager manager(runner_, files_,
                                  {.base = {.home = home_.path(), .network = &network_},
                                   .credentialFiles = std::vector<std::string>{credentials_}});
    ASSERT_EQ(manager.listInstalled({}).size(), 5u);
    std::vector<Package> outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(outdated[0].name, host_ + "/team/moved:latest");
    EXPECT_EQ(outdated[0].latestVersion, kNew);
    EXPECT_EQ(outdated[0].description, host_ + "/team/moved:latest");
    EXPECT_EQ(outdated[1].name, host_ + "/team/tool:1.2");
    EXPECT_EQ(outdated[1].latestVersion, kNew);
    EXPECT_EQ(outdated[1].description, host_ + "/team/tool:1.10") << "the second page's newest tag of the shape";
    // An unknown repository answers 404: no information, and no failure.
    EXPECT_FALSE(manager.errorMessage().has_value());
    // The secret went to the realm only; the registry saw the token.
    for (const testing::LoopbackRequest& request : registry_.requests()) {
        const std::string authorization = request.headers.get("Authorization").value_or("");
        if (request.path == "/token") continue;
        EXPECT_EQ(authorization.find(kSecret), std::string::npos) << request.path;
    }
}

TEST_F(ContainerRegistryIntegrationTest, WithoutALoginNothingIsOfferedAndAnUnreachableRegistryIsSaid) {
    runner_.on(kPodman + " images --format json", Response::output("[" + image("team/moved", "latest", kOld) + "]"));
    ContainerImageManager manager(runner_, files_,
                                  {.base = {.home = home_.path(), .network = &network_},
                                   .credentialFiles = std::vector<std::string>{}});
    manager.listInstalled({});
    EXPECT_TRUE(manager.checkOutdated({}).empty());  // the realm refuses

    runner_.on(kPodman + " images --format json",
               Response::output(R"([{"Names": ["127.0.0.1:1/team/app:latest"], "RepoDigests": ["127.0.0.1:1/team/app@)" +
                                kOld + R"("]}])"));
    manager.listInstalled({});
    EXPECT_TRUE(manager.checkOutdated({}).empty());
    EXPECT_NE(manager.errorMessage().value_or("").find("could not be reached"), std::string::npos);
}

TEST(RegistryClientTest, ReadsChallengesAndPageLinks) {
    auto fields = RegistryClient::parseChallenge(
        R"(Bearer realm="https://auth.example.com/token",service="registry.example.com",scope="repository:a/b:pull")");
    EXPECT_EQ(fields["scheme"], "bearer");
    EXPECT_EQ(fields["realm"], "https://auth.example.com/token");
    EXPECT_EQ(fields["service"], "registry.example.com");
    EXPECT_EQ(RegistryClient::parseChallenge("Basic realm=\"x\"")["scheme"], "basic");
    EXPECT_EQ(RegistryClient::nextPage("</v2/a/tags/list?last=x>; rel=\"next\"", "https://r.example.com"),
              "https://r.example.com/v2/a/tags/list?last=x");
    EXPECT_EQ(RegistryClient::nextPage("<https://elsewhere.example.com/v2/a>; rel=\"next\"", "https://r.example.com"),
              std::nullopt);
    EXPECT_EQ(RegistryClient::nextPage("</v2/a>; rel=\"prev\"", "https://r.example.com"), std::nullopt);
}

}  // namespace
}  // namespace vt
