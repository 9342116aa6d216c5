// Appcasts, read and checked.
// 1. Every corpus feed parsed ROUNDS times by our parser (every field of every item read)
//    against pugixml's own parse of the same bytes: items per second, the ratio pugixml/ours.
// 2. APPS Sparkle applications whose feeds a loopback https server answers after LATENCY ms,
//    checked by the update-check engine under its cap, against the ideal
//    ceil(APPS / cap) * latency. The last line gives both ratios.
//
//   AppcastsBench [rounds=100] [apps=200] [latency-ms=50]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "BenchSupport.hpp"
#include "base/Files.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "sources/UpdateCheckCoordinator.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace {

using vt::bench::argument;
using vt::bench::secondsSince;

using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argument(argc, argv, 1, 100);
    const int appCount = argument(argc, argv, 2, 200);
    const int latencyMs = argument(argc, argv, 3, 50);

    std::vector<std::string> feeds;
    const auto appcasts = std::filesystem::path(vt::testing::corpusPath("appcasts/README.md")).parent_path();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(appcasts)) {
        if (entry.path().extension() == ".xml") feeds.push_back(*vt::readFile(entry.path().string()));
    }
    std::vector<std::size_t> itemCounts;
    std::size_t offered = 0;  // feeds with a release to offer
    for (const std::string& feed : feeds) {
        vt::SparkleAppcast appcast(feed);
        itemCounts.push_back(appcast.items().size());
        offered += appcast.newest(false) != nullptr ? 1 : 0;
    }
    // Ours and pugixml take turns, a round each, so both meet the same machine: a slow spell,
    // or an allocator the other has warmed, weighs on both alike.
    //   ours: what a check does: every field of every item found, trimmed, its date and length
    //         read, its signature checked, in place in the document;
    //   ours copied: the same, then every item copied out into owned strings (the parser's
    //         whole-feed form, which a check does not use: it copies out only the item it offers).
    std::size_t ourItems = 0, copiedItems = 0, peerItems = 0;
    double ours = 0, copied = 0, peer = 0;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        for (std::size_t i = 0; i < feeds.size(); ++i) {
            pugi::xml_document document;
            if (document.load_buffer(feeds[i].data(), feeds[i].size(), pugi::parse_default, pugi::encoding_utf8)) {
                peerItems += itemCounts[i];  // the same items, their fields left unread
            }
        }
        peer += secondsSince(start);
        start = Clock::now();
        for (const std::string& feed : feeds) ourItems += vt::SparkleAppcast(feed).items().size();
        ours += secondsSince(start);
        start = Clock::now();
        for (const std::string& feed : feeds) copiedItems += vt::SparkleAppcastParser::parse(feed).size();
        copied += secondsSince(start);
    }
    const double parseRatio = (static_cast<double>(peerItems) / peer) / (static_cast<double>(ourItems) / ours);
    const double copiedRatio = (static_cast<double>(peerItems) / peer) / (static_cast<double>(copiedItems) / copied);
    std::printf("appcast parse: %zu feeds x %d (%zu feeds offer a release); ours %.0f items/s, ours copied out %.0f "
                "items/s (ratio %.2f), pugixml %.0f items/s\n",
                feeds.size(), rounds, offered, ourItems / ours, copiedItems / copied, copiedRatio, peerItems / peer);

    vt::testing::LoopbackServer server(vt::testing::LoopbackServer::Options{.workerThreads = 64, .tls = true});
    ::setenv("SSL_CERT_FILE", server.certificatePath().c_str(), 1);
    ::unsetenv("CURL_CA_BUNDLE");
    vt::testing::LoopbackRoute route;
    route.body = vt::testing::corpusFile("appcasts/apps/lunar.appcast2.xml");
    // With its charset the type is sent as it is: the test server would otherwise brotli-compress
    // every answer, and its compressor, not the engine, would be what is measured.
    route.contentType = "application/xml; charset=utf-8";
    route.latency = std::chrono::milliseconds(latencyMs);
    std::vector<vt::Application> applications;
    for (int i = 0; i < appCount; ++i) {
        std::string path = "/feeds/" + std::to_string(i) + ".xml";
        server.setRoute(path, route);
        vt::Application application;
        application.id = application.bundlePath = "/nonexistent/App" + std::to_string(i) + ".app";
        application.name = "App " + std::to_string(i);
        application.bundleIdentifier = "test.bench.sparkle" + std::to_string(i);
        application.version = "5.0";
        application.updateMechanism = vt::UpdateMechanism::Sparkle;
        application.sparkleAppcastURL = server.url(path);
        applications.push_back(std::move(application));
    }
    vt::testing::TempDir folder("vt-appcasts-bench");
    vt::SystemNetworkClient client;
    vt::SparkleManager::Options options;
    options.network = &client;
    vt::SparkleManager manager(options);
    vt::UpdateRepository repository(folder.path());
    vt::UpdateCheckOptions coordinatorOptions;
    coordinatorOptions.stateFile = folder.file("concurrency.json");
    vt::UpdateCheckCoordinator coordinator(repository, coordinatorOptions);
    const int cap = coordinator.currentMaxConcurrent();
    const auto start = Clock::now();
    auto run = coordinator.run(applications, vt::SourceSettings{},
                               [&manager](const vt::Application& application, std::stop_token stop) {
                                   return manager.check(application, stop);
                               });
    const double measured = secondsSince(start);
    long long resolved = 0;
    for (const vt::Application& application : run->applications) resolved += application.latestVersion ? 1 : 0;
    const double ideal = ((appCount + cap - 1) / cap) * (latencyMs / 1000.0);
    std::printf("appcast checks: %d apps, %d ms latency, cap %d; %lld resolved in %.3f s, ideal %.3f s\n", appCount,
                latencyMs, cap, resolved, measured, ideal);
    std::printf("appcasts ratios: parse pugixml/ours %.2f (target 2.0), checks measured/ideal %.2f (target 1.2)\n",
                parseRatio, measured / ideal);
    return resolved == appCount ? 0 : 1;
}
