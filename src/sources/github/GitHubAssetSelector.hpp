#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/inventory/MachOArchitecture.hpp"

namespace vt {

struct GitHubAsset {
    std::string name;
    std::string browserDownloadUrl;
    std::optional<std::string> contentType;
    std::optional<long long> size;
    std::optional<std::string> sha256;  // from the asset's "digest" ("sha256:HEX"), lower-case hex
};

// Case- and diacritic-insensitive form of a name: ASCII lower case, accented Latin letters
// reduced to their base letter ("Ünïcödé" → "unicode"). Bytes that are not UTF-8 are replaced.
std::string foldedName(std::string_view name);

// The architecture an asset's name announces.
AppArchitectureKind assetArchitecture(std::string_view foldedName);

// The score of an asset for an installed application of the wanted architecture, or nothing
// when the asset is not a macOS download (another system's package, or not a .dmg, .pkg or
// .zip, or nothing in its name says it is for a Mac).
std::optional<int> assetScore(std::string_view name, AppArchitectureKind wanted);

struct AssetChoice {
    std::size_t index = 0;  // into the assets given
    int score = 0;
};

// The best-scoring asset; the first listed wins a tie. Nothing when no asset fits.
std::optional<AssetChoice> chooseAsset(const std::vector<GitHubAsset>& assets, AppArchitectureKind wanted);

}  // namespace vt
