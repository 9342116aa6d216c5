#include "presentation/UpdatesScreenModel.hpp"

#include <algorithm>
#include <numeric>

#include "base/TextCells.hpp"
#include "presentation/AllUpdatesRowPipeline.hpp"

namespace vt {

namespace {

// Whatever the grouping, the updates that fix known vulnerabilities come first.
std::vector<std::size_t> orderBy(const std::vector<ScreenRow>& rows, const auto& before) {
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const bool fixesA = rows[a].fixes > 0, fixesB = rows[b].fixes > 0;
        return fixesA != fixesB ? fixesA : before(rows[a], rows[b]);
    });
    return order;
}

UpdatesScreenModel::Orders ordersOf(const std::vector<ScreenRow>& rows) {
    // Names are compared folded, as the reader expects ("Écran" beside "ecran").
    std::vector<std::string> names(rows.size()), sources(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        names[i] = foldForComparison(rows[i].name);
        sources[i] = foldForComparison(rows[i].source);
    }
    auto index = [&rows](const ScreenRow& row) { return static_cast<std::size_t>(&row - rows.data()); };
    auto byName = [&](const ScreenRow& a, const ScreenRow& b) {
        const std::size_t i = index(a), j = index(b);
        return names[i] != names[j] ? names[i] < names[j] : sources[i] < sources[j];
    };
    UpdatesScreenModel::Orders orders;
    orders.byName = orderBy(rows, byName);
    orders.byKind = orderBy(rows, [&](const ScreenRow& a, const ScreenRow& b) {
        return a.group != b.group ? a.group < b.group : byName(a, b);
    });
    orders.bySource = orderBy(rows, [&](const ScreenRow& a, const ScreenRow& b) {
        const std::size_t i = index(a), j = index(b);
        return sources[i] != sources[j] ? sources[i] < sources[j] : names[i] < names[j];
    });
    return orders;
}

// The first number of a version, past a leading "v" or an epoch.
std::optional<long long> leadingNumber(std::string_view version) {
    if (const std::size_t colon = version.find(':'); colon != std::string_view::npos) version.remove_prefix(colon + 1);
    if (!version.empty() && (version.front() == 'v' || version.front() == 'V')) version.remove_prefix(1);
    if (version.empty() || version.front() < '0' || version.front() > '9') return std::nullopt;
    long long number = 0;
    for (char c : version) {
        if (c < '0' || c > '9' || number > 1'000'000'000) break;
        number = number * 10 + (c - '0');
    }
    return number;
}

}  // namespace

void UpdatesScreenModel::finish() {
    nameWidth = 0;
    sourceWidth = 0;
    versionsWidth = 0;
    for (std::vector<ScreenRow>* list : {&rows, &ignored}) {
        for (ScreenRow& row : *list) {
            row.folded = foldForComparison(row.name) + '\n' + foldForComparison(row.source) + '\n' + row.id + '\n' + row.shortId;
            nameWidth = std::max(nameWidth, cellWidth(row.name));
            sourceWidth = std::max(sourceWidth, cellWidth(row.source));
            versionsWidth = std::max(versionsWidth, cellWidth(row.installed) + 3 + cellWidth(row.latest));
        }
    }
    rowOrders = ordersOf(rows);
    ignoredOrders = ordersOf(ignored);
}

ScreenGroup screenGroupOf(UpdateKind kind, bool isPackage) {
    if (kind == UpdateKind::Security) return ScreenGroup::Security;
    if (!isPackage) return ScreenGroup::Applications;
    switch (kind) {
        case UpdateKind::Major: return ScreenGroup::Major;
        case UpdateKind::Minor: return ScreenGroup::Minor;
        case UpdateKind::Patch: return ScreenGroup::Patch;
        default: return ScreenGroup::Other;
    }
}

bool isZeroMajorUpdate(const std::string& installed, const std::string& latest) {
    return leadingNumber(installed) == 0 && classifyUpdate(installed, latest, false) == UpdateKind::Major;
}

}  // namespace vt
