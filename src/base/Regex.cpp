#include "base/Regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace vt {

namespace {
constexpr uint32_t kMatchLimit = 1'000'000;
}

struct Regex::Impl {
    pcre2_code* code = nullptr;
    pcre2_match_context* context = nullptr;
    ~Impl() {
        pcre2_match_context_free(context);
        pcre2_code_free(code);
    }
};

Regex::Regex(std::string_view pattern) : Regex(pattern, Options{}) {}

Regex::Regex(std::string_view pattern, Options options) : impl_(std::make_unique<Impl>()) {
    uint32_t flags = 0;
    if (options.caseInsensitive) flags |= PCRE2_CASELESS;
    if (options.multiline) flags |= PCRE2_MULTILINE;
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    impl_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), flags, &errorCode,
                                &errorOffset, nullptr);
    if (impl_->code == nullptr) {
        PCRE2_UCHAR buffer[256];
        pcre2_get_error_message(errorCode, buffer, sizeof(buffer));
        throw RegexError("Bad pattern at " + std::to_string(errorOffset) + ": " +
                         reinterpret_cast<const char*>(buffer));
    }
    pcre2_jit_compile(impl_->code, PCRE2_JIT_COMPLETE);  // falls back to the interpreter when JIT is unavailable
    impl_->context = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(impl_->context, kMatchLimit);
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<Regex::Match> Regex::search(std::string_view subject, std::size_t start) const {
    return searchWith(subject, start, 0);
}

std::optional<Regex::Match> Regex::searchWith(std::string_view subject, std::size_t start, unsigned options) const {
    if (start > subject.size()) return std::nullopt;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(impl_->code, nullptr);
    if (data == nullptr) return std::nullopt;
    int rc = pcre2_match(impl_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, options, data,
                         impl_->context);
    std::optional<Match> result;
    if (rc > 0) {
        PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        Match match;
        match.offset = ovector[0];
        match.length = ovector[1] - ovector[0];
        match.text = subject.substr(match.offset, match.length);
        uint32_t groupCount = 0;
        pcre2_pattern_info(impl_->code, PCRE2_INFO_CAPTURECOUNT, &groupCount);
        for (uint32_t g = 1; g <= groupCount; ++g) {
            if (static_cast<int>(g) < rc && ovector[2 * g] != PCRE2_UNSET) {
                match.groups.emplace_back(subject.substr(ovector[2 * g], ovector[2 * g + 1] - ovector[2 * g]));
            } else {
                match.groups.emplace_back(std::nullopt);
            }
        }
        result = std::move(match);
    }
    pcre2_match_data_free(data);
    return result;
}

bool Regex::matches(std::string_view subject) const { return search(subject).has_value(); }

bool Regex::fullyMatches(std::string_view subject) const {
    return searchWith(subject, 0, PCRE2_ANCHORED | PCRE2_ENDANCHORED).has_value();
}

std::vector<Regex::Match> Regex::findAll(std::string_view subject) const {
    std::vector<Match> matches;
    std::size_t start = 0;
    while (start <= subject.size()) {
        auto match = search(subject, start);
        if (!match) break;
        std::size_t next = match->offset + (match->length == 0 ? 1 : match->length);
        matches.push_back(std::move(*match));
        start = next;
    }
    return matches;
}

std::string Regex::replaceAll(std::string_view subject, std::string_view replacement) const {
    std::string result;
    std::size_t copied = 0;
    for (const Match& match : findAll(subject)) {
        result.append(subject.substr(copied, match.offset - copied));
        for (std::size_t i = 0; i < replacement.size(); ++i) {
            char c = replacement[i];
            if (c == '$' && i + 1 < replacement.size() && replacement[i + 1] >= '1' && replacement[i + 1] <= '9') {
                std::size_t group = static_cast<std::size_t>(replacement[i + 1] - '1');
                if (group < match.groups.size() && match.groups[group]) result.append(*match.groups[group]);
                ++i;
            } else {
                result += c;
            }
        }
        copied = match.offset + match.length;
    }
    result.append(subject.substr(copied));
    return result;
}

}  // namespace vt
