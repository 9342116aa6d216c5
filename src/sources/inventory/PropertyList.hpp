#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// A property list in XML or binary form, read through libplist: the one file that knows
// that library (its interface differs between Debian's 2.2 and later releases). Values are
// looked up by key rather than by walking every dictionary: Debian's 2.2 aborts on a
// dictionary key with an embedded NUL when its text is fetched, and a crafted binary list
// can hold one. Nothing here throws or aborts on any input.
class PropertyList {
public:
    enum class Kind { Dictionary, Array, String, Integer, Real, Boolean, Date, Data, Other };

    // One value inside the list; valid while its PropertyList lives.
    class Node {
    public:
        Kind kind() const noexcept;
        // The text of a string (its bytes, NULs included); nothing for another kind.
        std::optional<std::string> text() const;
        // The value of an integer; nothing for another kind.
        std::optional<unsigned long long> integer() const;
        // The value of a boolean; nothing for another kind.
        std::optional<bool> boolean() const;
        // The value under a key of a dictionary; nothing when absent or not a dictionary.
        std::optional<Node> member(const char* key) const;
        // The items of an array; none for another kind.
        std::vector<Node> items() const;
        // Whether a key of the dictionary contains one of the texts (case-sensitive).
        bool anyKeyContains(const std::vector<std::string>& parts) const;

    private:
        friend class PropertyList;
        explicit Node(void* node) : node_(node) {}
        void* node_;
    };

    // Arrays and dictionaries nest at most this deep in a list we read; a real Info.plist
    // nests a handful of levels.
    static constexpr std::size_t kMaxDepth = 256;
    // A binary list may expand to at most this many values once shared ones are read again.
    static constexpr std::uint64_t kMaxValues = 4'000'000;

    // Nothing when the bytes are not a property list, nested deeper than kMaxDepth included.
    static std::optional<PropertyList> parse(std::string_view bytes);
    Node root() const { return Node(root_.get()); }

private:
    struct Deleter {
        void operator()(void* node) const noexcept;
    };
    explicit PropertyList(void* root) : root_(root) {}
    std::unique_ptr<void, Deleter> root_;
};

}  // namespace vt
