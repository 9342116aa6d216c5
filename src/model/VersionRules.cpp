#include "model/VersionRules.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_map>

#include "base/Localization.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

constexpr std::array<std::string_view, 14> kPreReleaseWords = {
    "alpha", "beta", "rc", "pre", "preview", "nightly", "canary", "dev", "snapshot", "insiders", "edge",
    "unstable", "test", "experimental"};

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool isAsciiLetter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Digit runs longer than an int64 saturate: such "versions" are rare and still order sensibly.
std::int64_t accumulateDigit(std::int64_t value, char digit) noexcept {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    int d = digit - '0';
    if (value > (kMax - d) / 10) return kMax;
    return value * 10 + d;
}

// Trims white space and drops one leading "v" or "V".
std::string_view normalize(std::string_view text) noexcept {
    text = trimView(text);
    if (!text.empty() && lowerAscii(text.front()) == 'v') text.remove_prefix(1);
    return text;
}

// The numeric components used to recognise "2024.3 (45)" as 45: lower-case, one leading
// "v" dropped, "+" and "," read as ".", and only the pieces that are whole integers kept.
std::vector<std::int64_t> equivalenceComponents(std::string_view text) {
    text = trimView(text);
    if (!text.empty() && lowerAscii(text.front()) == 'v') text.remove_prefix(1);
    std::vector<std::int64_t> components;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '.' && text[i] != '+' && text[i] != ',') continue;
        std::string_view piece = text.substr(start, i - start);
        start = i + 1;
        bool negative = !piece.empty() && piece.front() == '-';
        if (negative) piece.remove_prefix(1);
        if (piece.empty() || !std::all_of(piece.begin(), piece.end(), isDigit)) continue;
        std::int64_t value = 0;
        bool overflow = false;
        for (char c : piece) {
            std::int64_t next = accumulateDigit(value, c);
            if (next == std::numeric_limits<std::int64_t>::max()) overflow = true;
            value = next;
        }
        if (!overflow) components.push_back(negative ? -value : value);
    }
    return components;
}

bool isRevisionLetterSuffix(std::string_view suffix, char* letter) noexcept {
    while (!suffix.empty() && (suffix.front() == '-' || suffix.front() == '_' || suffix.front() == '.' ||
                               isBlank(suffix.front()))) {
        suffix.remove_prefix(1);
    }
    while (!suffix.empty() &&
           (suffix.back() == '-' || suffix.back() == '_' || suffix.back() == '.' || isBlank(suffix.back()))) {
        suffix.remove_suffix(1);
    }
    if (suffix.size() != 1 || !isAsciiLetter(suffix.front())) return false;
    *letter = lowerAscii(suffix.front());
    return true;
}

// Compares texts with embedded digit runs ordered by value: "beta.10" > "beta.2".
int compareNumerically(std::string_view a, std::string_view b) noexcept {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            std::size_t runA = i, runB = j;
            while (runA < a.size() && isDigit(a[runA])) ++runA;
            while (runB < b.size() && isDigit(b[runB])) ++runB;
            std::size_t lengthA = runA - i, lengthB = runB - j;
            if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
            int digits = a.substr(i, lengthA).compare(b.substr(j, lengthB));
            if (digits != 0) return digits < 0 ? -1 : 1;
            i = runA;
            j = runB;
            continue;
        }
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[j]);
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

VersionOrder fromSign(int sign) noexcept {
    return sign < 0 ? VersionOrder::Ascending : sign > 0 ? VersionOrder::Descending : VersionOrder::Same;
}

void collectCandidates(std::string_view text, std::vector<ParsedVersion::Candidate>& candidates) {
    std::size_t position = 0;
    while (true) {
        std::size_t open = text.find('(', position);
        if (open == std::string_view::npos) return;
        std::size_t close = text.find(')', open + 1);
        if (close == std::string_view::npos) return;
        std::string_view inside = trimView(text.substr(open + 1, close - open - 1));
        if (std::any_of(inside.begin(), inside.end(), isDigit)) {
            candidates.push_back({equivalenceComponents(inside), isPreRelease(inside)});
        }
        position = close + 1;
    }
}

bool sameByParenthesis(const ParsedVersion& a, const ParsedVersion& b) {
    if (a.candidates.empty()) return false;
    std::vector<std::int64_t> target = equivalenceComponents(b.raw);
    if (target.empty()) return false;
    bool targetIsPreRelease = isPreRelease(b.raw);
    return std::any_of(a.candidates.begin(), a.candidates.end(), [&](const ParsedVersion::Candidate& candidate) {
        return candidate.components == target && candidate.isPreRelease == targetIsPreRelease;
    });
}

