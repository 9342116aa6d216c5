#pragma once

#include <string>
#include <string_view>

#include "core/UpdatesExport.hpp"

namespace vt {

// The name of the file in a node exporter's textfile folder.
inline constexpr std::string_view kPrometheusTextfileName = "vantreel.prom";

// The export in Prometheus' text exposition format: every family with its "# HELP" and
// "# TYPE" lines, its series together, no time stamps (the node exporter's textfile
// collector refuses them). Pending updates and exclusions have a series for every source
// the scan knows and every kind or reason, 0 included, so that a dashboard's sum never
// misses one. The apt families (and node_reboot_required) are written only with `apt`, with
// the names, labels and meanings of the community's apt collector, whose dashboards read
// them. Pure.
std::string prometheusExposition(const UpdatesExport& data);

// A label value as the format writes it between quotes: backslash, double quote and line feed
// escaped, bytes that are not UTF-8 replaced (a file with them is refused whole).
std::string escapedLabelValue(std::string_view value);

}  // namespace vt
