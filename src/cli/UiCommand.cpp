#include "cli/UiCommand.hpp"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "base/PrintableText.hpp"
#include "base/Strings.hpp"
#include "base/Utf8.hpp"
#include "cli/ApplicationInstall.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/CursesScreen.hpp"
#include "cli/IgnoreCommands.hpp"
#include "cli/Onboarding.hpp"
#include "cli/ResultsView.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/UpdateOutcomes.hpp"
#include "cli/UpdatePlanView.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "presentation/IgnoredAppsManager.hpp"
#include "presentation/ItemReasons.hpp"
#include "presentation/SkippedVersionStore.hpp"
#include "presentation/SnoozeStore.hpp"
#include "settings/SettingsManager.hpp"
#include "system/PasswordPrompt.hpp"
#include "system/RunningProcesses.hpp"

namespace vt::cli {

namespace {

// A name, version or address from outside, as one harmless line.
std::string shown(std::string_view text) { return oneLine(printableText(text)); }

std::vector<std::string> detailsOf(const AllUpdateRow& row, const AllUpdateRowActionState& state, const Package* package) {
    std::vector<std::string> lines{localized("ui.detail.from", {shown(row.source)})};
    const std::string action = actionText(row, state);
    if (!action.empty()) lines.push_back(localized("ui.detail.command", {shown(action)}));
    std::optional<std::string> notes = row.downloadURL;
    if (package != nullptr) notes = package->releaseNotes ? package->releaseNotes : package->homepage;
    if (notes) lines.push_back(localized("ui.detail.notes", {shown(*notes)}));
    lines.push_back(localized("ui.detail.why_offered", {shown(row.latestVersion.value_or("?")), shown(row.currentVersion)}));
    for (const ItemReason& reason : vulnerabilityReasons(row)) lines.push_back(shown(reason.text));
    if (!state.isUpdateable) lines.push_back(localized("ui.detail.by_hand"));
    if (package != nullptr && package->isPinned) lines.push_back(localized("ui.detail.pinned"));
    return lines;
}

ScreenRow screenRowOf(const AllUpdateRow& row, const AllUpdateRowActionState& state, const Package* package,
                      Clock::TimePoint now) {
    ScreenRow screenRow;
    screenRow.id = row.id;
    screenRow.shortId = row.shortId;
    screenRow.name = shown(row.name);
    screenRow.source = shown(row.source);
    screenRow.installed = shown(row.currentVersion);
    screenRow.latest = shown(row.latestVersion.value_or(""));
    const bool debian = row.packageType == PackageType::AptPackage;
    const UpdateKind kind = classifyUpdate(row.currentVersion, row.latestVersion.value_or(""), row.isSecurityUpdate, debian);
    screenRow.group = screenGroupOf(kind, row.kind == AllUpdateRow::Kind::Package);
    screenRow.zeroMajor = !debian && isZeroMajorUpdate(row.currentVersion, row.latestVersion.value_or(""));
    screenRow.security = row.isSecurityUpdate;
    if (row.fixesVulnerabilities()) screenRow.fixes = row.fixedVulnerabilities.size();
    screenRow.offeredVulnerable = row.hasUpdate && !row.offeredVulnerabilities.empty();
    screenRow.pinned = package != nullptr && package->isPinned;
    screenRow.updateable = state.isUpdateable;
    if (row.releaseDate) {
        screenRow.ageDays = std::chrono::duration_cast<std::chrono::hours>(now - *row.releaseDate).count() / 24;
    }
    screenRow.details = detailsOf(row, state, package);
    return screenRow;
}

ScreenRow screenRowOf(const IgnoredItem& item, const std::vector<AllUpdateRow>& rows) {
    ScreenRow row;
    row.id = item.settingsIdentifier.value_or(item.id);
    row.shortId = shown(shownId(item, rows));
    row.name = shown(item.name);
    row.source = shown(item.source);
    row.installed = shown(item.version);
    row.status = shown(statusLabel(item.status));
    row.group = ScreenGroup::Other;
    row.details = {localized("ui.detail.held_by", {row.status}), localized("ui.detail.unignore")};
    return row;
}

// The application behind a row that the view installs itself, as `vantreel update ID` does.
// The system's updates install with administrator rights at a prompt of their own: by hand.
std::optional<ApplicationItem> installedFromHere(const AllUpdateRow& row) {
    if (row.kind != AllUpdateRow::Kind::Application) return std::nullopt;
    std::optional<ApplicationItem> item = applicationItemOf(row);
    if (item && item->via == ApplicationItem::Via::System) return std::nullopt;
    return item;
}

// The revisions the display model's cache compares: within one run of the view the
// inventory changes under it (updates, a rescan), which a one-shot command never sees.
void markRevisions(AllUpdatesSnapshot& snapshot) {
    std::string packages, applications;
    for (const Package& package : snapshot.packages) {
        packages += stableKey(package) + '\n' + package.version + '\n' + package.latestVersion.value_or("") + '\n';
        // A rescan may learn of vulnerabilities without any version changing.
        packages += join(package.fixedVulnerabilities, ",") + '\n' + join(package.latestVulnerabilities, ",") + '\n';
    }
    for (const Application& application : snapshot.applications) {
        applications += application.bundlePath + '\n' + application.version + '\n' +
                        application.latestVersion.value_or("") + '\n';
    }
    for (const SoftwareUpdate& update : snapshot.systemUpdates) applications += update.id + '\n' + update.version + '\n';
    snapshot.packagesRevision = std::hash<std::string>{}(packages);
    snapshot.applicationsRevision = std::hash<std::string>{}(applications);
}

// The terminal's state is restored by CursesScreen; this object owns what the view does.
class InteractiveTable {
public:
    explicit InteractiveTable(CursesScreen& screen) : screen_(screen) {}
    ~InteractiveTable() { stopWork(); }

