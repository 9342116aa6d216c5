#include "managers/languages/GemIndex.hpp"

#include <sys/utsname.h>
#include <zlib.h>

#include <cstdint>

#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt::gemindex {

namespace {

// Marshal is read into an arena of nodes; a link ("@") names a node already read instead of
// copying it, so a dump that links one big array a million times costs nothing more.
// Texts are views into the dump and children ranges of one pool: a real source's index has
// some 200,000 entries, read on every check.
struct Node {
    enum class Kind { Nil, Boolean, Integer, String, Symbol, Array, User, Object, Other };
    Kind kind = Kind::Other;
    std::string_view text;     // a string's bytes, a symbol, a User's or Object's class
    std::uint32_t first = 0;   // in the pool: an array's items; a User's payload;
    std::uint32_t count = 0;   // an Object's (name symbol, value) pairs
};

class MarshalReader {
public:
    explicit MarshalReader(std::string_view data) : data_(data) {}

    std::optional<std::uint32_t> readRoot() {
        if (data_.size() < 2 || data_[0] != '\x04' || data_[1] != '\x08') return std::nullopt;
        position_ = 2;
        return readObject(0);
    }
    const Node& node(std::uint32_t index) const { return nodes_[index]; }
    std::uint32_t child(const Node& node, std::uint32_t i) const { return pool_[node.first + i]; }

private:
    static constexpr int kMaxDepth = 64;

    std::optional<std::uint8_t> byte() {
        if (position_ >= data_.size()) return std::nullopt;
        return static_cast<std::uint8_t>(data_[position_++]);
    }

    // Ruby's packed integer: small values in the byte itself, else 1-4 little-endian bytes.
    std::optional<long long> readLong() {
        std::optional<std::uint8_t> first = byte();
        if (!first) return std::nullopt;
        const auto c = static_cast<std::int8_t>(*first);
        if (c == 0) return 0;
        if (c > 4) return c - 5;
        if (c < -4) return c + 5;
        const int count = c > 0 ? c : -c;
        long long value = c > 0 ? 0 : -1;
        for (int i = 0; i < count; ++i) {
            std::optional<std::uint8_t> next = byte();
            if (!next) return std::nullopt;
            value &= ~(0xffLL << (8 * i));
            value |= static_cast<long long>(*next) << (8 * i);
        }
        return value;
    }

    // A length or count: never more than the bytes left, since every item takes one.
    std::optional<std::size_t> readCount() {
        std::optional<long long> value = readLong();
        if (!value || *value < 0 || static_cast<unsigned long long>(*value) > data_.size() - position_) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(*value);
    }

    std::optional<std::string_view> readBytes() {
        std::optional<std::size_t> length = readCount();
        if (!length) return std::nullopt;
        std::string_view bytes = data_.substr(position_, *length);
        position_ += *length;
        return bytes;
    }

    std::uint32_t add(Node::Kind kind, std::string_view text = {}) {
        nodes_.push_back({kind, text, 0, 0});
        return static_cast<std::uint32_t>(nodes_.size() - 1);
    }
    // Objects are numbered as Ruby numbers them, for later links.
    std::uint32_t addEntry(Node::Kind kind, std::string_view text = {}) {
        const std::uint32_t index = add(kind, text);
        objects_.push_back(index);
        return index;
    }
    void setChildren(std::uint32_t index, const std::vector<std::uint32_t>& children) {
        nodes_[index].first = static_cast<std::uint32_t>(pool_.size());
        nodes_[index].count = static_cast<std::uint32_t>(children.size());
        pool_.insert(pool_.end(), children.begin(), children.end());
    }

    std::optional<std::string_view> readSymbol(int depth) {
        std::optional<std::uint8_t> type = byte();
        if (!type) return std::nullopt;
        if (*type == ';') {
            std::optional<long long> index = readLong();
            if (!index || *index < 0 || static_cast<std::size_t>(*index) >= symbols_.size()) return std::nullopt;
            return symbols_[static_cast<std::size_t>(*index)];
        }
        if (*type == ':') {
            std::optional<std::string_view> bytes = readBytes();
            if (bytes) symbols_.push_back(*bytes);
            return bytes;
        }
        if (*type == 'I' && depth < kMaxDepth) {  // a symbol with its encoding
            std::optional<std::string_view> symbol = readSymbol(depth + 1);
            if (!symbol || !skipInstanceVariables(depth + 1)) return std::nullopt;
            return symbol;
        }
        return std::nullopt;
    }

    bool skipInstanceVariables(int depth) {
        std::optional<std::size_t> count = readCount();
        if (!count) return false;
        for (std::size_t i = 0; i < *count; ++i) {
            if (!readSymbol(depth) || !readObject(depth)) return false;
        }
        return true;
    }

