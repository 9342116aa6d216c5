#pragma once

#include "base/Json.hpp"
#include "updates/BatchUpdateResult.hpp"

namespace vt::cli {

// The JSON of `update` and `update --all`: one object per item attempted, in the words of the
// scan's JSON ("id", "name", "version", "latestVersion", "source"), dates in RFC 3339.
Json updateResultJson(const PackageUpdateResult& result);
// {"schemaVersion", "results", "startTime", "endTime", "cancelled"}.
Json batchResultJson(const BatchUpdateResult& batch);

}  // namespace vt::cli
