#include "managers/containers/ImageReference.hpp"

#include <algorithm>

#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "system/Endpoints.hpp"

namespace vt {

namespace {

// The reference grammar of the distribution project: lower-case components joined by
// ".", "_", "__" or dashes, separated by "/"; a tag of word characters, "." and "-".
const Regex& componentPattern() {
    static const Regex pattern(R"(^[a-z0-9]+(?:(?:[._]|__|-+)[a-z0-9]+)*$)");
    return pattern;
}

const Regex& hostPattern() {
    static const Regex pattern(R"(^(?:[a-zA-Z0-9](?:[a-zA-Z0-9-]*[a-zA-Z0-9])?(?:\.[a-zA-Z0-9](?:[a-zA-Z0-9-]*[a-zA-Z0-9])?)*|\[[0-9a-fA-F:]+\])(?::[0-9]{1,5})?$)");
    return pattern;
}

const Regex& tagPattern() {
    static const Regex pattern(R"(^[A-Za-z0-9_][A-Za-z0-9_.-]{0,127}$)");
    return pattern;
}

bool isAsciiDigit(char c) noexcept { return c >= '0' && c <= '9'; }

bool isHostComponent(std::string_view component) {
    return component.find('.') != std::string_view::npos || component.find(':') != std::string_view::npos ||
           component == "localhost";
}

// The numbers of a tag, in order ("1.25.3-alpine" gives 1, 25, 3).
std::vector<unsigned long long> numbersOf(std::string_view tag) {
    std::vector<unsigned long long> numbers;
    std::size_t i = 0;
    while (i < tag.size()) {
        if (!isAsciiDigit(tag[i])) {
            ++i;
            continue;
        }
        unsigned long long value = 0;
        while (i < tag.size() && isAsciiDigit(tag[i])) {
            // Huge runs saturate: they still compare, they never overflow.
            value = value > 100000000000000000ull ? value : value * 10 + static_cast<unsigned>(tag[i] - '0');
            ++i;
        }
        numbers.push_back(value);
    }
    return numbers;
}

}  // namespace

std::optional<ImageReference> ImageReference::parse(std::string_view text) {
    if (text.empty() || text.size() > 512 || text.find('@') != std::string_view::npos) return std::nullopt;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == '\\') return std::nullopt;
    }
    ImageReference reference;
    std::string_view rest = text;
    // The tag follows the last ":" that comes after the last "/": a port comes before one.
    const std::size_t lastSlash = rest.rfind('/');
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos && (lastSlash == std::string_view::npos || colon > lastSlash)) {
        reference.tag = std::string(rest.substr(colon + 1));
        rest = rest.substr(0, colon);
    } else {
        reference.tag = "latest";
    }
    if (!tagPattern().fullyMatches(reference.tag)) return std::nullopt;
    std::vector<std::string_view> components = split(rest, '/');
    if (components.empty()) return std::nullopt;
    std::string_view host = "docker.io";
    if (components.size() > 1 && isHostComponent(components.front())) {
        host = components.front();
        if (!hostPattern().fullyMatches(host)) return std::nullopt;
        components.erase(components.begin());
    }
    for (std::string_view component : components) {
        if (!componentPattern().fullyMatches(component)) return std::nullopt;
    }
    reference.host = std::string(host);
    reference.name = std::string(rest);
    std::vector<std::string> parts(components.begin(), components.end());
    reference.repository = join(parts, "/");
    if (reference.isDockerHub() && parts.size() == 1) reference.repository = "library/" + reference.repository;
    return reference;
}

bool ImageReference::isDockerHub() const {
    return host == "docker.io" || host == "index.docker.io" || host == "registry-1.docker.io";
}

bool ImageReference::isLoopback() const {
    std::string_view bare = host;
    if (bare.starts_with("[")) return bare.starts_with("[::1]");
    bare = bare.substr(0, bare.find(':'));
    return bare == "localhost" || bare.starts_with("127.");
}

std::string ImageReference::apiBase() const {
    if (isDockerHub()) return Endpoints::base(Service::DockerHub);
    return (isLoopback() ? "http://" : "https://") + host;
}

std::string ImageReference::credentialsKey() const { return isDockerHub() ? "https://index.docker.io/v1/" : host; }

bool isManifestDigest(std::string_view text) {
    static const Regex pattern(R"(^sha256:[0-9a-f]{64}$)");
    return pattern.fullyMatches(text);
}

std::optional<std::string> tagShape(std::string_view tag) {
    std::string shape;
    bool hasDigit = false;
    for (std::size_t i = 0; i < tag.size(); ++i) {
        if (isAsciiDigit(tag[i])) {
            hasDigit = true;
            if (shape.empty() || shape.back() != '#') shape += '#';
        } else {
            shape += tag[i];
        }
    }
    if (!hasDigit) return std::nullopt;
    return shape;
}

std::optional<std::string> newestTagOfSameShape(std::string_view current, const std::vector<std::string>& tags) {
    const std::optional<std::string> shape = tagShape(current);
    if (!shape) return std::nullopt;
    std::optional<std::string> newest;
    std::vector<unsigned long long> newestNumbers = numbersOf(current);
    for (const std::string& tag : tags) {
        if (tagShape(tag) != shape) continue;
        std::vector<unsigned long long> numbers = numbersOf(tag);
        if (std::lexicographical_compare(newestNumbers.begin(), newestNumbers.end(), numbers.begin(), numbers.end())) {
            newest = tag;
            newestNumbers = std::move(numbers);
        }
    }
    return newest;
}

}  // namespace vt