VersionOrder compareSuffixes(const ParsedVersion& a, const ParsedVersion& b) {
    const bool aEmpty = a.suffix.empty(), bEmpty = b.suffix.empty();
    const bool aRevision = a.revisionLetter != 0, bRevision = b.revisionLetter != 0;
    if (aEmpty && bRevision) return VersionOrder::Ascending;
    if (bEmpty) {
        if (aRevision) return VersionOrder::Descending;
        return aEmpty ? VersionOrder::Same : VersionOrder::Ascending;
    }
    if (aRevision && bRevision) return fromSign(a.revisionLetter - b.revisionLetter);
    if (aEmpty) return VersionOrder::Descending;
    return fromSign(compareNumerically(a.suffix, b.suffix));
}

const Regex& extractionRegex() {
    static const Regex regex{kVersionExtractionPattern};
    return regex;
}

}  // namespace

ParsedVersion parseVersion(std::string_view text) {
    ParsedVersion parsed;
    parsed.raw = text;
    collectCandidates(text, parsed.candidates);

    std::string_view normalized = normalize(text);
    std::size_t split = normalized.find('-');
    if (split == std::string_view::npos) split = normalized.find('+');
    if (split == std::string_view::npos) {
        split = std::find_if(normalized.begin(), normalized.end(), isBlank) - normalized.begin();
        if (split == normalized.size()) split = std::string_view::npos;
    }
    std::string_view main = normalized.substr(0, split);
    std::string_view tail = split == std::string_view::npos ? std::string_view{} : normalized.substr(split + 1);

    // "_" separates components too (1_8_0); letters after a component's digits join the suffix (1.1.1w).
    std::string carried;
    if (!main.empty()) {
        // One allocation, not one per doubling: versions are parsed by the thousand.
        parsed.components.reserve(1 + static_cast<std::size_t>(std::count_if(
                                          main.begin(), main.end(), [](char c) { return c == '.' || c == '_'; })));
        std::size_t start = 0;
        for (std::size_t i = 0; i <= main.size(); ++i) {
            if (i < main.size() && main[i] != '.' && main[i] != '_') continue;
            std::string_view piece = main.substr(start, i - start);
            start = i + 1;
            std::int64_t value = 0;
            std::size_t k = 0;
            while (k < piece.size() && isDigit(piece[k])) value = accumulateDigit(value, piece[k++]);
            parsed.components.push_back(value);
            carried.append(piece.substr(k));
        }
    }
    parsed.suffix = std::move(carried);
    parsed.suffix.append(tail);
    isRevisionLetterSuffix(parsed.suffix, &parsed.revisionLetter);
    return parsed;
}

VersionOrder compareVersions(const ParsedVersion& a, const ParsedVersion& b) {
    if (a.raw == b.raw) return VersionOrder::Same;
    if (sameByParenthesis(a, b)) return VersionOrder::Same;
    const std::size_t length = std::max(a.components.size(), b.components.size());
    for (std::size_t i = 0; i < length; ++i) {
        std::int64_t x = i < a.components.size() ? a.components[i] : 0;
        std::int64_t y = i < b.components.size() ? b.components[i] : 0;
        if (x != y) return x < y ? VersionOrder::Ascending : VersionOrder::Descending;
    }
    return compareSuffixes(a, b);
}

namespace {

// The order of two texts made of digits and dots alone, as most versions are, read in place:
// the order their parses give (components, the missing ones zero, and no suffix on either
// side), without building them. Nothing for any other text.
std::optional<VersionOrder> compareDottedNumbers(std::string_view a, std::string_view b) {
    auto dotted = [](std::string_view text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return isDigit(c) || c == '.'; });
    };
    if (!dotted(a) || !dotted(b)) return std::nullopt;
    // The component at `at`, and `at` past its dot.
    auto next = [](std::string_view text, std::size_t& at) {
        std::int64_t value = 0;
        while (at < text.size() && text[at] != '.') value = accumulateDigit(value, text[at++]);
        if (at < text.size()) ++at;
        return value;
    };
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        const std::int64_t x = i < a.size() ? next(a, i) : 0;
        const std::int64_t y = j < b.size() ? next(b, j) : 0;
        if (x != y) return x < y ? VersionOrder::Ascending : VersionOrder::Descending;
    }
    return VersionOrder::Same;
}

}  // namespace

VersionOrder compareVersions(std::string_view a, std::string_view b) {
    if (a == b) return VersionOrder::Same;
    if (const std::optional<VersionOrder> order = compareDottedNumbers(a, b)) return *order;
    return compareVersions(parseVersion(a), parseVersion(b));
}

