#include "managers/python/Pep440.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "base/Strings.hpp"

namespace vt::pep440 {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSeparator(char c) { return c == '.' || c == '-' || c == '_'; }

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool done() const { return at_ >= text_.size(); }
    char peek(std::size_t ahead = 0) const { return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0'; }
    std::size_t position() const { return at_; }
    void rewind(std::size_t to) { at_ = to; }
    void skip(std::size_t count = 1) { at_ += count; }
    bool skipSeparator() {
        if (!isSeparator(peek())) return false;
        ++at_;
        return true;
    }
    // A run of digits; nullopt when there is none or it does not fit.
    std::optional<long long> number() {
        const std::size_t start = at_;
        while (isDigit(peek())) ++at_;
        if (at_ == start) return std::nullopt;
        long long value = 0;
        auto [end, error] = std::from_chars(text_.data() + start, text_.data() + at_, value);
        if (error != std::errc()) return std::nullopt;
        return value;
    }
    // The first of `words` the text continues with.
    std::optional<std::string_view> word(std::initializer_list<std::string_view> words) {
        for (std::string_view candidate : words) {
            if (text_.substr(at_, candidate.size()) == candidate) {
                at_ += candidate.size();
                return candidate;
            }
        }
        return std::nullopt;
    }
    std::string_view rest() const { return text_.substr(at_); }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// "[sep]label[sep][number]", the number 0 when left out.
std::optional<long long> labelled(Reader& reader, std::initializer_list<std::string_view> labels) {
    const std::size_t start = reader.position();
    reader.skipSeparator();
    if (!reader.word(labels)) {
        reader.rewind(start);
        return std::nullopt;
    }
    const std::size_t afterLabel = reader.position();
    reader.skipSeparator();
    if (std::optional<long long> value = reader.number()) return value;
    reader.rewind(afterLabel);
    return 0;
}

int preReleaseKind(std::string_view label) {
    if (label == "a" || label == "alpha") return 0;
    if (label == "b" || label == "beta") return 1;
    return 2;  // c, rc, pre, preview
}

int compareNumbers(long long a, long long b) { return a < b ? -1 : (a > b ? 1 : 0); }

// The release compared without its trailing zeros: 1.0 equals 1.
int compareReleases(const std::vector<long long>& a, const std::vector<long long>& b) {
    const std::size_t length = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < length; ++i) {
        const long long x = i < a.size() ? a[i] : 0;
        const long long y = i < b.size() ? b[i] : 0;
        if (x != y) return compareNumbers(x, y);
    }
    return 0;
}

bool isNumber(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

// Numeric segments order after alphanumeric ones, numbers by value, the rest as text.
int compareLocal(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        const bool numberA = isNumber(a[i]);
        const bool numberB = isNumber(b[i]);
        if (numberA != numberB) return numberA ? 1 : -1;
        if (numberA) {
            std::string_view x = a[i], y = b[i];
            while (x.size() > 1 && x.front() == '0') x.remove_prefix(1);
            while (y.size() > 1 && y.front() == '0') y.remove_prefix(1);
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (x != y) return x < y ? -1 : 1;
        } else if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return compareNumbers(static_cast<long long>(a.size()), static_cast<long long>(b.size()));
}

Version publicPart(Version version) {
    version.local.clear();
    return version;
}

// The release of a pre-, post- or development release: what "<" and ">" measure against.
Version baseOf(const Version& version) {
    Version base;
    base.epoch = version.epoch;
    base.release = version.release;
    return base;
}

// "==1.2.*": the release padded with zeros starts with 1.2.
bool matchesPrefix(const Version& version, const Version& prefix) {
    if (version.epoch != prefix.epoch) return false;
    for (std::size_t i = 0; i < prefix.release.size(); ++i) {
        const long long value = i < version.release.size() ? version.release[i] : 0;
        if (value != prefix.release[i]) return false;
    }
    return !prefix.pre && !prefix.post && !prefix.dev ? true : compare(publicPart(version), prefix) == 0;
}

std::optional<bool> meets(const Version& version, std::string_view clause) {
    static constexpr std::string_view kOperators[] = {"===", "~=", "==", "!=", "<=", ">=", "<", ">"};
    std::string_view op;
    for (std::string_view candidate : kOperators) {
        if (startsWith(clause, candidate)) {
            op = candidate;
            break;
        }
    }
    if (op.empty()) return std::nullopt;
    std::string_view operand = trimView(clause.substr(op.size()));
    if (op == "===") return toLower(std::string(operand)) == version.text();
    const bool wildcard = endsWith(operand, ".*");
    if (wildcard && op != "==" && op != "!=") return std::nullopt;
    std::optional<Version> spec = parse(wildcard ? operand.substr(0, operand.size() - 2) : operand);
    if (!spec) return std::nullopt;
    if (wildcard) {
        const bool matched = matchesPrefix(version, *spec);
        return op == "==" ? matched : !matched;
    }
    // Without a local label in the clause, the version's own is ignored.
    const Version compared = spec->local.empty() ? publicPart(version) : version;
    const int order = compare(compared, *spec);
    if (op == "==") return order == 0;
    if (op == "!=") return order != 0;
    if (op == "<=") return compare(publicPart(version), *spec) <= 0;
    if (op == ">=") return compare(publicPart(version), *spec) >= 0;
    if (op == "<") {
        // "<3.0" does not let 3.0's own pre-releases in.
        if (compare(publicPart(version), *spec) >= 0) return false;
        return spec->isPreRelease() || !version.isPreRelease() || compare(baseOf(version), baseOf(*spec)) != 0;
    }
    if (op == ">") {
        // Nor ">3.0" its post-releases or local builds.
        if (compare(publicPart(version), *spec) <= 0) return false;
        if (!spec->post && version.post && compare(baseOf(version), baseOf(*spec)) == 0) return false;
        return version.local.empty() || compare(publicPart(version), *spec) != 0;
    }
    // "~=2.2.1": at least 2.2.1 and a 2.2 release.
    if (spec->release.size() < 2) return std::nullopt;
    Version prefix;
    prefix.epoch = spec->epoch;
    prefix.release.assign(spec->release.begin(), spec->release.end() - 1);
    return compare(publicPart(version), *spec) >= 0 && matchesPrefix(version, prefix);
}

}  // namespace

std::optional<Version> parse(std::string_view text) {
    const std::string lowered = toLower(std::string(trimView(text)));
    Reader reader(lowered);
    if (reader.peek() == 'v') reader.skip();
    Version version;
    std::optional<long long> first = reader.number();
    if (!first) return std::nullopt;
    if (reader.peek() == '!') {
        reader.skip();
        version.epoch = *first;
        first = reader.number();
        if (!first) return std::nullopt;
    }
    version.release.push_back(*first);
    while (reader.peek() == '.' && isDigit(reader.peek(1))) {
        reader.skip();
        std::optional<long long> part = reader.number();
        if (!part) return std::nullopt;
        version.release.push_back(*part);
    }
    const std::size_t beforePre = reader.position();
    reader.skipSeparator();
    if (std::optional<std::string_view> label = reader.word({"alpha", "beta", "preview", "pre", "rc", "a", "b", "c"})) {
        const int kind = preReleaseKind(*label);
        const std::size_t afterLabel = reader.position();
        reader.skipSeparator();
        std::optional<long long> number = reader.number();
        if (!number) reader.rewind(afterLabel);
        version.pre = std::make_pair(kind, number.value_or(0));
    } else {
        reader.rewind(beforePre);
    }
    if (reader.peek() == '-' && isDigit(reader.peek(1))) {
        reader.skip();
        version.post = reader.number();
        if (!version.post) return std::nullopt;
    } else {
        version.post = labelled(reader, {"post", "rev", "r"});
    }
    version.dev = labelled(reader, {"dev"});
    if (reader.peek() == '+') {
        reader.skip();
        std::string_view rest = reader.rest();
        std::string segment;
        for (char c : rest) {
            if (isSeparator(c)) {
                if (segment.empty()) return std::nullopt;
                version.local.push_back(std::move(segment));
                segment.clear();
            } else if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
                segment += c;
            } else {
                return std::nullopt;
            }
        }
        if (segment.empty()) return std::nullopt;
        version.local.push_back(std::move(segment));
        reader.skip(rest.size());
    }
    if (!reader.done()) return std::nullopt;
    return version;
}

