#include "system/NetworkClient.hpp"

#include <algorithm>
#include <charconv>

#include "base/Strings.hpp"

namespace vt {

namespace {

std::optional<long long> integerHeader(const HttpHeaders& headers, std::string_view name) {
    auto value = headers.get(name);
    if (!value) return std::nullopt;
    std::string_view text = trimView(*value);
    long long number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

}  // namespace

HttpHeaders::HttpHeaders(std::initializer_list<std::pair<std::string, std::string>> entries) : entries_(entries) {}

void HttpHeaders::add(std::string name, std::string value) { entries_.emplace_back(std::move(name), std::move(value)); }

void HttpHeaders::set(std::string name, std::string value) {
    remove(name);
    add(std::move(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
    std::erase_if(entries_, [&](const auto& entry) { return equalsIgnoringCase(entry.first, name); });
}

std::optional<std::string> HttpHeaders::get(std::string_view name) const {
    for (const auto& [key, value] : entries_) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

std::vector<std::string> HttpHeaders::getAll(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : entries_) {
        if (equalsIgnoringCase(key, name)) values.push_back(value);
    }
    return values;
}

std::optional<std::uint64_t> HttpResponse::contentLength() const {
    auto length = integerHeader(headers, "Content-Length");
    if (!length || *length < 0) return std::nullopt;
    return static_cast<std::uint64_t>(*length);
}

std::optional<long long> HttpResponse::retryAfterSeconds() const { return integerHeader(headers, "Retry-After"); }
std::optional<long long> HttpResponse::rateLimitRemaining() const {
    return integerHeader(headers, "X-RateLimit-Remaining");
}
std::optional<long long> HttpResponse::rateLimitReset() const { return integerHeader(headers, "X-RateLimit-Reset"); }

std::string NetworkClient::successfulBody(const HttpResponse& response) {
    if (!response.isSuccess()) throw NetworkError::invalidResponse(response.statusCode);
    if (response.body.empty()) throw NetworkError::noData();
    return response.body;
}

std::string NetworkClient::decodedText(std::string bytes) {
    // Repairing changes nothing exactly when the bytes were valid UTF-8 already.
    if (sanitizeUtf8(bytes) != bytes) throw NetworkError::decodingFailed("the body is not valid UTF-8");
    return bytes;
}

Json NetworkClient::decodedJson(std::string_view text) {
    auto json = parseJson(text);
    if (!json) throw NetworkError::decodingFailed("the body is not JSON");
    return std::move(*json);
}

std::string NetworkClient::fetchData(const std::string& url, std::stop_token stop) {
    HttpRequest request;
    request.url = url;
    return successfulBody(send(request, std::move(stop)));
}

std::string NetworkClient::fetchText(const std::string& url, std::stop_token stop) {
    return decodedText(fetchData(url, std::move(stop)));
}

Json NetworkClient::fetchJson(const std::string& url, std::stop_token stop) {
    return decodedJson(fetchText(url, std::move(stop)));
}

}  // namespace vt
