// `version sort` over mixed lines: raw bytes, or lines assembled from fragments that make
// repeats, texts that compare the same ("1.2", "v1.2") and the parenthesised numbers whose
// rule is not symmetric. Whatever the comparison answers, every line comes back exactly once
// (each distinct text once with unique), repeats of a text stay in input order, and nothing
// crashes or hangs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "model/VersionRules.hpp"

namespace {

constexpr std::array<std::string_view, 24> kFragments = {
    "1", "2", "10", ".", ".", "-", "v", "beta", "rc", "a", "(", ")", " ", "0", "2024", "+", ",",
    "(45)", " (build 7)", "alpha", "_", "9999999999999999999999", "w", "1.2"};

std::vector<std::string> mixedLines(std::string_view input) {
    std::vector<std::string> lines(1);
    for (char byte : input) {
        auto code = static_cast<unsigned char>(byte);
        if (code % 32 == 31) {
            // A copy of an earlier line, so repeats are common.
            lines.push_back(lines[code % lines.size()]);
            lines.emplace_back();
        } else if (code % 32 == 30) {
            lines.emplace_back();
        } else {
            lines.back() += kFragments[code % kFragments.size()];
        }
        if (lines.size() > 512) break;
    }
    return lines;
}

std::vector<std::string> rawLines(std::string_view input) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < input.size() && lines.size() < 512) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        lines.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void check(const std::vector<std::string_view>& lines, bool newestFirst, bool unique) {
    std::vector<std::size_t> order = vt::sortedLineOrder(lines, newestFirst, unique);
    std::map<std::string_view, std::size_t> expected;  // lines printed per text
    for (std::string_view line : lines) expected[line] = unique ? 1 : expected[line] + 1;
    std::vector<bool> seen(lines.size(), false);
    std::map<std::string_view, std::size_t> lastOf;
    for (std::size_t index : order) {
        if (index >= lines.size() || seen[index]) std::abort();
        seen[index] = true;
        auto last = lastOf.find(lines[index]);
        if (last != lastOf.end() && last->second > index) std::abort();
        lastOf[lines[index]] = index;
        if (expected[lines[index]]-- == 0) std::abort();
    }
    for (const auto& [text, left] : expected) {
        if (left != 0) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string> texts = data[0] % 2 == 0 ? mixedLines(input) : rawLines(input);
    std::vector<std::string_view> lines(texts.begin(), texts.end());
    for (bool newestFirst : {false, true}) {
        for (bool unique : {false, true}) check(lines, newestFirst, unique);
    }
    return 0;
}