    int run(const std::atomic<bool>& terminated) {
        rebuild();
        while (true) {
            applyPosted();
            if (terminated.load()) return stopWork() ? kExitInterrupted : kExitSuccess;
            if (scanning_) showScanProgress();
            draw();
            CursesScreen::Input input = screen_.read();
            if (input.resized) clampToModel(state_, model_, screen_.height());
            if (!input.key) continue;
            if (state_.pane == ScreenPane::Password) {
                typePassword(*input.key);
                continue;
            }
            const ScreenCommand command = handleKey(state_, model_, *input.key, screen_.height());
            if (command.kind == ScreenCommand::Kind::Quit) {
                stopWork();
                return kExitSuccess;
            }
            carryOut(command);
        }
    }

private:
    struct PlannedApplication {
        std::string rowId;  // its row in the table
        ApplicationItem item;
    };

    void draw() { screen_.draw(renderUpdatesScreen(model_, state_, screen_.width(), screen_.height())); }

    // The model anew from the saved results and the ignore lists, as `list` makes its table.
    void rebuild() {
        AllUpdatesSnapshot snapshot = savedSnapshot();
        markRevisions(snapshot);
        table_ = buildUpdatesTable(snapshot, TableRequest{});
        std::map<std::string, const Package*> packages;
        for (const Package& package : snapshot.packages) packages[stableKey(package)] = &package;
        UpdatesScreenModel model;
        const Clock::TimePoint now = Clock::shared().now();
        const AllUpdatesDisplayModel& display = *table_.model;
        for (std::size_t i = 0; i < display.size(); ++i) {
            const AllUpdateRow& row = display.row(i);
            if (!row.hasUpdate) continue;
            const auto package = packages.find(row.id);
            AllUpdateRowActionState state = display.actionStates[i];
            if (!state.isUpdateable && installedFromHere(row)) state.isUpdateable = true;
            model.rows.push_back(screenRowOf(row, state, package == packages.end() ? nullptr : package->second, now));
        }
        everyRow_ = everyRow(snapshot);
        ignoredItems_ = IgnoreFilter(currentIgnoreState(), everyRow_).ignoredItems(everyRow_);
        for (const IgnoredItem& item : ignoredItems_) model.ignored.push_back(screenRowOf(item, everyRow_));
        model.heldBack = display.heldBackCount;
        model.finish();
        model_ = std::move(model);
        clampToModel(state_, model_, screen_.height());
    }

    void carryOut(const ScreenCommand& command) {
        try {
            switch (command.kind) {
                case ScreenCommand::Kind::PlanUpdate: planUpdate(command.ids); break;
                case ScreenCommand::Kind::Update: startUpdate(); break;
                case ScreenCommand::Kind::Cancel: cancelWork(); break;
                case ScreenCommand::Kind::Ignore: ignore(command.ids.front()); break;
                case ScreenCommand::Kind::Snooze: snooze(command.ids.front(), command.snoozeFor); break;
                case ScreenCommand::Kind::Skip: skip(command.ids.front()); break;
                case ScreenCommand::Kind::Unignore: unignore(command.ids.front()); break;
                case ScreenCommand::Kind::Rescan: startRescan(); break;
                case ScreenCommand::Kind::None:
                case ScreenCommand::Kind::Quit: break;
            }
        } catch (const std::exception& error) {
            // An unwritable settings file, a plan that could not be made: said, and the view goes on.
            state_.status = shown(error.what());
        }
    }

