#pragma once

#include <optional>
#include <stop_token>

#include "base/Json.hpp"
#include "model/Application.hpp"
#include "presentation/AllUpdateRow.hpp"
#include "updates/SparkleUpdateInstaller.hpp"

namespace vt::cli {

// The application of the last scan behind a row, when it updates through an appcast.
std::optional<Application> sparkleApplication(const AllUpdateRow& row);

// One direct install of the newest release of an application's appcast: the bundle and its
// feed read again, the release downloaded, verified and put in place. `interactive` lets it
// ask on the terminal whether a running application may be quit.
struct SparkleUpdateRun {
    bool interactive = false;
    SparkleUpdateInstaller::ProgressHandler onProgress;
    std::stop_token stop;
};
SparkleUpdateOutcome installSparkleRelease(const Application& application, const SparkleUpdateRun& run);

// Installs the newest release of its appcast directly; appends the outcome to `report` and
// returns true when the new version was installed.
bool updateSparkleApplication(const Application& application, bool json, Json& report);

}  // namespace vt::cli
