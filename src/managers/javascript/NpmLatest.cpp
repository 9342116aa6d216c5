#include "managers/javascript/NpmLatest.hpp"

#include <algorithm>
#include <array>
#include <tuple>
#include <vector>

#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt::npmlatest {

namespace {

// A version of a range's bound: a pre-release part ("0" for the lowest one) sorts it just
// below the release of the same numbers.
struct Bound {
    std::array<long long, 3> numbers{};
    std::string preRelease;
};

// A range's version as written: up to three numbers, then "x", "X" or "*" for any.
struct Partial {
    int parts = 0;
    std::array<long long, 3> numbers{};
    std::string preRelease;
};

std::optional<long long> number(std::string_view text) {
    if (text.empty() || text.size() > 15 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    long long value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    return value;
}

std::optional<Partial> parsePartial(std::string_view text) {
    while (!text.empty() && (text.front() == 'v' || text.front() == '=')) text.remove_prefix(1);
    if (const std::size_t build = text.find('+'); build != std::string_view::npos) text = text.substr(0, build);
    Partial partial;
    if (const std::size_t dash = text.find('-'); dash != std::string_view::npos) {
        partial.preRelease = std::string(text.substr(dash + 1));
        text = text.substr(0, dash);
    }
    if (text.empty() || text == "*" || text == "x" || text == "X") return partial;
    std::vector<std::string_view> pieces = split(text, '.');
    if (pieces.size() > 3) return std::nullopt;
    bool wildcard = false;
    for (std::string_view piece : pieces) {
        // After a wildcard only wildcards: "1.x.x", never "x.2".
        wildcard = wildcard || piece == "x" || piece == "X" || piece == "*";
        if (wildcard) {
            if (piece != "x" && piece != "X" && piece != "*") return std::nullopt;
            continue;
        }
        std::optional<long long> value = number(piece);
        if (!value) return std::nullopt;
        partial.numbers[static_cast<std::size_t>(partial.parts++)] = *value;
    }
    return partial;
}

int compare(const Bound& version, const Bound& bound) {
    if (version.numbers != bound.numbers) return version.numbers < bound.numbers ? -1 : 1;
    if (version.preRelease == bound.preRelease) return 0;
    if (version.preRelease.empty()) return 1;
    if (bound.preRelease.empty()) return -1;
    return version.preRelease < bound.preRelease ? -1 : 1;
}

enum class Operator { Less, LessOrEqual, Greater, GreaterOrEqual };
struct Comparator {
    Operator op;
    Bound bound;
};
using ComparatorSet = std::vector<Comparator>;

// The bound just above a partial version's last written number ("1.2" -> "1.3.0-0").
Bound nextAfter(const Partial& partial, int level) {
    Bound bound{{0, 0, 0}, std::string(1, '0')};
    for (int i = 0; i < level; ++i) bound.numbers[static_cast<std::size_t>(i)] = partial.numbers[static_cast<std::size_t>(i)];
    ++bound.numbers[static_cast<std::size_t>(level - 1)];
    return bound;
}

Bound lowest(const Partial& partial) { return Bound{partial.numbers, partial.preRelease}; }

// One token ("^1.2", ">=2", "1.x") as comparators; false when it is not one.
bool desugar(std::string_view token, ComparatorSet& set) {
    std::string_view op;
    for (std::string_view candidate : {">=", "<=", ">", "<", "=", "~>", "~", "^"}) {
        if (startsWith(token, candidate)) {
            op = candidate;
            break;
        }
    }
    std::optional<Partial> partial = parsePartial(token.substr(op.size()));
    if (!partial) return false;
    const Partial& p = *partial;
    auto add = [&set](Operator o, Bound b) { set.push_back({o, std::move(b)}); };
    if (op.empty() || op == "=") {
        if (p.parts == 0) return true;
        add(Operator::GreaterOrEqual, lowest(p));
        if (p.parts == 3) {
            add(Operator::LessOrEqual, lowest(p));
        } else {
            add(Operator::Less, nextAfter(p, p.parts));
        }
    } else if (op == "~" || op == "~>") {
        if (p.parts == 0) return true;
        add(Operator::GreaterOrEqual, lowest(p));
        add(Operator::Less, nextAfter(p, p.parts == 1 ? 1 : 2));
    } else if (op == "^") {
        if (p.parts == 0) return true;
        add(Operator::GreaterOrEqual, lowest(p));
        // The first number that is not zero may not change (all of them, when every one is).
        int level = 1;
        if (p.numbers[0] == 0 && p.parts >= 2) level = (p.numbers[1] == 0 && p.parts == 3) ? 3 : 2;
        add(Operator::Less, nextAfter(p, level));
    } else if (op == ">") {
        if (p.parts == 0) return false;  // nothing is above "*"
        if (p.parts == 3) {
            add(Operator::Greater, lowest(p));
        } else {
            Bound next = nextAfter(p, p.parts);
            next.preRelease.clear();
            add(Operator::GreaterOrEqual, next);
        }
    } else if (op == ">=") {
        if (p.parts > 0) add(Operator::GreaterOrEqual, lowest(p));
    } else if (op == "<") {
        if (p.parts == 0) return false;
        Bound bound = lowest(p);
        if (p.parts < 3 && bound.preRelease.empty()) bound.preRelease.assign(1, '0');
        add(Operator::Less, bound);
    } else if (op == "<=") {
        if (p.parts == 0) return true;
        if (p.parts == 3) {
            add(Operator::LessOrEqual, lowest(p));
        } else {
            add(Operator::Less, nextAfter(p, p.parts));
        }
    }
    return true;
}

// One "||" alternative: comparators separated by blanks, "1.2 - 2.3" for a hyphen range.
std::optional<ComparatorSet> parseSet(std::string_view text) {
    auto isOperator = [](char c) { return c == '<' || c == '>' || c == '=' || c == '~' || c == '^'; };
    std::vector<std::string> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !isBlank(text[i])) ++i;
        if (i == start) break;
        std::string piece(text.substr(start, i - start));
        // An operator written apart from its version (">= 1.2") belongs to it.
        if (!tokens.empty() && !tokens.back().empty() &&
            std::all_of(tokens.back().begin(), tokens.back().end(), isOperator)) {
            tokens.back() += piece;
        } else {
            tokens.push_back(std::move(piece));
        }
    }
    ComparatorSet set;
    for (i = 0; i < tokens.size(); ++i) {
        if (i + 2 < tokens.size() && tokens[i + 1] == "-") {
            std::optional<Partial> from = parsePartial(tokens[i]), to = parsePartial(tokens[i + 2]);
            if (!from || !to) return std::nullopt;
            if (from->parts > 0) set.push_back({Operator::GreaterOrEqual, lowest(*from)});
            if (to->parts == 3) {
                set.push_back({Operator::LessOrEqual, lowest(*to)});
            } else if (to->parts > 0) {
                set.push_back({Operator::Less, nextAfter(*to, to->parts)});
            }
            i += 2;
            continue;
        }
        if (!desugar(tokens[i], set)) return std::nullopt;
    }
    return set;
}

