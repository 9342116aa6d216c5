#include "managers/containers/ContainerImageManager.hpp"

#include <gtest/gtest.h>

#include "managers/PackageManager.hpp"
#include "managers/containers/ContainerError.hpp"
#include "managers/containers/ImageReference.hpp"
#include "model/VersionRules.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/RecordingFileSystem.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kPodman = "/usr/bin/podman";
const std::string kDocker = "/usr/bin/docker";
const std::string kOld = "sha256:" + std::string(64, 'a');
const std::string kNew = "sha256:" + std::string(64, 'b');

std::string podmanListing(const std::string& name, const std::string& digest) {
    const std::string repository = name.substr(0, name.rfind(':'));
    return R"([{"Id": "e0ef", "Names": [")" + name + R"("], "RepoDigests": [")" + repository + "@" + digest +
           R"("], "Size": 3535}])";
}

struct EngineFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    ContainerImageManager manager{runner, files};

    explicit EngineFixture(bool docker, bool podman) {
        if (docker) files.addExecutable(kDocker);
        if (podman) files.addExecutable(kPodman);
    }
};

TEST(ContainerImageManagerTest, ReadsTaggedImagesOfEachEngineAsTheyPrintThem) {
    std::vector<ContainerImageManager::LocalImage> docker =
        ContainerImageManager::parseDockerListing(testing::fixture("docker", "image-ls.jsonl") + "not json\n{\n");
    ASSERT_EQ(docker.size(), 3u);  // the untagged image is left out
    EXPECT_EQ(docker[0].name, "nginx:latest");
    EXPECT_EQ(docker[0].digests, std::vector<std::string>{
                                     "sha256:4c0fdaa8b6341bfdeca5f18f7837462c80cff90527ee35ef185571e1c327beac"});
    EXPECT_EQ(docker[1].name, "ghcr.io/acme/tool:1.2");
    EXPECT_TRUE(docker[2].digests.empty()) << "built here: no registry digest";

    auto podman = ContainerImageManager::parsePodmanListing(testing::fixture("podman", "images.json"));
    ASSERT_TRUE(podman.has_value());
    // One image under two names, printed twice by podman, and a dangling build without one.
    ASSERT_EQ(podman->size(), 2u);
    EXPECT_EQ((*podman)[0].name, "127.0.0.1:5143/demo/app:latest");
    EXPECT_EQ((*podman)[1].name, "localhost/tools/cli:1.2");
    EXPECT_EQ((*podman)[0].digests,
              std::vector<std::string>{"sha256:76d66e81105c6b66cad374a722d9c146352a49cd096f7747a8d9a80d08320ecd"});

    EXPECT_TRUE(ContainerImageManager::parsePodmanListing("[]")->empty());
    EXPECT_FALSE(ContainerImageManager::parsePodmanListing("Error: no storage").has_value());
    EXPECT_TRUE(ContainerImageManager::parseDockerListing("").empty());

    // A huge listing is read whole.
    std::string listing = "[";
    for (int i = 0; i < 5000; ++i) {
        if (i > 0) listing += ",";
        listing += podmanListing("registry.example.com/team/app" + std::to_string(i) + ":1.0." + std::to_string(i), kOld)
                       .substr(1);
        listing.pop_back();
    }
    listing += "]";
    auto images = ContainerImageManager::parsePodmanListing(listing);
    ASSERT_TRUE(images.has_value());
    EXPECT_EQ(images->size(), 5000u);
}

TEST(ContainerImageManagerTest, AnEngineWithoutItsDaemonLeavesTheOtherEnginesRows) {
    EngineFixture both(true, true);
    both.runner.on(kDocker + " image ls --digests --no-trunc --format {{json .}}",
                   Response::failure(1, "Cannot connect to the Docker daemon at unix:///var/run/docker.sock. "
                                        "Is the docker daemon running?\n"));
    both.runner.on(kPodman + " images --format json", Response::output(podmanListing("quay.io/team/app:2", kOld)));
    std::vector<Package> packages = both.manager.listInstalled({});
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].name, "quay.io/team/app:2");
    EXPECT_EQ(packages[0].version, kOld);
    EXPECT_EQ(packages[0].sourceIdentifier, "podman");
    EXPECT_FALSE(both.manager.errorMessage().has_value());

    EngineFixture dockerOnly(true, false);
    dockerOnly.runner.on(kDocker + " image ls --digests --no-trunc --format {{json .}}",
                         Response::failure(1, "Cannot connect to the Docker daemon"));
    EXPECT_TRUE(dockerOnly.manager.listInstalled({}).empty());
    EXPECT_NE(dockerOnly.manager.errorMessage().value_or("").find("Cannot connect to the Docker daemon"), std::string::npos);

    EngineFixture none(false, false);
    EXPECT_TRUE(none.manager.listInstalled({}).empty());
    EXPECT_FALSE(none.manager.errorMessage().has_value()) << "not installed is not a failure";
}

