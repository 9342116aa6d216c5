#include "model/PackageType.hpp"

#include "base/Localization.hpp"

namespace vt {

namespace {

struct TypeRow {
    PackageType type;
    std::string_view raw;
    std::string_view localizationKey;  // empty: the raw value is the display name
};

constexpr std::array<TypeRow, kPackageTypeCount> kTypes{{
    {PackageType::BrewFormula, "Formulas", "enum.package_type.brew_formula"},
    {PackageType::BrewCask, "Casks", "enum.package_type.brew_cask"},
    {PackageType::NpmGlobal, "NPM Global", "enum.package_type.npm_global"},
    {PackageType::YarnGlobal, "Yarn Global", "enum.package_type.yarn_global"},
    {PackageType::PnpmGlobal, "PNPM Global", "enum.package_type.pnpm_global"},
    {PackageType::BunGlobal, "Bun Global", "enum.package_type.bun_global"},
    {PackageType::PipPackage, "Python (pip)", "enum.package_type.pip_package"},
    {PackageType::PipxPackage, "Python (pipx)", "enum.package_type.pipx_package"},
    {PackageType::CondaPackage, "Conda", "enum.package_type.conda_package"},
    {PackageType::RubyGem, "Ruby Gems", "enum.package_type.ruby_gem"},
    {PackageType::CargoPackage, "Cargo (Rust)", "enum.package_type.cargo_package"},
    {PackageType::VscodeExtension, "VS Code", ""},
    {PackageType::CursorExtension, "Cursor", ""},
    {PackageType::TlmgrPackage, "TeX Live", ""},
    {PackageType::GhExtension, "GitHub CLI", "enum.package_type.gh_extension"},
    {PackageType::DenoPackage, "Deno", ""},
    {PackageType::UvTool, "uv Tools", "enum.package_type.uv_tool"},
    {PackageType::MiseRuntime, "Mise", ""},
    {PackageType::NixPackage, "Nix", ""},
    {PackageType::XcodesVersion, "Xcodes", ""},
    {PackageType::ChezmoiConfig, "Chezmoi", ""},
    {PackageType::GoPackage, "Go", ""},
    {PackageType::RustupToolchain, "Rustup", ""},
    {PackageType::ComposerPackage, "Composer", ""},
    {PackageType::FlutterSDK, "Flutter", ""},
    {PackageType::QtPackage, "Qt", ""},
    {PackageType::AndroidSDKPackage, "Android SDK", ""},
    {PackageType::AdobeCCApp, "Adobe CC", ""},
    {PackageType::MacPorts, "MacPorts", ""},
    {PackageType::GcloudComponent, "GCloud", ""},
    {PackageType::VscodiumExtension, "VSCodium", ""},
    {PackageType::VscodeInsidersExtension, "VS Code Insiders", ""},
    {PackageType::WindsurfExtension, "Windsurf", ""},
    {PackageType::MsOfficeApp, "Microsoft Office", ""},
    {PackageType::SdkmanCandidate, "SDKMan", ""},
    {PackageType::OllamaModel, "Ollama", "enum.package_type.ollama_model"},
    {PackageType::AptPackage, "apt", ""},
    {PackageType::FlatpakApp, "Flatpak", ""},
    {PackageType::SnapPackage, "Snap", ""},
    {PackageType::DockerImage, "Docker", ""},
    {PackageType::AiPlugin, "AI Plugins", ""},
    {PackageType::AiMarketplace, "AI Marketplaces", ""},
    {PackageType::AiSkill, "AI Skills", ""},
    {PackageType::AiAssistant, "Claude Code", ""},
    {PackageType::AppleDeveloperTool, "Apple Developer Tools", ""},
    {PackageType::AppImage, "AppImage", ""},
    {PackageType::Firmware, "Firmware", "enum.package_type.firmware"},
    {PackageType::Generic, "Generic", "enum.package_type.generic"},
}};

constexpr std::array<std::string_view, kUpdateSourceCount> kSourceRawValues{
    "Mac App Store", "Sparkle", "Electron", "GitHub Releases", "Homebrew Cask",
    "Homebrew",      "Generic Updater", "Manual Download", "Unknown",
};

const TypeRow& row(PackageType type) { return kTypes[static_cast<std::size_t>(type)]; }

}  // namespace

const std::array<PackageType, kPackageTypeCount>& allPackageTypes() {
    static const auto all = [] {
        std::array<PackageType, kPackageTypeCount> types{};
        for (std::size_t i = 0; i < kPackageTypeCount; ++i) types[i] = kTypes[i].type;
        return types;
    }();
    return all;
}

std::string_view rawValue(PackageType type) { return row(type).raw; }

std::optional<PackageType> packageTypeFromRawValue(std::string_view raw) {
    for (const auto& entry : kTypes) {
        if (entry.raw == raw) return entry.type;
    }
    return std::nullopt;
}

std::string displayName(PackageType type) {
    const TypeRow& entry = row(type);
    if (entry.localizationKey.empty()) return std::string(entry.raw);
    std::string text = localized(entry.localizationKey);
    return text == entry.localizationKey || text.empty() ? std::string(entry.raw) : text;
}

const std::array<UpdateSource, kUpdateSourceCount>& allUpdateSources() {
    static const auto all = [] {
        std::array<UpdateSource, kUpdateSourceCount> sources{};
        for (std::size_t i = 0; i < kUpdateSourceCount; ++i) sources[i] = static_cast<UpdateSource>(i);
        return sources;
    }();
    return all;
}

std::string_view rawValue(UpdateSource source) { return kSourceRawValues[static_cast<std::size_t>(source)]; }

std::optional<UpdateSource> updateSourceFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < kUpdateSourceCount; ++i) {
        if (kSourceRawValues[i] == raw) return static_cast<UpdateSource>(i);
    }
    return std::nullopt;
}

int priority(UpdateSource source) { return 8 - static_cast<int>(source); }

}  // namespace vt