bool holds(const Bound& version, const Comparator& comparator) {
    const int order = compare(version, comparator.bound);
    switch (comparator.op) {
        case Operator::Less: return order < 0;
        case Operator::LessOrEqual: return order <= 0;
        case Operator::Greater: return order > 0;
        case Operator::GreaterOrEqual: return order >= 0;
    }
    return false;
}

std::optional<Bound> releaseVersion(std::string_view text) {
    std::optional<Partial> partial = parsePartial(trimView(text));
    if (!partial || partial->parts != 3) return std::nullopt;
    return Bound{partial->numbers, partial->preRelease};
}

bool engineOk(const Json& manifest, std::string_view node, std::string_view npm) {
    auto engines = manifest.find("engines");
    if (engines == manifest.end() || !engines->is_object()) return true;
    const std::pair<const char*, std::string_view> runningVersions[] = {{"node", node}, {"npm", npm}};
    for (const auto& [name, running] : runningVersions) {
        std::optional<std::string> range = stringField(*engines, name);
        if (!running.empty() && range && !satisfies(running, *range)) return false;
    }
    return true;
}

bool deprecated(const Json& manifest) {
    auto found = manifest.find("deprecated");
    return found != manifest.end() && ((found->is_string() && !found->get<std::string>().empty()) ||
                                       (found->is_boolean() && found->get<bool>()));
}

}  // namespace

