#include "sources/sparkle/SparkleAppcastParser.hpp"

#include <array>
#include <charconv>
#include <chrono>

#include <pugixml.hpp>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("SparkleManager");
    return instance;
}

// The fields read from an item's children and its enclosure's attributes. Each may be written
// with the "sparkle:" prefix or without; the prefixed form is looked at first.
enum Field : std::size_t {
    kVersion,
    kShortVersionString,
    kShortVersion,
    kChannel,
    kReleaseNotesLink,
    kMinimumSystemVersion,
    kPubDate,
    kUrl,
    kLength,
    kEdSignature,
    kDsaSignature,
    kFieldCount
};

// Whether a NUL-terminated name is `expected` and nothing more, compared without measuring
// it first: most children of an item are not fields, and differ early.
bool named(const char* name, std::string_view expected) {
    for (char c : expected) {
        if (*name++ != c) return false;
    }
    return *name == '\0';
}

// The name after "sparkle:" when it has that prefix.
const char* withoutPrefix(const char* name, bool& prefixed) {
    constexpr std::string_view kPrefix = "sparkle:";
    std::size_t length = 0;
    while (length < kPrefix.size() && name[length] == kPrefix[length]) ++length;
    prefixed = length == kPrefix.size();
    return prefixed ? name + length : name;
}

// The field an unprefixed name denotes, or kFieldCount when it is none.
Field fieldNamed(const char* name) {
    switch (name[0]) {
    case 'v': return named(name, "version") ? kVersion : kFieldCount;
    case 's':
        if (named(name, "shortVersionString")) return kShortVersionString;
        return named(name, "shortVersion") ? kShortVersion : kFieldCount;
    case 'c': return named(name, "channel") ? kChannel : kFieldCount;
    case 'r': return named(name, "releaseNotesLink") ? kReleaseNotesLink : kFieldCount;
    case 'm': return named(name, "minimumSystemVersion") ? kMinimumSystemVersion : kFieldCount;
    case 'p': return named(name, "pubDate") ? kPubDate : kFieldCount;
    case 'u': return named(name, "url") ? kUrl : kFieldCount;
    case 'l': return named(name, "length") ? kLength : kFieldCount;
    case 'e': return named(name, "edSignature") ? kEdSignature : kFieldCount;
    case 'd': return named(name, "dsaSignature") ? kDsaSignature : kFieldCount;
    default: return kFieldCount;
    }
}

// The text of the first child (or attribute) of each field's name, found in one pass: an item
// is read once, not once per field. Texts point into the document. A bit per slot tells
// whether it was set, so that nothing is cleared for each item.
class Found {
public:
    // `text` is only asked for when the name is a field not seen before.
    template <typename TextOf>
    void offer(const char* name, TextOf text) {
        bool hasPrefix = false;
        Field field = fieldNamed(withoutPrefix(name, hasPrefix));
        if (field == kFieldCount) return;
        const std::size_t slot = hasPrefix ? field : kFieldCount + field;
        if (seen_ & (1u << slot)) return;
        seen_ |= 1u << slot;
        texts_[slot] = text();
    }

    // The prefixed form first, then the plain one; a blank value counts as absent.
    std::string_view get(Field field) const {
        for (std::size_t slot : {std::size_t{field}, kFieldCount + field}) {
            if (!(seen_ & (1u << slot))) continue;
            std::string_view trimmed = trimView(texts_[slot]);
            if (!trimmed.empty()) return trimmed;
        }
        return {};
    }

private:
    static_assert(2 * kFieldCount <= 32);
    std::array<const char*, 2 * kFieldCount> texts_;  // the prefixed forms, then the plain ones
    std::uint32_t seen_ = 0;
};

std::optional<std::int64_t> integer(std::string_view text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || value < 0) return std::nullopt;
    return value;
}