    const AllUpdateRow* rowOf(const std::string& id) const { return table_.model->find(id); }

    // The same plan `vantreel update ID...` makes, shown in full before anything runs.
    void planUpdate(const std::vector<std::string>& ids) {
        std::vector<Package> packages;
        std::vector<PlannedApplication> applications;
        std::vector<UpdatePlan::LeftOut> leftOut;  // running, or with nothing newer
        std::vector<std::string> byHand;
        const std::vector<Package> inventory = Context::shared().coordinator().packages();
        for (const std::string& id : ids) {
            const AllUpdateRow* row = rowOf(id);
            const AllUpdateRowActionState* action = table_.model->actionState(id);
            if (row == nullptr || action == nullptr) continue;
            const auto package = std::find_if(inventory.begin(), inventory.end(),
                                              [&](const Package& item) { return stableKey(item) == id; });
            if (action->isUpdateable && package != inventory.end()) {
                packages.push_back(*package);
                continue;
            }
            if (std::optional<ApplicationItem> item = installedFromHere(*row)) {
                if (std::optional<UpdatePlan::LeftOut> left = notNewer(*item, Context::shared().settings().showPreReleaseUpdates())) {
                    leftOut.push_back(std::move(*left));
                    continue;
                }
                // Whether a running application may be quit is asked on the terminal, which
                // this view holds: such an application is left out, and the pane says why.
                const bool asks = item->via == ApplicationItem::Via::GitHub || item->via == ApplicationItem::Via::Sparkle;
                const std::vector<RunningProcess> processes = asks ? processesInside(item->bundlePath)
                                                                   : std::vector<RunningProcess>();
                if (!processes.empty()) {
                    const std::string program = std::filesystem::path(processes.front().executable).filename().string();
                    leftOut.push_back({row->name, item->planExtra().source,
                                       localized("update_all.excluded.running", {program})});
                    continue;
                }
                applications.push_back({id, std::move(*item)});
                continue;
            }
            byHand.push_back("  " + shown(row->name) + ": " + shown(actionText(*row, *action)));
        }
        plan_ = Context::shared().coordinator().planUpdates(packages);
        plan_->leftOut.insert(plan_->leftOut.begin(), leftOut.begin(), leftOut.end());
        std::vector<PlanExtra> extras;
        for (const PlannedApplication& application : applications) extras.push_back(application.item.planExtra());
        std::vector<std::string> lines = planLines(*plan_, Style{}, extras);
        if (!byHand.empty()) {
            lines.push_back(localized("ui.update.not_here", {std::to_string(byHand.size())}));
            lines.insert(lines.end(), byHand.begin(), byHand.end());
        }
        if (plan_->isEmpty() && applications.empty()) {
            // Nothing runs: the status line says why (the version is not newer, only by hand...).
            if (!plan_->leftOut.empty()) {
                state_.status = shown(plan_->leftOut.front().name + ": " + plan_->leftOut.front().reason);
            } else {
                state_.status = localized(byHand.empty() ? "update_all.nothing" : "ui.update.nothing_here");
            }
            plan_.reset();
            return;
        }
        applications_ = std::move(applications);
        for (std::string& line : lines) line = shown(line);
        state_.confirmLines = std::move(lines);
        state_.confirmIds = ids;
        state_.pane = ScreenPane::ConfirmUpdate;
    }

    void post(std::function<void()> change) {
        std::scoped_lock lock(mutex_);
        posted_.push_back(std::move(change));
    }

    void applyPosted() {
        std::vector<std::function<void()>> changes;
        {
            std::scoped_lock lock(mutex_);
            changes.swap(posted_);
        }
        for (auto& change : changes) change();
    }

