#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class RegexError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A compiled PCRE2 pattern (look-behinds and all). Immutable after construction, so one
// instance may be shared by every thread. Matching never throws: a match that would
// exceed the engine's work limit counts as no match, so hostile input cannot hang us.
class Regex {
public:
    struct Options {
        bool caseInsensitive = false;
        bool multiline = false;
    };

    struct Match {
        std::size_t offset = 0;
        std::size_t length = 0;
        // Capture groups 1..n; nullopt for a group that did not take part.
        std::vector<std::optional<std::string_view>> groups;
        std::string_view text;
    };

    explicit Regex(std::string_view pattern);  // throws RegexError for a bad pattern
    Regex(std::string_view pattern, Options options);
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    bool matches(std::string_view subject) const;      // found anywhere
    bool fullyMatches(std::string_view subject) const;  // the whole subject
    std::optional<Match> search(std::string_view subject, std::size_t start = 0) const;
    std::vector<Match> findAll(std::string_view subject) const;
    // Replaces every match; "$1" in the replacement stands for group 1.
    std::string replaceAll(std::string_view subject, std::string_view replacement) const;

private:
    std::optional<Match> searchWith(std::string_view subject, std::size_t start, unsigned options) const;

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vt