SparkleItemView readItem(const pugi::xml_node& item) {
    Found children;
    pugi::xml_node enclosure;
    for (pugi::xml_node child = item.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        const char* name = child.name();
        if (named(name, "enclosure")) {
            if (!enclosure) enclosure = child;
        } else {
            children.offer(name, [&child] { return child.child_value(); });
        }
    }
    Found attributes;
    for (pugi::xml_attribute attribute = enclosure.first_attribute(); attribute; attribute = attribute.next_attribute()) {
        attributes.offer(attribute.name(), [&attribute] { return attribute.value(); });
    }
    auto itemOrEnclosure = [&](Field field) {
        std::string_view text = children.get(field);
        return text.empty() ? attributes.get(field) : text;
    };

    SparkleItemView result;
    result.version = itemOrEnclosure(kVersion);
    result.shortVersion = itemOrEnclosure(kShortVersionString);
    if (result.shortVersion.empty()) result.shortVersion = itemOrEnclosure(kShortVersion);
    result.channel = itemOrEnclosure(kChannel);
    result.releaseNotes = children.get(kReleaseNotesLink);
    result.minimumSystemVersion = children.get(kMinimumSystemVersion);
    if (std::string_view date = children.get(kPubDate); !date.empty()) {
        result.publishDate = SparkleAppcastParser::parseDate(date);
    }
    result.downloadURL = attributes.get(kUrl);
    result.fileSize = integer(attributes.get(kLength));
    result.edSignature = attributes.get(kEdSignature);
    result.dsaSignature = attributes.get(kDsaSignature);
    if (!result.edSignature.empty() && !SparkleAppcastParser::isBase64Of(result.edSignature, 64)) {
        logger().warning(localized("log.sparkle.invalid_signature"));
    }
    return result;
}

std::string_view textOf(const std::optional<std::string>& text) { return text ? std::string_view(*text) : ""; }
std::string_view textOf(std::string_view text) { return text; }

// Items on a channel (beta, nightly…) and pre-release versions are offered only to users who
// asked for pre-releases: a channel exists to keep its builds from everyone else. Between
// items of the same version the higher build wins (a re-published release), and between
// equal builds the first in the feed. An empty text is an absent one.
template <typename Item>
const Item* newestOf(const std::vector<Item>& items, bool allowPreRelease) {
    auto displayVersion = [](const Item& item) {
        std::string_view shortVersion = textOf(item.shortVersion);
        return shortVersion.empty() ? textOf(item.version) : shortVersion;
    };
    const Item* best = nullptr;
    for (const Item& item : items) {
        std::string_view version = displayVersion(item);
        if (version.empty()) continue;
        if (!allowPreRelease && (!textOf(item.channel).empty() || isPreRelease(version))) continue;
        if (best == nullptr) {
            best = &item;
            continue;
        }
        VersionOrder order = compareVersions(displayVersion(*best), version);
        if (order == VersionOrder::Same && !textOf(item.version).empty() && !textOf(best->version).empty()) {
            order = compareVersions(textOf(best->version), textOf(item.version));
        }
        if (order == VersionOrder::Ascending) best = &item;
    }
    return best;
}

// Only UTF-8 (and its ASCII subset) is read: bytes in another encoding would be misread.
void requireUtf8(std::string_view bytes) {
    if (startsWith(bytes, "\xEF\xBB\xBF")) bytes.remove_prefix(3);
    if (startsWith(bytes, "\xFE\xFF") || startsWith(bytes, "\xFF\xFE")) {
        throw SparkleParseError("the document is UTF-16; only UTF-8 is read");
    }
    if (!startsWith(bytes, "<?xml")) return;
    std::string_view declaration = bytes.substr(0, bytes.find("?>"));
    std::size_t at = declaration.find("encoding");
    if (at == std::string_view::npos) return;
    std::size_t open = declaration.find_first_of("\"'", at);
    if (open == std::string_view::npos) return;
    std::size_t close = declaration.find(declaration[open], open + 1);
    std::string name = toLower(declaration.substr(open + 1, close == std::string_view::npos ? 0 : close - open - 1));
    if (name != "utf-8" && name != "utf8" && name != "us-ascii" && name != "ascii") {
        std::string message = "unsupported encoding \"";
        message += sanitizeUtf8(excerpt(name, 40));
        message += "\"; only UTF-8 is read";
        throw SparkleParseError(message);
    }
}

// English names, told apart by their first three letters: a name's key is those letters in
// lower case (ASCII letters only: setting the 0x20 bit is their lower case).
constexpr unsigned nameKey(std::string_view word) {
    return (static_cast<unsigned>(word[0] | 0x20) << 16) | (static_cast<unsigned>(word[1] | 0x20) << 8) |
           static_cast<unsigned>(word[2] | 0x20);
}

template <std::size_t N>
struct EnglishNames {
    std::array<std::string_view, N> names;
    std::array<unsigned, N> keys{};

