#include "presentation/AllUpdatesRowPipeline.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "base/Strings.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"

namespace vt {

namespace {

// The base letter of each of U+00C0 to U+00FF once lower-cased; 0 keeps the character.
constexpr std::string_view kLatin1Base{"aaaaaaaceeeeiiiidnooooo\0ouuuuy\0saaaaaaaceeeeiiiidnooooo\0ouuuuy\0y", 64};

// Tools that install and update themselves and that Homebrew also ships as a formula.
constexpr std::array<std::string_view, 8> kNativeTools = {"flutter", "deno", "bun", "rustup", "mise", "uv", "pnpm", "ollama"};

struct SortKey {
    bool fixes;  // removes known vulnerabilities: first of all
    bool pending;
    std::string source;
    std::string name;
    std::size_t index;
};

bool before(const SortKey& a, const SortKey& b, const std::vector<AllUpdateRow>& rows) {
    if (a.fixes != b.fixes) return a.fixes;
    if (a.pending != b.pending) return a.pending;
    if (int order = a.source.compare(b.source); order != 0) return order < 0;
    if (int order = a.name.compare(b.name); order != 0) return order < 0;
    // Names equal but for case or accents: the exact text, then the unique id, decide.
    const AllUpdateRow& left = rows[a.index];
    const AllUpdateRow& right = rows[b.index];
    if (int order = left.name.compare(right.name); order != 0) return order < 0;
    return left.id < right.id;
}

// Keeps, of rows standing for one bundle, the preferred one; of a tool both Homebrew's and
// its own, the one the caller prefers.
void deduplicate(const std::vector<AllUpdateRow>& rows, std::vector<std::size_t>& kept,
                 const AllUpdatesPipelineInput& input) {
    std::unordered_map<std::string, std::pair<std::size_t, int>> bestByBundle;  // key: row, score
    std::unordered_map<std::string, std::pair<std::optional<std::size_t>, std::optional<std::size_t>>> tools;
    std::vector<bool> dropped(rows.size(), false);
    auto keyOf = input.bundleDeduplicationKey ? input.bundleDeduplicationKey : defaultBundleDeduplicationKey;
    auto scoreOf = input.preferenceScore ? input.preferenceScore : defaultPreferenceScore;
    for (std::size_t index : kept) {
        const AllUpdateRow& row = rows[index];
        if (std::optional<std::string> key = keyOf(row)) {
            int score = scoreOf(row);
            auto [entry, inserted] = bestByBundle.try_emplace(std::move(*key), index, score);
            if (!inserted) {
                if (score > entry->second.second) {
                    dropped[entry->second.first] = true;
                    entry->second = {index, score};
                } else {
                    dropped[index] = true;
                }
            }
        }
        if (std::optional<std::string> tool = nativeToolName(row)) {
            auto& [formula, native] = tools[*tool];
            (row.packageType == PackageType::BrewFormula ? formula : native) = index;
        }
    }
    for (const auto& [tool, pair] : tools) {
        if (!pair.first || !pair.second) continue;
        bool keepFormula = input.prefersHomebrewNativeToolFormula && input.prefersHomebrewNativeToolFormula(tool);
        dropped[keepFormula ? *pair.second : *pair.first] = true;
    }
    std::erase_if(kept, [&dropped](std::size_t index) { return dropped[index]; });
}

void deriveActions(AllUpdatesDisplayModel& model, const AllUpdatesPipelineInput& input) {
    const AllUpdatesRuntimeState* runtime = input.runtime;
    model.actionStates.reserve(model.displayRows.size());
    model.rowsByID.reserve(model.displayRows.size());
    for (std::size_t position = 0; position < model.displayRows.size(); ++position) {
        const AllUpdateRow& row = model.row(position);
        AllUpdateRowActionState state = input.rowActionState ? input.rowActionState(row) : AllUpdateRowActionState{};
        model.rowsByID.emplace(row.id, position);
        if (row.hasUpdate && state.isUpdateable) {
            model.updateableRows.push_back(position);
            bool busy = runtime != nullptr && (runtime->updatingRowIDs.count(row.id) > 0 ||
                                               runtime->failedRowMessages.count(row.id) > 0);
            if (!busy) model.batchUpdateRows.push_back(position);
        }
        if (row.hasUpdate && state.isManualApplication && state.manualDownloadURL) model.downloadableRows.push_back(position);
        model.actionStates.push_back(std::move(state));
    }
    const bool running = runtime != nullptr && runtime->isUpdateRunning;
    model.shouldShowUpdateAllButton = !running && !model.batchUpdateRows.empty();
    if (runtime != nullptr && runtime->activeRowID && model.rowsByID.count(*runtime->activeRowID) > 0) {
        model.activeRowScrollTarget = runtime->activeRowID;
    }
}

}  // namespace

std::string foldForComparison(std::string_view text) {
    std::string folded;
    folded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xC3 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0xBF && kLatin1Base[next - 0x80] != '\0') {
                folded += kLatin1Base[next - 0x80];
                ++i;
                continue;
            }
        }
        folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    }
    return folded;
}

