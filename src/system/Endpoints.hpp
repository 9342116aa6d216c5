#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// Every outside service the system talks to. No JavaScript registry is here, on purpose: the
// tools' own configuration decides where their packages come from, and when no tool says,
// the registry is unknown rather than guessed.
enum class Service {
    PyPI,
    GitHubApi,
    GitHubWeb,
    ITunes,
    AppStoreWeb,
    Sofa,
    HomebrewApi,
    OpenVsx,
    VsMarketplace,
    CursorMarketplace,
    Flutter,
    Crates,
    RubyGems,
    GoProxy,
    Packagist,
    RustupDist,
    Sdkman,
    JetBrains,
    AndroidStudio,
    Cve,
    Discord,
    Raycast,
    S3,
    Tower,
    DockerHub,
    OllamaRegistry,
    ClaudeReleases,
    Osv,
};

class EndpointError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct EndpointEntry {
    Service service;
    std::string name;            // "PYPI"
    std::string variable;        // "VANTREEL_ENDPOINT_PYPI"
    std::string defaultAddress;  // the public service
    std::string address;         // in effect
    bool overridden = false;
    std::string purpose;
};

// The one table of outbound addresses. Each service has a base address, and requests are
// that base followed by a path ("/pypi/" + name + "/json").
//
// VANTREEL_ENDPOINT_<NAME> overrides a base, for tests on loopback and for mirrors. The value
// must be an http or https address. It replaces scheme, host and port; when it has a path
// (even a lone "/") that replaces the default's path prefix too, and when it has none the
// default's prefix is kept, so "http://127.0.0.1:8123" serves the same paths as the original.
// Overrides are read from the environment at each call. A malformed one throws EndpointError
// rather than sending requests somewhere unintended.
class Endpoints {
public:
    static std::string base(Service service);
    // base + path; the path starts with "/" (or "?" for a query on the base itself).
    static std::string url(Service service, std::string_view path);
    // "host" or "host:port" of the base in effect (for recognising addresses on that host).
    static std::string host(Service service);

    static std::string_view name(Service service);
    static std::optional<Service> serviceNamed(std::string_view name);  // either case
    static std::vector<Service> allServices();
    static EndpointEntry entry(Service service);
    // Every entry, in a fixed order; throws EndpointError when any override is malformed.
    static std::vector<EndpointEntry> table();
    // What is wrong with the overrides in the environment: a malformed address, or a
    // VANTREEL_ENDPOINT_ variable that names no endpoint (a typo would otherwise go unseen).
    static std::vector<std::string> overrideProblems();
};

}  // namespace vt
