#include "system/Endpoints.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>

#include "base/Paths.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

struct Definition {
    Service service;
    const char* name;
    const char* address;
    const char* purpose;
};

// The public addresses. Paths below these bases are written by the code that asks.
constexpr std::array kDefinitions{
    Definition{Service::PyPI, "PYPI", "https://pypi.org", "PyPI JSON API"},
    Definition{Service::GitHubApi, "GITHUB_API", "https://api.github.com", "GitHub REST API"},
    Definition{Service::GitHubWeb, "GITHUB_WEB", "https://github.com", "GitHub web host"},
    Definition{Service::ITunes, "ITUNES", "https://itunes.apple.com", "iTunes lookup and search"},
    Definition{Service::AppStoreWeb, "APPSTORE_WEB", "https://apps.apple.com", "App Store web pages"},
    Definition{Service::Sofa, "SOFA", "https://sofafeed.macadmins.io", "SOFA macOS release feed"},
    Definition{Service::HomebrewApi, "HOMEBREW_API", "https://formulae.brew.sh/api", "Homebrew JSON API"},
    Definition{Service::OpenVsx, "OPENVSX", "https://open-vsx.org", "Open VSX registry"},
    Definition{Service::VsMarketplace, "VSMARKETPLACE", "https://marketplace.visualstudio.com",
               "Visual Studio Marketplace"},
    Definition{Service::CursorMarketplace, "CURSOR_MARKETPLACE", "https://marketplace.cursorapi.com",
               "Cursor extension marketplace"},
    Definition{Service::Flutter, "FLUTTER", "https://storage.googleapis.com/flutter_infra_release/releases",
               "Flutter release manifests"},
    Definition{Service::Crates, "CRATES", "https://crates.io", "crates registry API"},
    Definition{Service::RubyGems, "RUBYGEMS", "https://rubygems.org", "RubyGems API"},
    Definition{Service::GoProxy, "GO_PROXY", "https://proxy.golang.org", "Go module proxy"},
    Definition{Service::Packagist, "PACKAGIST", "https://repo.packagist.org", "Packagist metadata"},
    Definition{Service::RustupDist, "RUSTUP_DIST", "https://static.rust-lang.org", "Rust release channels"},
    Definition{Service::Sdkman, "SDKMAN", "https://api.sdkman.io", "SDKMAN candidates API"},
    Definition{Service::JetBrains, "JETBRAINS", "https://data.services.jetbrains.com", "JetBrains product releases"},
    Definition{Service::AndroidStudio, "ANDROID_STUDIO", "https://developer.android.com", "Android Studio releases"},
    Definition{Service::Cve, "CVE", "https://cveawg.mitre.org/api", "CVE records"},
    Definition{Service::Discord, "DISCORD", "https://discord.com/api", "Discord update service"},
    Definition{Service::Raycast, "RAYCAST", "https://releases.raycast.com", "Raycast release service"},
    Definition{Service::S3, "S3", "https://s3.amazonaws.com", "Amazon S3 buckets of Electron update feeds"},
    Definition{Service::Tower, "TOWER", "https://www.git-tower.com", "Tower release notes (Markdown)"},
    Definition{Service::DockerHub, "DOCKER_HUB", "https://registry-1.docker.io",
               "Docker Hub's registry API, for images named without a registry host"},
    Definition{Service::OllamaRegistry, "OLLAMA_REGISTRY", "https://registry.ollama.ai",
               "Ollama's model registry (manifests of the models pulled by name)"},
    Definition{Service::ClaudeReleases, "CLAUDE_RELEASES",
               "https://storage.googleapis.com/claude-code-dist-86c565f3-f756-42ad-8dfa-d59b1c096819/claude-code-releases",
               "the AI coding assistant's release channel (the version its own updater installs)"},
    Definition{Service::Osv, "OSV", "https://api.osv.dev",
               "OSV vulnerability database (known vulnerabilities of versions)"},
};

const Definition& definitionOf(Service service) {
    for (const Definition& definition : kDefinitions) {
        if (definition.service == service) return definition;
    }
    throw std::logic_error("a service without an endpoint");
}

