#pragma once

#include <stop_token>

#include "model/Application.hpp"
#include "updates/SparkleUpdateInstaller.hpp"

namespace vt {
class NetworkClient;
class PrivilegedOperations;
}  // namespace vt

namespace vt::cli {

// One direct install of the newest release of an application's appcast: the bundle and its
// feed read again, the release downloaded, verified and put in place, through the client and
// the root operations given. `interactive` lets it ask on the terminal whether a running
// application may be quit.
struct SparkleUpdateRun {
    bool interactive = false;
    SparkleUpdateInstaller::ProgressHandler onProgress;
    std::stop_token stop;
    NetworkClient* network = nullptr;
    PrivilegedOperations* privileged = nullptr;
};
SparkleUpdateOutcome installSparkleRelease(const Application& application, const SparkleUpdateRun& run);

}  // namespace vt::cli
