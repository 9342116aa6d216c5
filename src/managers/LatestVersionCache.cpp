#include "managers/LatestVersionCache.hpp"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"

namespace vt {

LatestVersionCache::Options LatestVersionCache::forRegistry(const std::optional<std::string>& file,
                                                            std::string_view fileName, Clock* clock,
                                                            std::string logName) {
    std::string path = paths::cacheFolder();
    path += "/";
    path += fileName;
    return {.file = file.value_or(path),
            .ttl = std::chrono::seconds(1800),
            .concurrency = 6,
            .clock = clock,
            .logName = std::move(logName)};
}

LatestVersionCache::LatestVersionCache(Options options) : options_(std::move(options)) {}

Clock& LatestVersionCache::clock() const { return options_.clock != nullptr ? *options_.clock : Clock::shared(); }

void LatestVersionCache::forEachConcurrently(std::size_t count, std::size_t concurrency,
                                             const std::function<void(std::size_t)>& work, std::stop_token stop) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> cancelled{false};
    auto worker = [&] {
        for (std::size_t i = next++; i < count && !cancelled && !stop.stop_requested(); i = next++) {
            try {
                work(i);
            } catch (const CancellationError&) {
                cancelled = true;
            }
        }
    };
    {
        std::vector<std::jthread> workers;
        const std::size_t threads = std::min(std::max<std::size_t>(concurrency, 1), count);
        for (std::size_t w = 1; w < threads; ++w) workers.emplace_back(worker);
        if (threads > 0) worker();
    }
    if (cancelled || stop.stop_requested()) throw CancellationError();
}

std::map<std::string, std::string> LatestVersionCache::latest(const std::vector<std::string>& names,
                                                              const Lookup& lookup, std::stop_token stop,
                                                              const std::string& scope) {
    DatedLookup dated = [&lookup](const std::string& name, std::stop_token token) -> std::optional<Answer> {
        std::optional<std::string> version = lookup(name, token);
        if (!version) return std::nullopt;
        return Answer{std::move(*version), {}};
    };
    std::map<std::string, std::string> versions;
    for (auto& [name, answer] : latestDated(names, dated, stop, scope)) versions[name] = std::move(answer.version);
    return versions;
}

std::map<std::string, LatestVersionCache::Answer> LatestVersionCache::latestDated(const std::vector<std::string>& names,
                                                                                   const DatedLookup& lookup,
                                                                                   std::stop_token stop,
                                                                                   const std::string& scope) {
    return latestRevalidated(
        names, [&lookup](const std::string& name, const Answer*, std::stop_token token) { return lookup(name, token); },
        stop, scope);
}

std::map<std::string, LatestVersionCache::Answer> LatestVersionCache::latestRevalidated(
    const std::vector<std::string>& names, const RevalidatingLookup& lookup, std::stop_token stop,
    const std::string& scope) {
    std::map<std::string, Answer> latest;
    std::vector<std::string> missing;
    std::vector<std::optional<Answer>> kept;
    {
        std::scoped_lock lock(mutex_);
        loadLocked();
        if (scope_ != scope) {
            entries_.clear();
            scope_ = scope;
        }
        const Clock::TimePoint now = clock().now();
        for (const std::string& name : names) {
            auto cached = entries_.find(name);
            if (cached != entries_.end() && now >= cached->second.checkedAt &&
                now - cached->second.checkedAt < options_.ttl) {
                latest[name] = cached->second.answer;
            } else if (std::find(missing.begin(), missing.end(), name) == missing.end()) {
                missing.push_back(name);
                kept.push_back(cached != entries_.end() ? std::optional<Answer>(cached->second.answer) : std::nullopt);
            }
        }
    }
    if (missing.empty()) return latest;
    std::vector<std::optional<Answer>> fetched(missing.size());
    forEachConcurrently(
        missing.size(), options_.concurrency,
        [&](std::size_t i) {
            try {
                fetched[i] = lookup(missing[i], kept[i] ? &*kept[i] : nullptr, stop);
                if (fetched[i] && fetched[i]->unchanged) fetched[i] = kept[i];
            } catch (const CancellationError&) {
                throw;
            } catch (const std::exception& error) {
                Logger(options_.logName).warning(localized("log.command_error", {missing[i], error.what()}));
            }
        },
        stop);
    bool changed = false;
    {
        std::scoped_lock lock(mutex_);
        const Clock::TimePoint now = clock().now();
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (fetched[i]) {
                entries_[missing[i]] = {*fetched[i], now};
                latest[missing[i]] = *fetched[i];
                changed = true;
            } else if (auto known = entries_.find(missing[i]); known != entries_.end()) {
                latest[missing[i]] = known->second.answer;
            }
        }
    }
    if (changed) save();
    return latest;
}

void LatestVersionCache::loadLocked() {
    if (loaded_) return;
    loaded_ = true;
    if (options_.file.empty()) return;
    std::optional<std::string> text = readFile(options_.file);
    if (!text) return;
    std::optional<Json> json = parseJson(*text);
    if (!json || !json->is_object() || !json->contains("versions") || !(*json)["versions"].is_object()) {
        Logger(options_.logName).debug(localized("log.ignoring_unreadable", {options_.file}));
        return;
    }
    scope_ = stringField(*json, "scope").value_or("");
    for (const auto& [name, entry] : (*json)["versions"].items()) {
        if (!entry.is_object()) continue;
        std::optional<std::string> version = stringField(entry, "version");
        std::optional<double> checkedAt = numberField(entry, "checkedAt");
        if (!version || !checkedAt) continue;
        Entry loaded{{*version, {}}, fromReferenceSeconds(*checkedAt)};
        if (auto releases = entry.find("releases"); releases != entry.end() && releases->is_array()) {
            for (const Json& text : *releases) {
                std::optional<PublishedRelease> release =
                    text.is_string() ? releaseFromSavedForm(text.get<std::string>()) : std::nullopt;
                if (release) loaded.answer.releases.push_back(std::move(*release));
            }
        }
        loaded.answer.etag = stringField(entry, "etag");
        if (auto attested = entry.find("attested"); attested != entry.end() && attested->is_array()) {
            loaded.answer.attested.emplace();
            for (const Json& text : *attested) {
                if (text.is_string()) loaded.answer.attested->push_back(text.get<std::string>());
            }
        }
        entries_[name] = std::move(loaded);
    }
}

void LatestVersionCache::save() {
    if (options_.file.empty()) return;
    Json json = Json::object();
    {
        std::scoped_lock lock(mutex_);
        json["scope"] = scope_;
        Json versions = Json::object();
        for (const auto& [name, entry] : entries_) {
            Json saved{{"version", entry.answer.version}, {"checkedAt", toReferenceSeconds(entry.checkedAt)}};
            if (!entry.answer.releases.empty()) {
                Json releases = Json::array();
                for (const PublishedRelease& release : entry.answer.releases) releases.push_back(savedForm(release));
                saved["releases"] = std::move(releases);
            }
            if (entry.answer.attested) saved["attested"] = *entry.answer.attested;
            if (entry.answer.etag) saved["etag"] = *entry.answer.etag;
            versions[name] = std::move(saved);
        }
        json["versions"] = std::move(versions);
    }
    try {
        paths::ensureFolder(std::filesystem::path(options_.file).parent_path().string());
        writeFileAtomically(options_.file, dumpJson(json));
    } catch (const std::exception& error) {
        Logger(options_.logName).warning(localized("log.could_not_save", {options_.file, error.what()}));
    }
}

}  // namespace vt