int compare(const Version& a, const Version& b) {
    if (a.epoch != b.epoch) return compareNumbers(a.epoch, b.epoch);
    if (int order = compareReleases(a.release, b.release); order != 0) return order;
    // A development release of the release itself (1.0.dev1) comes before its pre-releases;
    // the release comes after them.
    auto preRank = [](const Version& v) -> std::pair<int, std::pair<int, long long>> {
        if (v.pre) return {1, *v.pre};
        if (v.dev && !v.post) return {0, {0, 0}};
        return {2, {0, 0}};
    };
    if (preRank(a) != preRank(b)) return preRank(a) < preRank(b) ? -1 : 1;
    if (a.post != b.post) return !a.post ? -1 : (!b.post ? 1 : compareNumbers(*a.post, *b.post));
    if (a.dev != b.dev) return !a.dev ? 1 : (!b.dev ? -1 : compareNumbers(*a.dev, *b.dev));
    if (a.local.empty() != b.local.empty()) return a.local.empty() ? -1 : 1;
    return compareLocal(a.local, b.local);
}

std::string Version::text() const {
    std::string out;
    if (epoch != 0) out += std::to_string(epoch) + "!";
    for (std::size_t i = 0; i < release.size(); ++i) {
        if (i > 0) out += '.';
        out += std::to_string(release[i]);
    }
    if (pre) {
        static constexpr const char* kLabels[] = {"a", "b", "rc"};
        out += kLabels[pre->first];
        out += std::to_string(pre->second);
    }
    if (post) out.append(".post").append(std::to_string(*post));
    if (dev) out.append(".dev").append(std::to_string(*dev));
    if (!local.empty()) out.append("+").append(join(local, "."));
    return out;
}

std::optional<bool> satisfies(const Version& version, std::string_view specifiers) {
    bool all = true;
    for (std::string_view clause : split(specifiers, ',')) {
        clause = trimView(clause);
        if (clause.empty()) continue;
        std::optional<bool> met = meets(version, clause);
        if (!met) return std::nullopt;
        all = all && *met;
    }
    return all;
}

}  // namespace vt::pep440
