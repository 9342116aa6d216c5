#include "sources/SparkleAppcastParser.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <cstring>

#include <pugixml.hpp>

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

std::optional<Field> fieldNamed(std::string_view name) {
    static constexpr std::array<std::string_view, kFieldCount> kNames{
        "version", "shortVersionString", "shortVersion", "channel", "releaseNotesLink", "minimumSystemVersion",
        "pubDate", "url",     "length",             "edSignature",  "dsaSignature"};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name) return static_cast<Field>(i);
    }
    return std::nullopt;
}

// The first node (or attribute) of each name, found in one pass: an item is read once,
// not once per field.
template <typename Node>
struct Found {
    std::array<Node, kFieldCount> prefixed{};
    std::array<Node, kFieldCount> plain{};

    void offer(std::string_view name, Node node) {
        constexpr std::string_view kPrefix = "sparkle:";
        const bool hasPrefix = name.substr(0, kPrefix.size()) == kPrefix;
        if (hasPrefix) name.remove_prefix(kPrefix.size());
        if (auto field = fieldNamed(name)) {
            Node& slot = hasPrefix ? prefixed[*field] : plain[*field];
            if (!slot) slot = node;
        }
    }
};

std::string_view textOf(const pugi::xml_node& node) { return node.text().get(); }
std::string_view textOf(const pugi::xml_attribute& attribute) { return attribute.value(); }

// The prefixed form first, then the plain one; an empty value counts as absent.
template <typename Node>
std::optional<std::string> value(const Found<Node>& found, Field field) {
    for (const Node& node : {found.prefixed[field], found.plain[field]}) {
        if (!node) continue;
        std::string_view text = trimView(textOf(node));
        if (!text.empty()) return sanitizeUtf8(text);
    }
    return std::nullopt;
}

std::optional<std::int64_t> integer(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    auto [next, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || next != end || value < 0) return std::nullopt;
    return value;
}