    // Reads `count` objects, or (named) `count` symbol and object pairs, as the node's children.
    bool readChildren(std::uint32_t index, std::size_t count, bool named, int depth) {
        std::vector<std::uint32_t> children;
        children.reserve(named ? 2 * count : count);
        for (std::size_t i = 0; i < count; ++i) {
            if (named) {
                std::optional<std::string_view> key = readSymbol(depth);
                if (!key) return false;
                children.push_back(add(Node::Kind::Symbol, *key));
            }
            std::optional<std::uint32_t> item = readObject(depth);
            if (!item) return false;
            children.push_back(*item);
        }
        setChildren(index, children);
        return true;
    }

    std::optional<std::uint32_t> readObject(int depth) {
        if (depth > kMaxDepth) return std::nullopt;
        std::optional<std::uint8_t> type = byte();
        if (!type) return std::nullopt;
        switch (*type) {
            case '0': return add(Node::Kind::Nil);
            case 'T':
            case 'F': return add(Node::Kind::Boolean);
            case 'i': return readLong() ? std::optional<std::uint32_t>(add(Node::Kind::Integer)) : std::nullopt;
            case ':':
            case ';': {
                --position_;
                std::optional<std::string_view> symbol = readSymbol(depth);
                if (!symbol) return std::nullopt;
                return add(Node::Kind::Symbol, *symbol);
            }
            case '"': {
                std::optional<std::string_view> bytes = readBytes();
                if (!bytes) return std::nullopt;
                return addEntry(Node::Kind::String, *bytes);
            }
            case 'I': {  // an object with instance variables (a string's encoding)
                std::optional<std::uint32_t> inner = readObject(depth + 1);
                if (!inner || !skipInstanceVariables(depth + 1)) return std::nullopt;
                return inner;
            }
            case '@': {
                std::optional<long long> index = readLong();
                if (!index || *index < 0 || static_cast<std::size_t>(*index) >= objects_.size()) return std::nullopt;
                return objects_[static_cast<std::size_t>(*index)];
            }
            case '[': {
                std::optional<std::size_t> count = readCount();
                if (!count) return std::nullopt;
                const std::uint32_t array = addEntry(Node::Kind::Array);
                if (!readChildren(array, *count, false, depth + 1)) return std::nullopt;
                return array;
            }
            case '{':
            case '}': {
                std::optional<std::size_t> count = readCount();
                if (!count) return std::nullopt;
                const std::uint32_t hash = addEntry(Node::Kind::Other);
                for (std::size_t i = 0; i < 2 * *count; ++i) {
                    if (!readObject(depth + 1)) return std::nullopt;
                }
                if (*type == '}' && !readObject(depth + 1)) return std::nullopt;
                return hash;
            }
            case 'U': {  // marshal_dump: Gem::Version dumps [version]
                std::optional<std::string_view> name = readSymbol(depth + 1);
                if (!name) return std::nullopt;
                const std::uint32_t user = addEntry(Node::Kind::User, *name);
                if (!readChildren(user, 1, false, depth + 1)) return std::nullopt;
                return user;
            }
            case 'u': {  // _dump: the class's own bytes
                std::optional<std::string_view> name = readSymbol(depth + 1);
                std::optional<std::string_view> bytes = name ? readBytes() : std::nullopt;
                if (!bytes) return std::nullopt;
                const std::uint32_t text = add(Node::Kind::String, *bytes);
                const std::uint32_t user = addEntry(Node::Kind::User, *name);
                setChildren(user, {text});
                return user;
            }
            case 'o': {
                std::optional<std::string_view> name = readSymbol(depth + 1);
                if (!name) return std::nullopt;
                const std::uint32_t object = addEntry(Node::Kind::Object, *name);
                std::optional<std::size_t> count = readCount();
                if (!count || !readChildren(object, *count, true, depth + 1)) return std::nullopt;
                return object;
            }
            case 'e':
            case 'C': {  // extended by a module, or a subclass of a core class: the object itself
                if (!readSymbol(depth + 1)) return std::nullopt;
                return readObject(depth + 1);
            }
            case 'f':
            case 'c':
            case 'm':
            case 'M': return readBytes() ? std::optional<std::uint32_t>(addEntry(Node::Kind::Other)) : std::nullopt;
            case 'l': {
                if (!byte()) return std::nullopt;  // the sign
                std::optional<std::size_t> shorts = readCount();
                if (!shorts || 2 * *shorts > data_.size() - position_) return std::nullopt;
                position_ += 2 * *shorts;
                return addEntry(Node::Kind::Other);
            }
            case '/': {
                if (!readBytes() || !byte()) return std::nullopt;
                return addEntry(Node::Kind::Other);
            }
            case 'S': {
                if (!readSymbol(depth + 1)) return std::nullopt;
                const std::uint32_t structure = addEntry(Node::Kind::Other);
                std::optional<std::size_t> count = readCount();
                if (!count || !readChildren(structure, *count, true, depth + 1)) return std::nullopt;
                return structure;
            }
            default: return std::nullopt;
        }
    }

