#include "managers/system/SystemListing.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt::systemlisting {

std::optional<std::string> oversizedList(std::string_view tool, const ShellCommandResult& result) {
    if (result.standardOutput.size() + result.standardError.size() <= kMaxListBytes) return std::nullopt;
    return localized("system.list_too_large", {std::string(tool), std::to_string(kMaxListBytes / (1024 * 1024))});
}

ListOutput readList(std::string_view tool, const std::function<ShellCommandResult()>& runTool,
                    const std::stop_token& stop) {
    ShellCommandResult result;
    try {
        result = runTool();
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        return {.failure = error.what()};
    }
    if (auto oversized = oversizedList(tool, result)) return {.failure = oversized};
    // A package left half-configured stops apt here ("dpkg was interrupted...").
    if (result.exitCode != 0) return {.failure = toolError(result.standardError + "\n" + result.standardOutput)};
    return {.text = std::move(result.standardOutput)};
}

std::vector<std::string> blankSeparated(std::string_view line) {
    std::vector<std::string> pieces;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i])) ++i;
        if (i > start) pieces.emplace_back(line.substr(start, i - start));
    }
    return pieces;
}

std::string pendingVersion(std::string_view installed, std::string_view reported) {
    if (!reported.empty() && isUpdateAvailable(installed, reported, true)) return std::string(reported);
    return std::string(kUpdateAvailableSentinel);
}

std::string toolError(std::string_view output) {
    std::vector<std::string> errors;
    for (std::string_view line : splitLines(output)) {
        std::string_view trimmed = trimView(line);
        if (startsWith(trimmed, "E: ")) errors.push_back(trim(trimmed.substr(3)));
        if (startsWith(trimmed, "error: ")) errors.push_back(trim(trimmed.substr(7)));
    }
    if (errors.empty()) return excerpt(output);
    return excerpt(join(errors, "; "), 400);
}

}  // namespace vt::systemlisting