    constexpr explicit EnglishNames(std::array<std::string_view, N> list) : names(list) {
        for (std::size_t i = 0; i < N; ++i) keys[i] = nameKey(names[i]);
    }
};

constexpr EnglishNames<7> kWeekdays({"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"});
constexpr EnglishNames<12> kMonths({"January", "February", "March", "April", "May", "June", "July", "August",
                                    "September", "October", "November", "December"});

// Reads a run of letters and matches it against names, abbreviated to three letters or whole,
// in any case.
template <std::size_t N>
std::optional<int> nameIndex(std::string_view& text, const EnglishNames<N>& english) {
    auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    std::size_t length = 0;
    while (length < text.size() && isLetter(text[length])) ++length;
    if (length < 3) return std::nullopt;
    std::string_view word = text.substr(0, length);
    const unsigned wanted = nameKey(word);
    for (std::size_t i = 0; i < N; ++i) {
        if (english.keys[i] != wanted) continue;
        if (length != 3 && !equalsIgnoringCase(word, english.names[i])) return std::nullopt;
        text.remove_prefix(length);
        return static_cast<int>(i);
    }
    return std::nullopt;
}

std::optional<int> digits(std::string_view& text, std::size_t minimum, std::size_t maximum) {
    std::size_t length = 0;
    int value = 0;
    while (length < text.size() && length < maximum && text[length] >= '0' && text[length] <= '9') {
        value = value * 10 + (text[length] - '0');
        ++length;
    }
    if (length < minimum) return std::nullopt;
    text.remove_prefix(length);
    return value;
}

bool literal(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

// A pattern's blank matches a run of blanks, as the date parser of the original format does.
bool blanks(std::string_view& text) {
    std::size_t length = 0;
    while (length < text.size() && isBlank(text[length])) ++length;
    text.remove_prefix(length);
    return length > 0;
}

// Offset east of UTC in minutes: "+hhmm", "+hh:mm", "GMT", "GMT+hh:mm", "UTC", "UT", "Z".
std::optional<int> zoneOffset(std::string_view text) {
    auto isSign = [](char c) { return c == '+' || c == '-'; };
    if (!text.empty() && !isSign(text.front())) {
        for (std::string_view name : {"GMT", "UTC", "UT", "Z"}) {
            if (startsWith(text, name)) {
                text.remove_prefix(name.size());
                if (text.empty()) return 0;
                break;
            }
        }
    }
    if (text.empty() || !isSign(text.front())) return std::nullopt;
    int sign = text.front() == '-' ? -1 : 1;
    text.remove_prefix(1);
    auto hours = digits(text, 2, 2);
    literal(text, ':');
    auto minutes = digits(text, 2, 2);
    if (!hours || !minutes || !text.empty() || *hours > 23 || *minutes > 59) return std::nullopt;
    return sign * (*hours * 60 + *minutes);
}

std::optional<Clock::TimePoint> parseDateWithDay(std::string_view text) {
    if (!nameIndex(text, kWeekdays) || !literal(text, ',') || !blanks(text)) return std::nullopt;
    auto day = digits(text, 1, 2);
    if (!day || !blanks(text)) return std::nullopt;
    auto month = nameIndex(text, kMonths);
    if (!month || !blanks(text)) return std::nullopt;
    auto year = digits(text, 4, 4);
    if (!year || !blanks(text)) return std::nullopt;
    auto hour = digits(text, 2, 2);
    if (!hour || !literal(text, ':')) return std::nullopt;
    auto minute = digits(text, 2, 2);
    if (!minute || !literal(text, ':')) return std::nullopt;
    auto second = digits(text, 2, 2);
    if (!second || !blanks(text)) return std::nullopt;
    auto offset = zoneOffset(text);
    if (!offset || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    using namespace std::chrono;
    year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month + 1)),
                        std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok()) return std::nullopt;
    return Clock::TimePoint(sys_days(date)) + hours(*hour) + minutes(*minute) + seconds(*second) - minutes(*offset);
}

std::optional<std::string> copied(std::string_view text) {
    if (text.empty()) return std::nullopt;
    return sanitizeUtf8(text);
}

}  // namespace

std::string_view SparkleItem::signatureKind() const {
    if (edSignature) return "EdDSA (Sparkle 2.0)";
    if (dsaSignature) return "DSA (Sparkle 1.x)";
    return "unsigned";
}

