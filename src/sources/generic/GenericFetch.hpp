#pragma once

#include <chrono>
#include <stop_token>
#include <string>
#include <string_view>

#include "system/NetworkClient.hpp"

namespace vt {

// The requests of one application's manifest check: each request gets at most 10 seconds,
// and all of them together at most 15, so a check that has to follow a release to its
// asset cannot take longer than one slow server. Bodies larger than a manifest are refused.
class ManifestFetch {
public:
    static constexpr double kRequestSeconds = 10;
    static constexpr double kResourceSeconds = 15;

    ManifestFetch(NetworkClient& network, std::stop_token stop);

    // A GET with the manager's User-Agent and the given Accept; throws NetworkError (a
    // timeout once the budget is spent) and CancellationError.
    HttpResponse get(const std::string& url, std::string_view accept);

private:
    NetworkClient& network_;
    std::stop_token stop_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace vt