    std::string_view data_;
    std::size_t position_ = 0;
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> pool_;
    std::vector<std::uint32_t> objects_;
    std::vector<std::string_view> symbols_;
};

std::optional<std::string_view> textOf(const MarshalReader& reader, std::uint32_t index) {
    const Node& node = reader.node(index);
    if (node.kind != Node::Kind::String) return std::nullopt;
    return node.text;
}

std::optional<std::string_view> versionOf(const MarshalReader& reader, std::uint32_t index) {
    const Node& node = reader.node(index);
    if (node.kind == Node::Kind::String) return node.text;
    if (node.kind != Node::Kind::User || node.text != "Gem::Version" || node.count == 0) return std::nullopt;
    const std::uint32_t payload = reader.child(node, 0);
    const Node& dumped = reader.node(payload);
    if (dumped.kind == Node::Kind::Array) return dumped.count == 0 ? std::nullopt : textOf(reader, reader.child(dumped, 0));
    return textOf(reader, payload);
}

// A platform is a string in the indexes gem sources serve; an older indexer dumped the
// Gem::Platform object, whose parts join into the same name.
std::optional<std::string> platformOf(const MarshalReader& reader, std::uint32_t index) {
    const Node& node = reader.node(index);
    if (node.kind == Node::Kind::String) return std::string(node.text);
    if (node.kind != Node::Kind::Object || node.text != "Gem::Platform") return std::nullopt;
    std::string name;
    for (std::string_view part : {"@cpu", "@os", "@version"}) {
        for (std::uint32_t i = 0; i + 1 < node.count; i += 2) {
            if (reader.node(reader.child(node, i)).text != part) continue;
            std::optional<std::string_view> text = textOf(reader, reader.child(node, i + 1));
            if (!text || text->empty()) continue;
            if (!name.empty()) name += '-';
            name += *text;
        }
    }
    return name.empty() ? std::nullopt : std::optional<std::string>(name);
}

bool runsHere(std::string_view tuplePlatform, std::string_view platform) {
    return tuplePlatform == "ruby" || tuplePlatform == platform ||
           (startsWith(tuplePlatform, platform) && tuplePlatform.size() > platform.size() &&
            tuplePlatform[platform.size()] == '-');
}

}  // namespace

std::optional<std::map<std::string, std::string>> newestReleases(std::string_view marshal,
                                                                 const std::set<std::string, std::less<>>& names,
                                                                 std::string_view platform) {
    MarshalReader reader(marshal);
    std::optional<std::uint32_t> root = reader.readRoot();
    if (!root || reader.node(*root).kind != Node::Kind::Array) return std::nullopt;
    std::map<std::string, std::string> newest;
    const Node& list = reader.node(*root);
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const Node& triple = reader.node(reader.child(list, i));
        if (triple.kind != Node::Kind::Array || triple.count != 3) continue;
        std::optional<std::string_view> name = textOf(reader, reader.child(triple, 0));
        if (!name || !names.contains(*name)) continue;
        std::optional<std::string_view> version = versionOf(reader, reader.child(triple, 1));
        std::optional<std::string> tuplePlatform = platformOf(reader, reader.child(triple, 2));
        if (!version || version->empty() || !tuplePlatform || !runsHere(*tuplePlatform, platform)) continue;
        auto [known, inserted] = newest.emplace(std::string(*name), std::string(*version));
        if (!inserted && compareVersions(known->second, *version) == VersionOrder::Ascending) {
            known->second = std::string(*version);
        }
    }
    return newest;
}

std::optional<std::string> gunzip(std::string_view compressed, std::size_t maxBytes) {
    if (compressed.size() < 18 || static_cast<unsigned char>(compressed[0]) != 0x1f ||
        static_cast<unsigned char>(compressed[1]) != 0x8b) {
        return std::nullopt;
    }
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    std::string out;
    char buffer[64 * 1024];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) break;
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (out.size() > maxBytes) status = Z_MEM_ERROR;
        if (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) status = Z_BUF_ERROR;
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
    return out;
}

std::string localPlatform() {
    utsname machine{};
    if (::uname(&machine) != 0) return "x86_64-linux";
    // RubyGems names Apple silicon "arm64" and Linux on it "aarch64", as uname does.
    std::string name = machine.machine;
    name += '-';
    name += toLower(machine.sysname);
    return name;
}

std::optional<Stub> readStub(std::string_view gemspec) {
    std::size_t lines = 0;
    for (std::string_view line : splitLines(gemspec.substr(0, 4096))) {
        if (++lines > 4) break;
        if (!startsWith(line, "# stub: ")) continue;
        std::vector<std::string_view> fields = split(trimView(line.substr(8)), ' ');
        if (fields.size() < 3 || fields[0].empty() || fields[1].empty() || fields[2].empty()) return std::nullopt;
        return Stub{std::string(fields[0]), std::string(fields[1]), std::string(fields[2])};
    }
    return std::nullopt;
}

}  // namespace vt::gemindex