SparkleItem SparkleItemView::copy() const {
    SparkleItem item;
    item.version = copied(version);
    item.shortVersion = copied(shortVersion);
    item.downloadURL = copied(downloadURL);
    item.releaseNotes = copied(releaseNotes);
    item.publishDate = publishDate;
    item.minimumSystemVersion = copied(minimumSystemVersion);
    item.fileSize = fileSize;
    item.edSignature = copied(edSignature);
    item.dsaSignature = copied(dsaSignature);
    item.channel = copied(channel);
    return item;
}

struct SparkleAppcast::Document {
    pugi::xml_document xml;
};

SparkleAppcast::SparkleAppcast(std::string_view bytes) : document_(std::make_unique<Document>()) {
    requireUtf8(bytes);
    pugi::xml_document& document = document_->xml;
    // The default options leave the document type declaration unread: its entities are never
    // defined, so a reference to one stays as the text it is.
    pugi::xml_parse_result parsed =
        document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        throw SparkleParseError(std::string(parsed.description()) + " at offset " + std::to_string(parsed.offset));
    }
    if (!document.document_element()) throw SparkleParseError("no root element");
    // Depth first, in document order, through parent links: no recursion, whatever the depth.
    pugi::xml_node node = document.document_element();
    const pugi::xml_node root = node;
    std::size_t depth = 1;
    while (node) {
        const bool isItem = node.type() == pugi::node_element && named(node.name(), "item");
        if (isItem) items_.push_back(readItem(node));
        // An item's children are its fields, read above: releases never nest inside releases.
        pugi::xml_node child = isItem ? pugi::xml_node() : node.first_child();
        if (child) {
            // A feed nested past any real one is malformed, whatever it holds deeper down.
            if (++depth > kMaxDepth) throw SparkleParseError("elements nested deeper than " + std::to_string(kMaxDepth));
            node = child;
            continue;
        }
        while (node && node != root && !node.next_sibling()) {
            node = node.parent();
            --depth;
        }
        if (!node || node == root) break;
        node = node.next_sibling();
    }
}

SparkleAppcast::SparkleAppcast(SparkleAppcast&&) noexcept = default;
SparkleAppcast& SparkleAppcast::operator=(SparkleAppcast&&) noexcept = default;
SparkleAppcast::~SparkleAppcast() = default;

const SparkleItemView* SparkleAppcast::newest(bool allowPreRelease) const { return newestOf(items_, allowPreRelease); }

std::vector<SparkleItem> SparkleAppcastParser::parse(std::string_view bytes) {
    SparkleAppcast appcast(bytes);
    std::vector<SparkleItem> items;
    items.reserve(appcast.items().size());
    for (const SparkleItemView& item : appcast.items()) items.push_back(item.copy());
    return items;
}

std::optional<Clock::TimePoint> SparkleAppcastParser::parseDate(std::string_view text) {
    text = trimView(text);
    // The day is read greedily, so one pass takes both forms: "06 Dec" and "6 Dec".
    return parseDateWithDay(text);
}

const SparkleItem* SparkleAppcastParser::newest(const std::vector<SparkleItem>& items, bool allowPreRelease) {
    return newestOf(items, allowPreRelease);
}

bool SparkleAppcastParser::isBase64Of(std::string_view text, std::size_t bytes) {
    std::size_t padding = 0;
    while (!text.empty() && text.back() == '=' && padding < 2) {
        text.remove_suffix(1);
        ++padding;
    }
    // Without a branch per character: every item's signature goes through here.
    unsigned char outside = 0;
    for (char signedChar : text) {
        const auto c = static_cast<unsigned char>(signedChar);
        const bool letter = static_cast<unsigned char>((c | 0x20) - 'a') < 26;
        const bool digit = static_cast<unsigned char>(c - '0') < 10;
        outside |= static_cast<unsigned char>(!(letter | digit | (c == '+') | (c == '/')));
    }
    if (outside != 0) return false;
    if ((text.size() + padding) % 4 != 0 && padding > 0) return false;
    if (text.size() % 4 == 1) return false;
    return text.size() * 6 / 8 == bytes;
}

bool SparkleAppcastParser::checkPublicEDKey(std::string_view key) {
    if (isBase64Of(trimView(key), 32)) return true;
    logger().warning(localized("log.sparkle.invalid_key"));
    return false;
}

}  // namespace vt