    // Runs the plan shown, off this thread, the applications first as `update` does; each
    // row shows its progress and leaves the table once updated. Cancelled by Ctrl-C as
    // `update` is.
    void startUpdate() {
        if (!plan_ || worker_.joinable()) return;
        std::map<std::string, std::string> rowOfName;
        for (const UpdatePlan::Step& step : plan_->steps) {
            for (const Package& package : step.packages) rowOfName[package.name] = stableKey(package);
        }
        for (const auto& [name, id] : rowOfName) state_.rowProgress[id] = localized("ui.update.waiting");
        for (const PlannedApplication& application : applications_) {
            state_.rowProgress[application.rowId] = localized("ui.update.waiting");
        }
        state_.busy = true;
        state_.tagged.clear();
        state_.status.clear();
        state_.activity = localized("ui.update.running");
        stop_ = std::stop_source();
        passwordStop_ = stop_.get_token();
        UpdatePlan plan = std::move(*plan_);
        plan_.reset();
        std::vector<PlannedApplication> applications = std::move(applications_);
        applications_.clear();
        // Made here: the worker only uses them.
        Context::shared().network();
        Context::shared().privilegedOperations();
        Context::shared().mas();
        const std::size_t first = applications.size();
        const std::size_t total = first + plan.itemCount();
        BatchProgress progress;
        progress.itemStarted = [this, rowOfName, first, total](const std::string& name, const std::string&,
                                                               std::size_t index, std::size_t) {
            const auto id = rowOfName.find(name);
            if (id == rowOfName.end()) return;
            std::string text = localized("ui.update.progress", {std::to_string(first + index + 1), std::to_string(total)});
            post([this, id = id->second, text] { state_.rowProgress[id] = text; });
        };
        progress.itemFinished = [this](const PackageUpdateResult& result, std::size_t, std::size_t) {
            post([this, id = stableKey(result.package), success = result.success, error = result.error.value_or("")] {
                finishRow(id, success, error);
            });
        };
        worker_ = std::jthread([this, plan = std::move(plan), applications = std::move(applications), progress,
                                total](std::stop_token) {
            UpdateRun run;
            const std::stop_token stop = stop_.get_token();
            for (std::size_t index = 0; index < applications.size() && !stop.stop_requested(); ++index) {
                installApplication(applications[index], index, total, stop, run);
            }
            run.applicationsCancelled = stop.stop_requested();
            try {
                if (!run.applicationsCancelled && !plan.isEmpty()) {
                    run.batch = Context::shared().coordinator().updatePackages(plan, stop, progress);
                }
            } catch (const std::exception& error) {
                post([this, message = shown(error.what())] { state_.status = message; });
            }
            post([this, run = std::move(run)] { finishUpdate(run); });
        });
    }

    // What one run of the worker did.
    struct UpdateRun {
        BatchUpdateResult batch;
        std::vector<std::string> replaced;  // the bundles an installer replaced
        std::size_t applicationsFailed = 0;
        bool applicationsCancelled = false;
    };

    // On the worker: the installer `vantreel update ID` runs, with nothing written to the
    // terminal and nothing asked on it.
    void installApplication(const PlannedApplication& application, std::size_t index, std::size_t total,
                            std::stop_token stop, UpdateRun& run) {
        const std::string id = application.rowId;
        const std::string counter = localized("ui.update.progress", {std::to_string(index + 1), std::to_string(total)});
        post([this, id, counter] { state_.rowProgress[id] = counter; });
        InstallFeedback feedback{.print = false, .ask = false, .adminPrompt = false, .onProgress = [this, id, counter](const std::string& text) {
                                     post([this, id, text = counter + punctuated(" · ") + shown(text)] { state_.rowProgress[id] = text; });
                                 },
                                 .stop = stop};
        ApplicationInstallOutcome outcome;
        try {
            Json report = Json::array();
            outcome = installApplicationItem(application.item, feedback, report);
        } catch (const std::exception& error) {
            outcome.message = error.what();
        }
        if (outcome.installed) {
            run.replaced.push_back(application.item.bundlePath);
        } else {
            ++run.applicationsFailed;
        }
        post([this, id, installed = outcome.installed, message = outcome.message] { finishRow(id, installed, message); });
    }

    void finishRow(const std::string& id, bool success, const std::string& error) {
        state_.rowProgress.erase(id);
        if (success) {
            state_.failures.erase(id);
        } else {
            state_.failures[id] = shown(error);
        }
    }

    void finishUpdate(const UpdateRun& run) {
        joinWorker();
        recordOutcomes(run.batch.results);
        // Read again at once, so that an updated application leaves the table.
        Context::shared().recordInstalledApplications(run.replaced);
        state_.rowProgress.clear();
        state_.activity.clear();
        const bool cancelled = run.batch.cancelled || run.applicationsCancelled;
        state_.status = localized(cancelled ? "ui.update.cancelled" : "ui.update.done",
                                  {std::to_string(run.batch.succeededCount() + run.replaced.size()),
                                   std::to_string(run.batch.failedCount() + run.applicationsFailed)});
        rebuild();
    }