bool isPreRelease(std::string_view version) {
    std::size_t i = 0;
    while (i < version.size()) {
        if (!isAsciiLetter(version[i])) {
            ++i;
            continue;
        }
        std::size_t start = i;
        while (i < version.size() && isAsciiLetter(version[i])) ++i;
        std::size_t length = i - start;
        if (length > 12) continue;  // longer than any word of the list
        char word[12];
        for (std::size_t k = 0; k < length; ++k) word[k] = lowerAscii(version[start + k]);
        std::string_view run(word, length);
        if (std::find(kPreReleaseWords.begin(), kPreReleaseWords.end(), run) != kPreReleaseWords.end()) return true;
    }
    return false;
}

bool isPlaceholderVersion(std::string_view version) {
    if (version.size() > 7) return false;  // longer than any of them
    char lower[7];
    for (std::size_t i = 0; i < version.size(); ++i) lower[i] = lowerAscii(version[i]);
    const std::string_view text(lower, version.size());
    return text.empty() || text == "unknown" || text == "0.0.0" || text == "n/a" || text == "na";
}

bool isSuspectVersion(std::string_view version) {
    return version == "0.1.0" || version == "1.0" || version == "1.0.0" || version == "0.0.1";
}

namespace {

// A latest version that a suspect installed version may be compared with: not a time
// stamp, not a date, and not a year-like first component.
bool isPlausibleLatest(std::string_view latest) {
    static const Regex timestamp{R"(^\d{8}-\d{6})"};
    static const Regex date{R"(^20\d{6}$)"};
    if (timestamp.matches(latest) || date.matches(latest)) return false;
    std::string_view first = latest.substr(0, latest.find('.'));
    if (!first.empty() && first.size() <= 18 && std::all_of(first.begin(), first.end(), isDigit)) {
        std::int64_t value = 0;
        for (char c : first) value = accumulateDigit(value, c);
        if (value >= 1000) return false;
    } else if (first.size() > 18 && std::all_of(first.begin(), first.end(), isDigit)) {
        return false;
    }
    return true;
}

bool isDigits(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isDigit); }

}  // namespace