bool satisfies(std::string_view version, std::string_view range) {
    std::optional<Bound> parsed = releaseVersion(version);
    if (!parsed) return false;
    if (trimView(range).empty()) return true;
    std::string_view rest = range;
    while (true) {
        const std::size_t bar = rest.find("||");
        std::optional<ComparatorSet> set = parseSet(rest.substr(0, bar));
        if (set && std::all_of(set->begin(), set->end(), [&](const Comparator& c) { return holds(*parsed, c); })) {
            // A pre-release only satisfies a set naming one of the same numbers; ours are releases.
            if (parsed->preRelease.empty()) return true;
        }
        if (bar == std::string_view::npos) return false;
        rest = rest.substr(bar + 2);
    }
}

std::optional<Json> parseDocument(std::string_view body) {
    bool inDist = false;
    return parseJson(body, [&inDist](int depth, const std::string& key) {
        switch (depth) {
            case 1: return key == "dist-tags" || key == "versions" || key == "time";
            case 3: inDist = key == "dist"; return inDist || key == "engines" || key == "deprecated";
            case 4: return !inDist || key == "attestations";
            default: return true;
        }
    });
}

std::optional<std::string> pick(const Json& document, std::string_view node, std::string_view npm) {
    if (!document.is_object()) return std::nullopt;
    auto versions = document.find("versions");
    if (versions == document.end() || !versions->is_object()) return std::nullopt;
    std::optional<std::string> tagged;
    if (auto tags = document.find("dist-tags"); tags != document.end() && tags->is_object()) {
        tagged = stringField(*tags, "latest");
    }
    if (tagged) {
        auto manifest = versions->find(*tagged);
        if (manifest != versions->end() && manifest->is_object() && engineOk(*manifest, node, npm) &&
            !deprecated(*manifest)) {
            return tagged;
        }
    }
    // Best first: usable here and not deprecated, usable here, not deprecated, newest.
    using Rank = std::tuple<bool, bool, bool, std::array<long long, 3>>;
    std::optional<std::pair<Rank, std::string>> best;
    for (const auto& [text, manifest] : versions->items()) {
        std::optional<Bound> version = releaseVersion(text);
        if (!version || !version->preRelease.empty() || !manifest.is_object()) continue;
        const bool usable = engineOk(manifest, node, npm), current = !deprecated(manifest);
        Rank rank{usable && current, usable, current, version->numbers};
        if (!best || rank > best->first) best = std::make_pair(rank, text);
    }
    if (!best) return tagged;
    return best->second;
}

std::vector<std::string> attestedVersions(const Json& document, std::string_view installed) {
    std::vector<std::string> attested;
    if (!document.is_object()) return attested;
    auto versions = document.find("versions");
    if (versions == document.end() || !versions->is_object()) return attested;
    for (const auto& [version, manifest] : versions->items()) {
        if (!manifest.is_object()) continue;
        if (!installed.empty() && compareVersions(version, installed) == VersionOrder::Ascending) continue;
        auto dist = manifest.find("dist");
        if (dist == manifest.end() || !dist->is_object()) continue;
        auto attestations = dist->find("attestations");
        if (attestations != dist->end() && attestations->is_object() && !attestations->empty()) attested.push_back(version);
    }
    return attested;
}

}  // namespace vt::npmlatest
