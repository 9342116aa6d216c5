#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "base/Json.hpp"
#include "cli/UpdatePlanView.hpp"
#include "model/Application.hpp"
#include "presentation/AllUpdateRow.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"

namespace vt::cli {

// An application, or an update of the system, that `vantreel update ID` installs itself
// rather than through a package manager's plan.
struct ApplicationItem {
    enum class Via { AppStore, System, GitHub, Sparkle };
    Via via = Via::Sparkle;
    std::string name;
    std::string bundlePath;    // empty for a system update
    Application application;   // the store's and the appcast's: the last scan's record
    SoftwareUpdate update;     // System
    AllUpdateRow row;          // GitHub: the row whose release is installed

    // Its line of the plan shown before anything runs.
    PlanExtra planExtra() const;
};

// The item behind a row of the table, when this program installs it itself.
std::optional<ApplicationItem> applicationItemOf(const AllUpdateRow& row);
// An App Store application of the last scan, as an item.
ApplicationItem storeItemOf(const Application& application);
// Why the item is not updated: no version newer than the installed one is known (as the
// planner says of such a package); nothing when one is.
std::optional<UpdatePlan::LeftOut> notNewer(const ApplicationItem& item, bool allowPreRelease);

// How an install tells what it does. The command line prints the progress and the outcome
// and may ask on its terminal; a full-screen view does neither and is given the progress.
struct InstallFeedback {
    bool print = true;  // progress on standard error, the outcome on standard output
    bool ask = true;    // may ask on the terminal (whether a running application may be quit)
    // May show the administrator prompt, which on Linux reads the password from the terminal;
    // without it, only the privileged helper replaces a bundle we cannot write.
    bool adminPrompt = true;
    std::function<void(const std::string& text)> onProgress;
    std::optional<std::stop_token> stop;  // absent: Ctrl-C stops the install
};

struct ApplicationInstallOutcome {
    bool installed = false;
    std::string version;  // installed
    std::string message;  // why it was not, or what the user does instead
};

// Installs the item through its own installer, and appends its outcome to `report` as the
// `update --json` document gives it. The caller reads the replaced bundle again.
ApplicationInstallOutcome installApplicationItem(const ApplicationItem& item, const InstallFeedback& feedback,
                                                 Json& report);

}  // namespace vt::cli
