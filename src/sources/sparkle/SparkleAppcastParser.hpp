#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"

namespace vt {

// One release of an appcast. Every field is optional: feeds leave out what they like.
struct SparkleItem {
    std::optional<std::string> version;       // sparkle:version, the build
    std::optional<std::string> shortVersion;  // sparkle:shortVersionString, what users see
    std::optional<std::string> downloadURL;
    std::optional<std::string> releaseNotes;  // the release-notes link
    std::optional<Clock::TimePoint> publishDate;
    std::optional<std::string> minimumSystemVersion;
    std::optional<std::int64_t> fileSize;
    std::optional<std::string> edSignature;
    std::optional<std::string> dsaSignature;
    std::optional<std::string> channel;

    // The version shown and compared: the short version, else the build.
    std::optional<std::string> displayVersion() const { return shortVersion ? shortVersion : version; }
    // "EdDSA (Sparkle 2.0)", "DSA (Sparkle 1.x)" or "unsigned".
    std::string_view signatureKind() const;

    friend bool operator==(const SparkleItem&, const SparkleItem&) = default;
};

// One release as it lies in a parsed appcast: trimmed texts pointing into the document (empty
// when absent, not yet checked as UTF-8), the date and the length already read.
struct SparkleItemView {
    std::string_view version;
    std::string_view shortVersion;
    std::string_view downloadURL;
    std::string_view releaseNotes;
    std::string_view minimumSystemVersion;
    std::string_view edSignature;
    std::string_view dsaSignature;
    std::string_view channel;
    std::optional<Clock::TimePoint> publishDate;
    std::optional<std::int64_t> fileSize;

    // The item with its texts copied out, every invalid UTF-8 sequence replaced.
    SparkleItem copy() const;
};

class SparkleParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A parsed appcast. It keeps the document its items point into: a check reads every item but
// copies out only the one it offers.
class SparkleAppcast {
public:
    // Elements nest at most this deep: a real feed nests five or six levels.
    static constexpr std::size_t kMaxDepth = 256;

    // Throws SparkleParseError when the bytes are not a well-formed XML document in UTF-8,
    // or nest deeper than kMaxDepth.
    // Logs each malformed EdDSA signature; keeps it.
    explicit SparkleAppcast(std::string_view bytes);
    SparkleAppcast(SparkleAppcast&&) noexcept;
    SparkleAppcast& operator=(SparkleAppcast&&) noexcept;
    ~SparkleAppcast();

    // In document order.
    const std::vector<SparkleItemView>& items() const { return items_; }
    // The newest item a user may be offered, by the version rules; nothing when none is.
    const SparkleItemView* newest(bool allowPreRelease) const;

private:
    struct Document;
    std::unique_ptr<Document> document_;  // behind a pointer: the views stay valid when this moves
    std::vector<SparkleItemView> items_;
};

// Reads appcasts: RSS documents with one "item" per release, at any depth. Bytes are read as
// UTF-8; a document that declares another encoding is refused rather than misread. Entities
// declared in the document are never expanded (no entity bomb can grow), and the walk over
// the elements keeps its own stack, so no nesting depth can exhaust the thread's.
class SparkleAppcastParser {
public:
    // The items in document order, copied out of a SparkleAppcast (which see).
    static std::vector<SparkleItem> parse(std::string_view bytes);

    // "EEE, dd MMM yyyy HH:mm:ss Z", then "EEE, d MMM yyyy HH:mm:ss Z", in English; a text
    // that fits neither gives nothing.
    static std::optional<Clock::TimePoint> parseDate(std::string_view text);

    // The newest item a user may be offered, by the version rules; nothing when none is.
    static const SparkleItem* newest(const std::vector<SparkleItem>& items, bool allowPreRelease);

    // Whether a text is base64 of exactly `bytes` bytes (signatures: 64, public keys: 32).
    static bool isBase64Of(std::string_view text, std::size_t bytes);
    // Logs "Sparkle: invalid SUPublicEDKey …" when the key is malformed; returns whether it is well formed.
    static bool checkPublicEDKey(std::string_view key);
};

}  // namespace vt