SparkleItem readItem(const pugi::xml_node& item) {
    Found<pugi::xml_node> children;
    pugi::xml_node enclosure;
    for (pugi::xml_node child = item.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        std::string_view name = child.name();
        if (name == "enclosure") {
            if (!enclosure) enclosure = child;
        } else {
            children.offer(name, child);
        }
    }
    Found<pugi::xml_attribute> attributes;
    for (pugi::xml_attribute attribute = enclosure.first_attribute(); attribute; attribute = attribute.next_attribute()) {
        attributes.offer(attribute.name(), attribute);
    }
    auto itemOrEnclosure = [&](Field field) {
        if (auto text = value(children, field)) return text;
        return value(attributes, field);
    };

    SparkleItem result;
    result.version = itemOrEnclosure(kVersion);
    result.shortVersion = itemOrEnclosure(kShortVersionString);
    if (!result.shortVersion) result.shortVersion = itemOrEnclosure(kShortVersion);
    result.channel = itemOrEnclosure(kChannel);
    result.releaseNotes = value(children, kReleaseNotesLink);
    result.minimumSystemVersion = value(children, kMinimumSystemVersion);
    if (auto date = value(children, kPubDate)) result.publishDate = SparkleAppcastParser::parseDate(*date);
    result.downloadURL = value(attributes, kUrl);
    result.fileSize = integer(value(attributes, kLength));
    result.edSignature = value(attributes, kEdSignature);
    result.dsaSignature = value(attributes, kDsaSignature);
    if (result.edSignature && !SparkleAppcastParser::isBase64Of(*result.edSignature, 64)) {
        logger().warning("Sparkle: invalid sparkle:edSignature (must be base64-encoded 64 bytes).");
    }
    return result;
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

// Reads a run of letters and matches it against English names (abbreviated or whole).
template <std::size_t N>
std::optional<int> nameIndex(std::string_view& text, const std::array<std::string_view, N>& names) {
    std::size_t length = 0;
    auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    while (length < text.size() && isLetter(text[length])) ++length;
    std::string_view word = text.substr(0, length);
    if (length < 3) return std::nullopt;
    const char first = static_cast<char>(word[0] | 0x20);  // ASCII lower case
    for (std::size_t i = 0; i < N; ++i) {
        std::string_view name = names[i];
        if (static_cast<char>(name[0] | 0x20) != first) continue;
        if (equalsIgnoringCase(word, length == 3 ? name.substr(0, 3) : name)) {
            text.remove_prefix(length);
            return static_cast<int>(i);
        }
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
    for (std::string_view name : {"GMT", "UTC", "UT", "Z"}) {
        if (startsWith(text, name)) {
            text.remove_prefix(name.size());
            if (text.empty()) return 0;
            break;
        }
    }
    if (text.empty() || (text.front() != '+' && text.front() != '-')) return std::nullopt;
    int sign = text.front() == '-' ? -1 : 1;
    text.remove_prefix(1);
    auto hours = digits(text, 2, 2);
    literal(text, ':');
    auto minutes = digits(text, 2, 2);
    if (!hours || !minutes || !text.empty() || *hours > 23 || *minutes > 59) return std::nullopt;
    return sign * (*hours * 60 + *minutes);
}

std::optional<Clock::TimePoint> parseDateWithDay(std::string_view text) {
    static constexpr std::array<std::string_view, 7> kWeekdays{"Sunday", "Monday", "Tuesday", "Wednesday",
                                                          "Thursday", "Friday", "Saturday"};
    static constexpr std::array<std::string_view, 12> kMonths{"January", "February", "March",     "April",
                                                         "May",     "June",     "July",      "August",
                                                         "September", "October", "November", "December"};
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

int base64Value(char c) {
    static constexpr auto kValues = [] {
        std::array<signed char, 256> values{};
        values.fill(-1);
        for (int i = 0; i < 26; ++i) {
            values['A' + i] = static_cast<signed char>(i);
            values['a' + i] = static_cast<signed char>(26 + i);
        }
        for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<signed char>(52 + i);
        values['+'] = 62;
        values['/'] = 63;
        return values;
    }();
    return kValues[static_cast<unsigned char>(c)];
}

}  // namespace

std::string_view SparkleItem::signatureKind() const {
    if (edSignature) return "EdDSA (Sparkle 2.0)";
    if (dsaSignature) return "DSA (Sparkle 1.x)";
    return "unsigned";
}

std::vector<SparkleItem> SparkleAppcastParser::parse(std::string_view bytes) {
    requireUtf8(bytes);
    pugi::xml_document document;
    // The default options leave the document type declaration unread: its entities are never
    // defined, so a reference to one stays as the text it is.
    pugi::xml_parse_result parsed =
        document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        throw SparkleParseError(std::string(parsed.description()) + " at offset " + std::to_string(parsed.offset));
    }
    if (!document.document_element()) throw SparkleParseError("no root element");
    std::vector<SparkleItem> items;
    // Depth first, in document order, through parent links: no recursion, whatever the depth.
    pugi::xml_node node = document.document_element();
    const pugi::xml_node root = node;
    while (node) {
        bool isItem = false;
        if (node.type() == pugi::node_element) {
            const char* name = node.name();
            isItem = name[0] == 'i' && std::strcmp(name, "item") == 0;
        }
        if (isItem) items.push_back(readItem(node));
        // An item's children are its fields, read above: releases never nest inside releases.
        pugi::xml_node child = isItem ? pugi::xml_node() : node.first_child();
        if (child) {
            node = child;
            continue;
        }
        while (node && node != root && !node.next_sibling()) node = node.parent();
        if (!node || node == root) break;
        node = node.next_sibling();
    }
    return items;
}

std::optional<Clock::TimePoint> SparkleAppcastParser::parseDate(std::string_view text) {
    text = trimView(text);
    // The day is read greedily, so one pass takes both forms: "06 Dec" and "6 Dec".
    return parseDateWithDay(text);
}

// Items on a channel (beta, nightly…) and pre-release versions are offered only to users who
// asked for pre-releases: a channel exists to keep its builds from everyone else. Between
// items of the same version the higher build wins (a re-published release), and between
// equal builds the first in the feed.
const SparkleItem* SparkleAppcastParser::newest(const std::vector<SparkleItem>& items, bool allowPreRelease) {
    const SparkleItem* best = nullptr;
    for (const SparkleItem& item : items) {
        std::optional<std::string> version = item.displayVersion();
        if (!version) continue;
        if (!allowPreRelease && (item.channel || isPreRelease(*version))) continue;
        if (best == nullptr) {
            best = &item;
            continue;
        }
        VersionOrder order = compareVersions(*best->displayVersion(), *version);
        if (order == VersionOrder::Same && item.version && best->version) {
            order = compareVersions(*best->version, *item.version);
        }
        if (order == VersionOrder::Ascending) best = &item;
    }
    return best;
}

bool SparkleAppcastParser::isBase64Of(std::string_view text, std::size_t bytes) {
    std::size_t padding = 0;
    while (!text.empty() && text.back() == '=' && padding < 2) {
        text.remove_suffix(1);
        ++padding;
    }
    for (char c : text) {
        if (base64Value(c) < 0) return false;
    }
    if ((text.size() + padding) % 4 != 0 && padding > 0) return false;
    if (text.size() % 4 == 1) return false;
    return text.size() * 6 / 8 == bytes;
}

bool SparkleAppcastParser::checkPublicEDKey(std::string_view key) {
    if (isBase64Of(trimView(key), 32)) return true;
    logger().warning("Sparkle: invalid SUPublicEDKey (must be base64-encoded 32 bytes).");
    return false;
}

}  // namespace vt