    void startRescan() {
        if (worker_.joinable()) return;
        state_.busy = true;
        scanning_ = true;
        state_.status.clear();
        Context::shared().progress();  // made here: the scan's thread only reads it
        worker_ = std::jthread([this](std::stop_token) {
            std::string failure;
            try {
                Context::shared().coordinator().refreshAll(RefreshMode::Manual, true);
            } catch (const std::exception& error) {
                failure = shown(error.what());
            }
            post([this, failure] {
                joinWorker();
                scanning_ = false;
                state_.activity.clear();
                state_.status = failure.empty() ? localized("ui.scan.done") : failure;
                rebuild();
            });
        });
    }

    void showScanProgress() {
        const ScanProgressSnapshot snapshot = Context::shared().progress().snapshot();
        std::vector<std::string> running;
        for (const ScannerStatus& scanner : snapshot.runningScanners()) running.push_back(scanner.name);
        state_.activity = localized("ui.scan.progress", {std::to_string(snapshot.completedScannerCount()),
                                                         std::to_string(snapshot.scannerStatuses.size()),
                                                         join(running, ", ")});
    }

    void cancelWork() {
        if (!worker_.joinable()) return;
        state_.activity = localized("ui.update.cancelling");
        stop_.request_stop();
        answerPassword(std::nullopt);
        if (scanning_) Context::shared().coordinator().cancelRefresh();
    }

    // Ends the running work, if any; true when there was some.
    bool stopWork() {
        if (!worker_.joinable()) return false;
        cancelWork();
        joinWorker();
        applyPosted();  // the outcomes of what did run are recorded all the same
        return true;
    }

    void joinWorker() {
        if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
        worker_ = std::jthread();
        state_.busy = false;
    }

    // On the worker, when a step needs the administrator's password: the view asks for it in
    // a pane of its own, since a prompt on the terminal would fight it for the keys.
    std::optional<std::string> askPasswordHere(const std::string& question) {
        std::unique_lock lock(passwordMutex_);
        if (passwordStop_.stop_requested()) return std::nullopt;
        passwordAnswered_ = false;
        const std::uint64_t request = ++passwordRequests_;
        post([this, request, question = shown(question)] {
            {
                // Cancelled before the pane could open: nobody waits for an answer any more.
                std::scoped_lock lock(passwordMutex_);
                if (passwordAnswered_ || request != passwordRequests_) return;
            }
            state_.passwordQuestion = question;
            state_.pane = ScreenPane::Password;
        });
        passwordReady_.wait(lock, [this] { return passwordAnswered_ || passwordStop_.stop_requested(); });
        std::optional<std::string> answer = std::move(passwordAnswer_);
        passwordAnswer_.reset();
        return answer;
    }

    void answerPassword(std::optional<std::string> password) {
        {
            std::scoped_lock lock(passwordMutex_);
            if (passwordAnswer_) wipe(*passwordAnswer_);
            passwordAnswer_ = std::move(password);
            passwordAnswered_ = true;
        }
        passwordReady_.notify_all();
        if (state_.pane == ScreenPane::Password) state_.pane = ScreenPane::None;
        state_.passwordQuestion.clear();
    }

    void typePassword(ScreenKey key) {
        switch (key.kind) {
            case ScreenKey::Kind::Enter:
                if (typedPassword_.empty()) return;
                answerPassword(typedPassword_.take());
                return;
            case ScreenKey::Kind::Escape:
                typedPassword_.clear();
                answerPassword(std::nullopt);
                return;
            case ScreenKey::Kind::Interrupt:
                typedPassword_.clear();
                cancelWork();
                return;
            case ScreenKey::Kind::Backspace: typedPassword_.eraseLast(); return;
            case ScreenKey::Kind::Character: {
                std::string bytes;
                appendUtf8(bytes, key.character);
                typedPassword_.add(bytes);
                wipe(bytes);
                return;
            }
            default: return;
        }
    }

    // The same stores the `ignore`, `snooze`, `skip` and `unignore` commands write.
    void ignore(const std::string& id) {
        const AllUpdateRow* row = rowOf(id);
        if (row == nullptr) return;
        const std::string key = ignoreKey(*row);
        Context::shared().ignoredApps().ignoreSeveral({key});
        state_.status = localized("ignore.done", {shown(row->name), shown(row->shortId)});
        rebuild();
    }

