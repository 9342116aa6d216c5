#pragma once

#include <optional>
#include <stop_token>

#include "base/Json.hpp"
#include "model/Application.hpp"
#include "presentation/AllUpdateRow.hpp"
#include "cli/SparkleInstall.hpp"

namespace vt::cli {

// The application of the last scan behind a row, when it updates through an appcast.
std::optional<Application> sparkleApplication(const AllUpdateRow& row);

// Installs the newest release of its appcast directly; appends the outcome to `report` and
// returns true when the new version was installed.
bool updateSparkleApplication(const Application& application, bool json, Json& report);

}  // namespace vt::cli
