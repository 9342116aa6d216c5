#include "cli/SparkleUpdate.hpp"

#include <cstdio>
#include <string>

#include "base/PrintableText.hpp"
#include "base/Localization.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/Signals.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/ApplicationManager.hpp"

namespace vt::cli {

namespace {

// A bar redrawn in place on a terminal; one line per phase otherwise.
class PhaseDisplay {
public:
    explicit PhaseDisplay(bool quiet) : quiet_(quiet), style_(Style::forStream(stderr)) {}
    ~PhaseDisplay() {
        if (drawn_) std::fprintf(stderr, "\n");
    }
    void show(double fraction, std::string_view phase) {
        if (quiet_) return;
        const int percent = static_cast<int>(fraction * 100);
        if (phase == phase_ && percent == percent_) return;
        const bool newPhase = phase != phase_;
        phase_ = std::string(phase);
        percent_ = percent;
        std::string label = localized(phase_);
        if (!style_.isTerminal) {
            if (newPhase) std::fprintf(stderr, "%s\n", label.c_str());
            return;
        }
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::string bar = "[";
        bar += std::string(static_cast<std::size_t>(filled), '#');
        bar += std::string(static_cast<std::size_t>(kWidth - filled), ' ');
        bar += "] ";
        std::fprintf(stderr, "%s%s%3d %% %s", ownControl("\r\033[K").c_str(), bar.c_str(), percent, label.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

private:
    bool quiet_;
    Style style_;
    std::string phase_;
    int percent_ = -1;
    bool drawn_ = false;
};

}  // namespace

std::optional<Application> sparkleApplication(const AllUpdateRow& row) {
    if (row.kind != AllUpdateRow::Kind::Application || !row.bundlePath) return std::nullopt;
    for (const Application& application : Context::shared().applications().applications()) {
        if (application.bundlePath == *row.bundlePath && application.updateMechanism == UpdateMechanism::Sparkle) {
            return application;
        }
    }
    return std::nullopt;
}

bool updateSparkleApplication(const Application& application, bool json, Json& report) {
    Style out = Style::forStream(stdout);
    std::string id = "app:";
    id += application.bundleIdentifier;
    Json entry = {{"name", application.name}, {"id", id}};
    SparkleUpdateOutcome outcome;
    {
        PhaseDisplay display(json);
        std::stop_source stop;
        InterruptWatcher watcher([&stop] { stop.request_stop(); });
        SparkleUpdateRun run{.interactive = !json,
                             .onProgress = [&display](double fraction, std::string_view phase) { display.show(fraction, phase); },
                             .stop = stop.get_token(),
                             .network = &Context::shared().network(),
                             .privileged = &Context::shared().privilegedOperations()};
        outcome = installSparkleRelease(application, run);
    }
    switch (outcome.kind) {
        case SparkleUpdateOutcome::Kind::Installed:
            entry["success"] = true;
            entry["newVersion"] = outcome.version;
            if (!json) {
                std::printf("%s\n", out.green(localized("update.item_success", {application.name,
                                                                                 displayVersion(application.version),
                                                                                 displayVersion(outcome.version)}))
                                        .c_str());
            }
            report.push_back(std::move(entry));
            return true;
        case SparkleUpdateOutcome::Kind::OpenedApp:
            entry["success"] = false;
            entry["openedApp"] = true;
            entry["message"] = outcome.message;
            if (!json) std::printf("%s\n", outcome.message.c_str());
            report.push_back(std::move(entry));
            return false;
        case SparkleUpdateOutcome::Kind::Failed: break;
    }
    entry["success"] = false;
    entry["error"] = outcome.message;
    if (!json) std::printf("%s\n", out.red(localized("update.item_failed", {application.name, outcome.message})).c_str());
    report.push_back(std::move(entry));
    return false;
}

}  // namespace vt::cli