    void snooze(const std::string& id, std::optional<std::chrono::hours> length) {
        const AllUpdateRow* row = rowOf(id);
        if (row == nullptr) return;
        const Clock::TimePoint now = Clock::shared().now();
        std::optional<Clock::TimePoint> until;
        if (length) until = now + *length;
        SnoozeStore(Context::shared().settings()).snooze(row->id, until, now);
        const std::string when = until ? localDate(*until) : localized("snooze.indefinitely");
        state_.status = localized(until ? "snooze.done" : "snooze.done_indefinitely", {shown(row->name), when});
        rebuild();
    }

    void skip(const std::string& id) {
        const AllUpdateRow* row = rowOf(id);
        if (row == nullptr || !row->latestVersion) return;
        SkippedVersionStore(Context::shared().settings()).skip(row->id, *row->latestVersion);
        state_.status = localized("skip.done", {shown(row->name), shown(*row->latestVersion)});
        rebuild();
    }

    void unignore(const std::string& id) {
        const auto item = std::find_if(ignoredItems_.begin(), ignoredItems_.end(), [&](const IgnoredItem& candidate) {
            return candidate.settingsIdentifier.value_or(candidate.id) == id;
        });
        if (item == ignoredItems_.end()) return;
        SettingsManager& settings = Context::shared().settings();
        switch (item->status.kind) {
            case IgnoredItem::Status::Kind::Snoozed: SnoozeStore(settings).unsnooze(id); break;
            case IgnoredItem::Status::Kind::VersionIgnored: SkippedVersionStore(settings).clear(id); break;
            case IgnoredItem::Status::Kind::AutoDeferred: AutoDeferralStore(settings).end(id); break;
            default: Context::shared().ignoredApps().unignoreSeveral({id});
        }
        state_.status = localized("unignore.done", {shown(item->name)});
        rebuild();
    }

    CursesScreen& screen_;
    UpdatesScreenModel model_;
    UpdatesScreenState state_;
    UpdatesTable table_;
    std::vector<AllUpdateRow> everyRow_;
    std::vector<IgnoredItem> ignoredItems_;
    std::optional<UpdatePlan> plan_;  // shown in the confirmation, carried out as shown
    std::vector<PlannedApplication> applications_;  // with plan_: the applications it shows
    bool scanning_ = false;
    std::stop_source stop_;
    std::jthread worker_;
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;  // changes from the worker, applied on this thread
    // The password a step asks for: the worker waits while this thread reads the keys.
    std::mutex passwordMutex_;
    std::condition_variable passwordReady_;
    std::optional<std::string> passwordAnswer_;
    bool passwordAnswered_ = false;
    std::uint64_t passwordRequests_ = 0;
    std::stop_token passwordStop_;
    TypedPassword typedPassword_;
    // Last, so that it goes first: no step asks here once the view is being taken down.
    ScopedPasswordAsker asker_{[this](const std::string& question) { return askPasswordHere(question); }};
};

// The global --color decides, as for every other command.
bool colorWanted() {
    const ColorMode mode = currentColorMode();
    if (mode == ColorMode::Never) return false;
    const char* noColor = std::getenv("NO_COLOR");
    if (mode == ColorMode::Auto && noColor != nullptr && *noColor != '\0') return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::string_view(term) != "dumb";
}

int runUiWith(const GlobalOptions& options) {
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) {
        std::fprintf(stderr, "%s\n", localized("ui.needs_terminal").c_str());
        return kExitUsage;
    }
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    Context& context = Context::shared();
    context.coordinator();  // made before any thread of the view uses it
    // SIGTERM and a closed terminal end the view, which gives the terminal back first.
    std::atomic<bool> terminated{false};
    InterruptWatcher watcher([&terminated] { terminated = true; });
    int status = kExitSuccess;
    {
        CursesScreen screen(colorWanted());
        if (!screen.isOpen()) {
            std::fprintf(stderr, "%s\n", localized("ui.needs_terminal").c_str());
            return kExitUsage;
        }
        InteractiveTable table(screen);
        status = table.run(terminated);
    }
    return status;
}

}  // namespace

int runUi(const GlobalOptions& options) { return runUiWith(options); }

void addUiCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto* command = app.add_subcommand("ui", localized("help.ui"));
    setExamples(*command, {"vantreel ui", "vantreel --color never ui"});
    command->callback([exitCode, options] {
        try {
            *exitCode = runUiWith(*options);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vantreel: %s\n", error.what());
            *exitCode = kExitFailure;
        }
    });
}

}  // namespace vt::cli