bool isContentIdentifier(std::string_view version) {
    const auto isHex = [](std::string_view text) {
        return std::all_of(text.begin(), text.end(),
                           [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    };
    for (std::string_view algorithm : {"sha256:", "sha512:"}) {
        if (version.starts_with(algorithm)) {
            std::string_view hex = version.substr(algorithm.size());
            return hex.size() >= 12 && hex.size() <= 128 && isHex(hex);
        }
    }
    return version.size() >= 7 && version.size() <= 40 && isHex(version) &&
           std::any_of(version.begin(), version.end(), [](char c) { return c >= 'a' && c <= 'f'; });
}

bool isUpdateAvailable(std::string_view installed, std::optional<std::string_view> latestVersion,
                       bool allowPreRelease) {
    if (!latestVersion) return false;
    std::string_view latest = *latestVersion;
    if (latest == kUpdateAvailableSentinel) return installed != kUpdateAvailableSentinel;
    if (installed == latest) return false;
    if (isContentIdentifier(installed) && isContentIdentifier(latest)) {
        return installed.find(':') == latest.find(':') && installed.size() == latest.size();
    }
    // About one short commit in forty is written in digits alone ("15319952"): beside a commit
    // of its length it is a commit too, and two commits have no order.
    if ((isContentIdentifier(installed) && isDigits(latest) && latest.size() == installed.size()) ||
        (isContentIdentifier(latest) && isDigits(installed) && installed.size() == latest.size())) {
        return true;
    }
    std::string_view normalizedInstalled = normalize(installed);
    std::string_view normalizedLatest = normalize(latest);
    if (isPlaceholderVersion(normalizedInstalled) || isPlaceholderVersion(normalizedLatest)) return false;
    if (!allowPreRelease && isPreRelease(normalizedLatest) && !isPreRelease(normalizedInstalled)) return false;
    if (isSuspectVersion(normalizedInstalled) && !isPlausibleLatest(normalizedLatest)) return false;
    return compareVersions(installed, latest) == VersionOrder::Ascending;
}

std::vector<std::string> extractVersions(std::string_view text) {
    std::vector<std::string> versions;
    for (const auto& match : extractionRegex().findAll(text)) versions.emplace_back(match.text);
    return versions;
}

std::string displayVersion(std::string_view version) {
    if (version == kUpdateAvailableSentinel) return localized("tooltip.update_available");
    static const Regex versionWord{R"(^\s*[Vv]ersion\s+)"};
    std::string text = trim(versionWord.replaceAll(version, ""));
    // A commit hash is shown short. Pure digit runs (dates, build numbers) are hex too but
    // are versions, so a hash must hold at least one of the letters a to f.
    // A registry digest is shown as its algorithm and twelve digits, as container tools do.
    if (text.starts_with("sha256:") && isContentIdentifier(text)) return text.substr(0, 19);
    static const Regex hash{R"([0-9a-fA-F]{7,40})"};
    if (hash.fullyMatches(text) && std::any_of(text.begin(), text.end(), isAsciiLetter)) {
        return text.substr(0, 7);
    }
    std::vector<std::string> parts = extractVersions(text);
    if (parts.empty()) return text;
    return join(parts, " ");
}

std::vector<std::size_t> sortedVersionOrder(const std::vector<ParsedVersion>& versions, bool newestFirst) {
    const std::size_t count = versions.size();
    std::vector<std::size_t> order(count), buffer(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    // "right goes first" only when it is strictly before left, which keeps equal texts in input order.
    auto before = [&](std::size_t right, std::size_t left) {
        VersionOrder result = compareVersions(versions[right], versions[left]);
        return newestFirst ? result == VersionOrder::Descending : result == VersionOrder::Ascending;
    };
    // Bottom-up merge: each step moves exactly one index, so no answer of the comparison
    // can make it lose, repeat or run past an element.
    for (std::size_t width = 1; width < count; width *= 2) {
        for (std::size_t low = 0; low < count; low += 2 * width) {
            std::size_t middle = std::min(low + width, count), high = std::min(low + 2 * width, count);
            std::size_t i = low, j = middle, out = low;
            while (i < middle && j < high) buffer[out++] = before(order[j], order[i]) ? order[j++] : order[i++];
            while (i < middle) buffer[out++] = order[i++];
            while (j < high) buffer[out++] = order[j++];
        }
        order.swap(buffer);
    }
    return order;
}

std::vector<std::size_t> sortedLineOrder(const std::vector<std::string_view>& lines, bool newestFirst, bool unique) {
    // Version lists repeat themselves (the same release in many places), so each distinct
    // text is parsed and sorted once; the lines then follow their text's place, in input order.
    constexpr std::size_t kDropped = static_cast<std::size_t>(-1);
    std::unordered_map<std::string_view, std::size_t> distinctIndex;
    distinctIndex.reserve(std::min<std::size_t>(lines.size(), 1u << 20));
    std::vector<ParsedVersion> distinct;
    std::vector<std::size_t> textOfLine(lines.size(), kDropped);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto [it, inserted] = distinctIndex.try_emplace(lines[i], distinct.size());
        if (inserted) distinct.push_back(parseVersion(lines[i]));
        if (inserted || !unique) textOfLine[i] = it->second;
    }
    const std::vector<std::size_t> order = sortedVersionOrder(distinct, newestFirst);

    // Texts that compare the same both ways ("1.2", "v1.2") share a place, so their lines
    // interleave in input order.
    auto same = [&](std::size_t a, std::size_t b) {
        return compareVersions(distinct[a], distinct[b]) == VersionOrder::Same &&
               compareVersions(distinct[b], distinct[a]) == VersionOrder::Same;
    };
    std::vector<std::size_t> placeOfText(distinct.size());
    std::size_t places = 0;
    for (std::size_t start = 0; start < order.size(); ++places) {
        std::size_t end = start + 1;
        while (end < order.size() && same(order[start], order[end])) ++end;
        for (std::size_t k = start; k < end; ++k) placeOfText[order[k]] = places;
        start = end;
    }
    // A counting sort of the lines by place: stable, so input order holds within a place.
    std::vector<std::size_t> firstSlot(places + 1, 0);
    for (std::size_t text : textOfLine) {
        if (text != kDropped) ++firstSlot[placeOfText[text] + 1];
    }
    for (std::size_t place = 0; place < places; ++place) firstSlot[place + 1] += firstSlot[place];
    std::vector<std::size_t> result(firstSlot[places]);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (textOfLine[i] != kDropped) result[firstSlot[placeOfText[textOfLine[i]]]++] = i;
    }
    return result;
}

std::string_view toString(VersionOrder order) {
    switch (order) {
        case VersionOrder::Ascending: return "ascending";
        case VersionOrder::Same: return "same";
        case VersionOrder::Descending: return "descending";
    }
    return "same";
}

}  // namespace vt