bool matchesSearch(const AllUpdateRow& row, std::string_view foldedSearch) {
    if (foldedSearch.empty()) return true;
    return contains(foldForComparison(row.name), foldedSearch) || contains(foldForComparison(row.source), foldedSearch) ||
           contains(row.id, foldedSearch);
}

int defaultPreferenceScore(const AllUpdateRow& row) {
    const std::string& source = row.source;
    if (source == "App Store") return 100;
    if (source == "Sparkle") return 90;
    if (source == "Electron") return 80;
    if (source == "GitHub") return 70;
    if (source == "Homebrew Casks") return 60;
    if (source == "Generic") return 50;
    if (source == "Direct Download") return 40;
    return row.kind == AllUpdateRow::Kind::Application ? 30 : 20;
}

std::optional<std::string> defaultBundleDeduplicationKey(const AllUpdateRow& row) {
    if (!row.bundlePath || row.bundlePath->empty()) return std::nullopt;
    return bundleKey(*row.bundlePath);
}

std::optional<std::string> nativeToolName(const AllUpdateRow& row) {
    if (row.kind != AllUpdateRow::Kind::Package || !row.packageType) return std::nullopt;
    std::string name = toLower(row.name);
    if (std::find(kNativeTools.begin(), kNativeTools.end(), name) == kNativeTools.end()) return std::nullopt;
    return name;
}

const AllUpdateRow* AllUpdatesDisplayModel::find(std::string_view id) const {
    auto found = rowsByID.find(std::string(id));
    return found == rowsByID.end() ? nullptr : &row(found->second);
}

const AllUpdateRowActionState* AllUpdatesDisplayModel::actionState(std::string_view id) const {
    auto found = rowsByID.find(std::string(id));
    return found == rowsByID.end() ? nullptr : &actionStates[found->second];
}

AllUpdatesDisplayModel AllUpdatesRowPipeline::run(std::vector<AllUpdateRow> rows, const AllUpdatesPipelineInput& input) {
    AllUpdatesDisplayModel model;
    const AllUpdatesRuntimeState* runtime = input.runtime;
    // While an update runs the table stands still: the rows taken when it started.
    if (runtime != nullptr && runtime->isUpdateRunning && !runtime->frozenRows.empty()) rows = runtime->frozenRows;
    model.sourceRows = std::move(rows);
    const std::vector<AllUpdateRow>& all = model.sourceRows;

    const std::string search = foldForComparison(trimView(input.searchText));
    const std::string source = foldForComparison(trimView(input.sourceFilter));
    std::vector<std::size_t> kept;
    kept.reserve(all.size());
    for (std::size_t index = 0; index < all.size(); ++index) {
        const AllUpdateRow& row = all[index];
        if (input.isVisible && !input.isVisible(row)) continue;
        // Named as the table shows it ("RubyGems") or as `managers` lists it ("gems").
        if (!source.empty() && foldForComparison(row.source) != source && foldForComparison(row.sourceId) != source) {
            continue;
        }
        if (!matchesSearch(row, search)) continue;
        if (runtime != nullptr && runtime->hiddenUntilRescanRowIDs.count(row.id) > 0) continue;
        RowHiding hiding = input.hiding ? input.hiding(row) : RowHiding::Shown;
        if (hiding == RowHiding::Hidden) {
            ++model.hiddenCount;
            continue;
        }
        if (hiding == RowHiding::HeldBack) {
            ++model.heldBackCount;
            continue;
        }
        kept.push_back(index);
    }
    deduplicate(all, kept, input);

    std::vector<SortKey> keys;
    keys.reserve(kept.size());
    for (std::size_t index : kept) {
        const AllUpdateRow& row = all[index];
        keys.push_back({row.fixesVulnerabilities(), row.hasUpdate, foldForComparison(row.source),
                        foldForComparison(row.name), index});
    }
    // Their places are sorted, not the keys: a swap of two keys moves four strings.
    std::vector<std::size_t> order(keys.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return before(keys[a], keys[b], all); });
    model.displayRows.reserve(keys.size());
    for (std::size_t place : order) model.displayRows.push_back(keys[place].index);
    deriveActions(model, input);
    return model;
}

}  // namespace vt