TEST(ContainerImageManagerTest, UpdatePullsTheDigestShownAndTagsItWithTheEngineThatListedIt) {
    EngineFixture f(true, true);
    // What podman lists after the pull: the newer tag, on the digest shown.
    f.runner.on(kPodman + " images --format json", Response::output(podmanListing("quay.io/team/app:1.3", kNew)));
    f.runner.on(kPodman + " pull quay.io/team/app@" + kNew, Response::output(""));
    f.runner.on(kPodman + " tag quay.io/team/app@" + kNew + " quay.io/team/app:1.3", Response::output(""));
    Package package{.name = "quay.io/team/app:1.2", .version = kOld, .type = PackageType::DockerImage,
                    .latestVersion = kNew, .description = "quay.io/team/app:1.3", .sourceIdentifier = "podman"};
    f.manager.update(package, {});
    std::vector<std::string> commands;
    for (const std::string& line : f.runner.commandLines()) {
        if (line.rfind(kPodman, 0) == 0) commands.push_back(line);
    }
    EXPECT_EQ(commands, (std::vector<std::string>{kPodman + " pull quay.io/team/app@" + kNew,
                                                  kPodman + " tag quay.io/team/app@" + kNew + " quay.io/team/app:1.3",
                                                  kPodman + " images --format json"}));

    // The registry moved again between the scan and the pull: the tag does not hold what was shown.
    EngineFixture moved(false, true);
    moved.runner.on(kPodman + " images --format json", Response::output(podmanListing("quay.io/team/app:1.2", kOld)));
    moved.runner.on(kPodman + " pull quay.io/team/app@" + kNew, Response::output(""));
    moved.runner.on(kPodman + " tag quay.io/team/app@" + kNew + " quay.io/team/app:1.2", Response::output(""));
    package.description = "quay.io/team/app:1.2";
    EXPECT_EQ(testing::thrown<ContainerError>([&] { moved.manager.update(package, {}); }).value().kind(),
              ContainerErrorKind::NotMoved);
}

TEST(ContainerImageManagerTest, HostileNamesAreRefusedBeforeAnyCommand) {
    EngineFixture f(true, true);
    struct Case { std::string name, description, digest; };
    const Case cases[] = {
        {"-rm:latest", "", kNew},
        {"app;rm -rf /:1", "", kNew},
        {"../etc/app:1", "", kNew},
        {"Team/App:1", "", kNew},
        {"app:-x", "", kNew},
        {"app:1", "other:2", kNew},  // another image named as the target
        {"app:1", "", "sha256:zz"},
        {"app:1", "", "latest"},
        {"app@sha256:" + std::string(64, 'c'), "", kNew},
    };
    for (const Case& c : cases) {
        Package package{.name = c.name, .version = kOld, .type = PackageType::DockerImage, .latestVersion = c.digest,
                        .sourceIdentifier = "docker"};
        if (!c.description.empty()) package.description = c.description;
        EXPECT_THROW(f.manager.update(package, {}), ContainerError) << c.name;
    }
    for (const std::string& line : f.runner.commandLines()) {
        EXPECT_EQ(line.find(" pull "), std::string::npos) << line;
        EXPECT_EQ(line.find(" tag "), std::string::npos) << line;
    }
    EXPECT_FALSE(PackageManager::isSafePackageName("team/../app:1", PackageType::DockerImage));
    EXPECT_TRUE(PackageManager::isSafePackageName("127.0.0.1:5000/team/app:1", PackageType::DockerImage));
}

TEST(ImageReferenceTest, SplitsReferencesAndOffersOnlyNewerTagsOfTheSameShape) {
    auto hub = ImageReference::parse("nginx");
    ASSERT_TRUE(hub);
    EXPECT_EQ(hub->repository, "library/nginx");
    EXPECT_EQ(hub->tag, "latest");
    EXPECT_TRUE(hub->isDockerHub());
    auto local = ImageReference::parse("127.0.0.1:5000/team/app:v2.1");
    ASSERT_TRUE(local);
    EXPECT_EQ(local->host, "127.0.0.1:5000");
    EXPECT_EQ(local->repository, "team/app");
    EXPECT_EQ(local->tag, "v2.1");
    EXPECT_EQ(local->apiBase(), "http://127.0.0.1:5000");
    EXPECT_EQ(ImageReference::parse("ghcr.io/acme/tool:1")->apiBase(), "https://ghcr.io");
    EXPECT_EQ(ImageReference::parse("docker.io/library/redis:7")->repository, "library/redis");
    EXPECT_EQ(ImageReference::parse("localhost/tools/cli:1.2")->host, "localhost");
    for (const char* bad : {"", "UPPER:1", "a//b:1", "a:b:c", "a: b", "-a:1", "a:1\n", "a@sha256:00"}) {
        EXPECT_FALSE(ImageReference::parse(bad)) << bad;
    }

    const std::vector<std::string> tags = {"1.2", "1.3", "1.10", "2.0-rc1", "1.11-alpine", "latest", "1.9.9", "v1.12"};
    EXPECT_EQ(newestTagOfSameShape("1.2", tags), "1.10");
    EXPECT_EQ(newestTagOfSameShape("1.11-alpine", tags), std::nullopt);
    EXPECT_EQ(newestTagOfSameShape("1.10", tags), std::nullopt);
    EXPECT_EQ(newestTagOfSameShape("latest", tags), std::nullopt);
    EXPECT_EQ(newestTagOfSameShape("2.0-rc0", tags), "2.0-rc1");
    EXPECT_EQ(tagShape("v1.12"), "v#.#");

    EXPECT_TRUE(isUpdateAvailable(kOld, kNew, false));
    EXPECT_TRUE(isUpdateAvailable(kNew, kOld, false)) << "a digest has no order";
    EXPECT_FALSE(isUpdateAvailable(kNew, kNew, false));
    EXPECT_TRUE(isUpdateAvailable("11aecd9b", "89a7dcfd", false));
    EXPECT_FALSE(isUpdateAvailable("20240101", "20231231", false)) << "an all-digit text is a version";
    EXPECT_EQ(displayVersion(kNew), "sha256:bbbbbbbbbbbb");
}

}  // namespace
}  // namespace vt