struct Address {
    std::string origin;  // scheme://authority
    std::optional<std::string> path;  // without a trailing "/"; nullopt when none was written
};

std::optional<Address> parseAddress(std::string_view text) {
    std::string lower = toLower(text);
    std::size_t schemeEnd = 0;
    if (startsWith(lower, "http://")) {
        schemeEnd = 7;
    } else if (startsWith(lower, "https://")) {
        schemeEnd = 8;
    } else {
        return std::nullopt;
    }
    for (char c : text) {
        if (isBlank(c) || c == '?' || c == '#' || static_cast<unsigned char>(c) < 0x20) return std::nullopt;
    }
    std::size_t pathStart = text.find('/', schemeEnd);
    std::string_view authority = text.substr(schemeEnd, pathStart - schemeEnd);
    if (authority.empty() || authority.front() == ':') return std::nullopt;
    Address address;
    address.origin = lower.substr(0, schemeEnd) + std::string(authority);
    if (pathStart != std::string_view::npos) {
        std::string_view path = text.substr(pathStart);
        while (!path.empty() && path.back() == '/') path.remove_suffix(1);
        address.path = std::string(path);
    }
    return address;
}

std::string variableOf(const Definition& definition) { return std::string("VANTREEL_ENDPOINT_") + definition.name; }

EndpointEntry entryOf(const Definition& definition) {
    EndpointEntry entry;
    entry.service = definition.service;
    entry.name = definition.name;
    entry.variable = variableOf(definition);
    entry.defaultAddress = definition.address;
    entry.purpose = definition.purpose;
    entry.address = entry.defaultAddress;
    auto value = paths::environmentValue(entry.variable.c_str());
    if (!value) return entry;
    auto override = parseAddress(*value);
    if (!override) {
        throw EndpointError(entry.variable + " must be an http or https address such as http://127.0.0.1:8123, not \"" +
                            *value + "\"");
    }
    auto original = parseAddress(entry.defaultAddress);
    entry.address = override->origin + override->path.value_or(original->path.value_or(""));
    entry.overridden = true;
    return entry;
}

}  // namespace

std::string Endpoints::base(Service service) { return entryOf(definitionOf(service)).address; }

std::string Endpoints::url(Service service, std::string_view path) { return base(service) + std::string(path); }

std::string Endpoints::host(Service service) {
    std::string address = base(service);
    std::size_t start = address.find("://") + 3;
    return address.substr(start, address.find('/', start) - start);
}

std::string_view Endpoints::name(Service service) { return definitionOf(service).name; }

std::optional<Service> Endpoints::serviceNamed(std::string_view name) {
    for (const Definition& definition : kDefinitions) {
        if (equalsIgnoringCase(definition.name, name)) return definition.service;
    }
    return std::nullopt;
}

std::vector<Service> Endpoints::allServices() {
    std::vector<Service> services;
    for (const Definition& definition : kDefinitions) services.push_back(definition.service);
    return services;
}

EndpointEntry Endpoints::entry(Service service) { return entryOf(definitionOf(service)); }

std::vector<std::string> Endpoints::overrideProblems() {
    std::vector<std::string> problems;
    for (const Definition& definition : kDefinitions) {
        try {
            entryOf(definition);
        } catch (const EndpointError& error) {
            problems.push_back(error.what());
        }
    }
    const std::string_view prefix = "VANTREEL_ENDPOINT_";
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        const std::string_view text = *variable;
        if (!startsWith(text, prefix)) continue;
        const std::string_view name = text.substr(0, text.find('='));
        const bool known = std::any_of(kDefinitions.begin(), kDefinitions.end(), [name](const Definition& definition) {
            return name == variableOf(definition);
        });
        if (!known) problems.push_back(std::string(name) + " names no endpoint (vantreel endpoints lists them)");
    }
    return problems;
}

std::vector<EndpointEntry> Endpoints::table() {
    std::vector<EndpointEntry> entries;
    for (const Definition& definition : kDefinitions) entries.push_back(entryOf(definition));
    return entries;
}

}  // namespace vt
