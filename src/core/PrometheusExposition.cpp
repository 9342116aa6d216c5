#include "core/PrometheusExposition.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/Strings.hpp"

namespace vt {

namespace {

using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

// Counts are whole; durations and time stamps keep their fraction, to the millisecond. A
// value read from a damaged file may be anything, and is still written as the format says.
std::string sampleValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char number[64];
    if (std::fabs(value) < 1e15 && value == std::floor(value)) {
        std::snprintf(number, sizeof(number), "%lld", static_cast<long long>(value));
    } else if (std::fabs(value) < 1e15) {
        std::snprintf(number, sizeof(number), "%.3f", value);
    } else {
        std::snprintf(number, sizeof(number), "%.17g", value);
    }
    return number;
}

// One metric family, written whole: its help, its type, then its series.
class Family {
public:
    Family(std::string& out, std::string_view name, std::string_view help) : out_(out), name_(name) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;  // our own texts: no backslash or line feed to escape
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += " gauge\n";
    }

    void sample(const Labels& labels, double value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (i > 0) out_ += ',';
                out_ += labels[i].first;
                out_ += "=\"";
                out_ += escapedLabelValue(labels[i].second);
                out_ += '"';
            }
            out_ += '}';
        }
        out_ += ' ';
        out_ += sampleValue(value);
        out_ += '\n';
    }

private:
    std::string& out_;
    std::string_view name_;
};

void writeAptFamily(std::string& out, std::string_view name, std::string_view help,
                    const std::vector<AptUpgradeCount>& counts) {
    Family family(out, name, help);
    // As the collector does: nothing to count is one series with empty labels.
    if (counts.empty()) family.sample({{"origin", ""}, {"arch", ""}}, 0);
    for (const AptUpgradeCount& count : counts) {
        family.sample({{"origin", count.origin}, {"arch", count.architecture}}, static_cast<double>(count.count));
    }
}

}  // namespace

std::string escapedLabelValue(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : sanitizeUtf8(value)) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string prometheusExposition(const UpdatesExport& data) {
    std::string out;
    {
        Family family(out, "vantreel_info", "Van Treel's version, in its label; always 1.");
        family.sample({{"version", data.programVersion}}, 1);
    }
    {
        Family family(out, "vantreel_last_scan_timestamp_seconds",
                      "When the scan whose results are exported ended, in seconds since 1970.");
        const auto since1970 = std::chrono::duration<double>(data.lastScanDate.time_since_epoch()).count();
        family.sample({}, since1970);
    }
    {
        Family family(out, "vantreel_updates_pending",
                      "Pending updates the table shows, by source and kind (security, major, minor, patch, other).");
        for (const ExportedSource& source : data.sources) {
            for (UpdateKind kind : kAllUpdateKinds) {
                family.sample({{"source", source.id}, {"kind", rawValue(kind)}},
                              static_cast<double>(data.pendingCount(source.id, kind)));
            }
        }
    }
    {
        Family family(out, "vantreel_updates_excluded",
                      "Pending updates left out of the table, by source and reason (ignored, snoozed, skipped, "
                      "too_recent, pinned, deferred).");
        for (const ExportedSource& source : data.sources) {
            for (ExclusionReason reason : kAllExclusionReasons) {
                family.sample({{"source", source.id}, {"reason", rawValue(reason)}},
                              static_cast<double>(data.excludedCount(source.id, reason)));
            }
        }
    }
    {
        Family family(out, "vantreel_source_up", "1 when the last scan listed the source, 0 when it failed.");
        for (const ExportedSource& source : data.sources) family.sample({{"source", source.id}}, source.listed ? 1 : 0);
    }
    {
        Family family(out, "vantreel_source_latest_known",
                      "1 when the last scan found the source's latest versions, 0 when they could not be reached.");
        for (const ExportedSource& source : data.sources) {
            family.sample({{"source", source.id}}, source.latestKnown ? 1 : 0);
        }
    }
    {
        Family family(out, "vantreel_scan_duration_seconds",
                      "Seconds the source's listing and update check took when they last ran.");
        for (const ExportedSource& source : data.sources) {
            if (source.durationSeconds) family.sample({{"source", source.id}}, *source.durationSeconds);
        }
    }
    if (data.apt) {
        // The collector's own help texts, as the dashboards made for it show them.
        writeAptFamily(out, "apt_upgrades_pending", "Apt packages pending updates by origin", data.apt->pending);
        writeAptFamily(out, "apt_upgrades_held", "Apt packages pending updates but held back.", data.apt->held);
        Family family(out, "node_reboot_required", "Node reboot is required for software updates.");
        family.sample({}, data.apt->rebootRequired ? 1 : 0);
    }
    return out;
}

}  // namespace vt
