#include "sources/github/GitHubAssetSelector.hpp"

#include <array>
#include <cstdint>

#include "base/Strings.hpp"

namespace vt {

namespace {

constexpr std::array kRejected = {"linux", "ubuntu", "debian", "fedora", "appimage", ".deb", ".rpm", "windows",
                                  "win32", "win64", "win-", "-win", ".exe", ".msi", "android", "apk"};
constexpr std::array kMacMarkers = {"mac", "macos", "darwin", "osx", "apple", "universal"};
constexpr std::array kAppleSiliconMarkers = {"arm64", "aarch64", "apple-silicon", "apple_silicon", "applesilicon"};
constexpr std::array kIntelMarkers = {"x86_64", "x86-64", "amd64", "-intel", "_intel", ".intel", "intel"};

// Base letters of U+00C0 to U+017F; '\0' where there is none (the multiplication sign).
constexpr std::string_view kLatin1{"aaaaaaaceeeeiiiidnooooo\0ouuuuytsaaaaaaaceeeeiiiidnooooo\0ouuuuyty", 64};
constexpr std::string_view kLatinA{
    "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiiiiijjkkklllllllllln"
    "nnnnnnnnoooooooorrrrrrssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs",
    128};

char baseLetter(std::uint32_t code) {
    if (code >= 0xC0 && code <= 0xFF) return kLatin1[code - 0xC0];
    if (code >= 0x100 && code <= 0x17F) return kLatinA[code - 0x100];
    return '\0';
}

bool containsAny(std::string_view text, const auto& words) {
    for (std::string_view word : words) {
        if (contains(text, word)) return true;
    }
    return false;
}

// "darwin-arm64" contains "win-" but names a Mac build: that occurrence does not reject.
bool namesWindows(std::string_view name) {
    for (std::string_view word : kRejected) {
        if (word != "win-") {
            if (contains(name, word)) return true;
            continue;
        }
        for (std::size_t at = name.find(word); at != std::string_view::npos; at = name.find(word, at + 1)) {
            if (at < 3 || name.substr(at - 3, 3) != "dar") return true;
        }
    }
    return false;
}

}  // namespace

std::string foldedName(std::string_view name) {
    const std::string text = sanitizeUtf8(name);
    std::string folded;
    folded.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead < 0x80) {
            folded += static_cast<char>(lead >= 'A' && lead <= 'Z' ? lead + 32 : lead);
            ++at;
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (length == 2 && at + 1 < text.size()) {
            const std::uint32_t code = (lead & 0x1Fu) << 6 | (static_cast<unsigned char>(text[at + 1]) & 0x3Fu);
            if (char base = baseLetter(code)) {
                folded += base;
                at += 2;
                continue;
            }
        }
        folded.append(text, at, length);
        at += length;
    }
    return folded;
}

AppArchitectureKind assetArchitecture(std::string_view name) {
    if (contains(name, "universal")) return AppArchitectureKind::Universal;
    const bool arm = containsAny(name, kAppleSiliconMarkers);
    const bool intel = containsAny(name, kIntelMarkers);
    if (arm && intel) return AppArchitectureKind::Universal;
    if (arm) return AppArchitectureKind::AppleSilicon;
    if (intel) return AppArchitectureKind::Intel;
    return AppArchitectureKind::Unknown;
}

std::optional<int> assetScore(std::string_view rawName, AppArchitectureKind wanted) {
    const std::string name = foldedName(rawName);
    if (namesWindows(name)) return std::nullopt;
    int score = 0;
    if (endsWith(name, ".dmg")) {
        score = 100;
    } else if (endsWith(name, ".pkg")) {
        score = 90;
    } else if (endsWith(name, ".zip")) {
        score = 70;
    } else {
        return std::nullopt;
    }
    const AppArchitectureKind architecture = assetArchitecture(name);
    if (!containsAny(name, kMacMarkers) && architecture == AppArchitectureKind::Unknown) return std::nullopt;
    if (contains(name, "universal")) score += 20;
    using Kind = AppArchitectureKind;
    // Rows: the wanted architecture; columns: the asset's (Apple silicon, Intel, universal).
    static constexpr int kBonus[4][3] = {{12, 0, 8}, {0, 12, 8}, {4, 4, 15}, {10, 2, 0}};
    if (architecture != Kind::Unknown) score += kBonus[static_cast<int>(wanted)][static_cast<int>(architecture)];
    return score;
}

std::optional<AssetChoice> chooseAsset(const std::vector<GitHubAsset>& assets, AppArchitectureKind wanted) {
    std::optional<AssetChoice> best;
    for (std::size_t index = 0; index < assets.size(); ++index) {
        std::optional<int> score = assetScore(assets[index].name, wanted);
        if (score && (!best || *score > best->score)) best = AssetChoice{index, *score};
    }
    return best;
}

}  // namespace vt
