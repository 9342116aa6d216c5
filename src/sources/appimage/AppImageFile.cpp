#include "sources/appimage/AppImageFile.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

// The library's C headers end their records with flexible array members.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <sqfs/compressor.h>
#include <sqfs/data_reader.h>
#include <sqfs/dir.h>
#include <sqfs/dir_reader.h>
#include <sqfs/error.h>
#include <sqfs/inode.h>
#include <sqfs/io.h>
#include <sqfs/super.h>
#pragma GCC diagnostic pop

#include "base/Regex.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

// Section tables beyond these are not an AppImage's runtime.
constexpr std::uint64_t kMaxSections = 4096;
constexpr std::uint64_t kMaxSectionBytes = 64 * 1024;
constexpr std::uint64_t kMaxDesktopBytes = 256 * 1024;
// Where a type 1 image keeps its update information: the ISO 9660 "application use" area.
constexpr std::uint64_t kType1UpdateOffset = 33651;
constexpr std::uint64_t kType1UpdateBytes = 512;

AppImageError failure(const std::string& path, const std::string& reason) {
    return AppImageError(path + ": " + reason);
}

// Reads exactly `size` bytes at `offset`, or fails.
bool readAt(std::ifstream& in, std::uint64_t offset, void* buffer, std::size_t size) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount()) == size;
}

struct ElfReader {
    const unsigned char* bytes;
    bool is64;
    bool littleEndian;

    std::uint64_t field(std::size_t offset, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            std::size_t index = littleEndian ? offset + width - 1 - i : offset + i;
            value = (value << 8) | bytes[index];
        }
        return value;
    }
};

struct Section {
    std::string name;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

struct ElfLayout {
    std::vector<Section> sections;
    std::uint64_t end = 0;  // where the section headers end: the image starts there
};

ElfLayout readElf(std::ifstream& in, const std::string& path, std::uint64_t fileSize) {
    std::array<unsigned char, 64> header{};
    if (!readAt(in, 0, header.data(), header.size())) throw failure(path, "truncated ELF header");
    const bool is64 = header[4] == 2;
    const ElfReader elf{header.data(), is64, header[5] != 2};
    const std::uint64_t sectionOffset = is64 ? elf.field(0x28, 8) : elf.field(0x20, 4);
    const std::uint64_t entrySize = is64 ? elf.field(0x3A, 2) : elf.field(0x2E, 2);
    const std::uint64_t count = is64 ? elf.field(0x3C, 2) : elf.field(0x30, 2);
    const std::uint64_t namesIndex = is64 ? elf.field(0x3E, 2) : elf.field(0x32, 2);
    const std::uint64_t minimumEntry = is64 ? 64 : 40;
    if (count == 0 || count > kMaxSections || entrySize < minimumEntry || namesIndex >= count) {
        throw failure(path, "no usable ELF section table");
    }
    ElfLayout layout;
    layout.end = sectionOffset + entrySize * count;
    if (sectionOffset > fileSize || layout.end > fileSize) throw failure(path, "truncated ELF section table");
    std::vector<unsigned char> table(entrySize * count);
    if (!readAt(in, sectionOffset, table.data(), table.size())) throw failure(path, "truncated ELF section table");
    struct Raw {
        std::uint64_t nameOffset, offset, size;
    };
    std::vector<Raw> raw;
    for (std::uint64_t i = 0; i < count; ++i) {
        const ElfReader entry{table.data() + i * entrySize, is64, elf.littleEndian};
        raw.push_back({entry.field(0, 4), is64 ? entry.field(0x18, 8) : entry.field(0x10, 4),
                       is64 ? entry.field(0x20, 8) : entry.field(0x14, 4)});
    }
    const Raw& names = raw[namesIndex];
    if (names.size > kMaxSectionBytes || names.offset > fileSize || names.size > fileSize - names.offset) {
        throw failure(path, "truncated ELF section names");
    }
    std::string nameTable(names.size, '\0');
    if (!readAt(in, names.offset, nameTable.data(), nameTable.size())) throw failure(path, "truncated ELF section names");
    for (const Raw& section : raw) {
        if (section.nameOffset >= nameTable.size()) continue;
        layout.sections.push_back({std::string(nameTable.c_str() + section.nameOffset), section.offset, section.size});
    }
    return layout;
}

// A section's bytes up to the first NUL, or nothing when it is absent, empty or out of the file.
std::optional<std::string> sectionText(std::ifstream& in, const ElfLayout& layout, std::string_view name,
                                       std::uint64_t fileSize) {
    for (const Section& section : layout.sections) {
        if (section.name != name) continue;
        if (section.offset > fileSize || section.size > fileSize - section.offset) return std::nullopt;
        std::string bytes(std::min(section.size, kMaxSectionBytes), '\0');
        if (!readAt(in, section.offset, bytes.data(), bytes.size())) return std::nullopt;
        bytes.resize(std::strlen(bytes.c_str()));
        std::string text = trim(bytes);
        if (text.empty()) return std::nullopt;
        return text;
    }
    return std::nullopt;
}

// The SquashFS library reads the image through this file: the AppImage's bytes from `base`.
struct OffsetFile {
    sqfs_file_t file{};
    sqfs_file_t* whole = nullptr;
    sqfs_u64 base = 0;
};

OffsetFile* offsetOf(sqfs_file_t* file) { return reinterpret_cast<OffsetFile*>(file); }
const OffsetFile* offsetOf(const sqfs_file_t* file) { return reinterpret_cast<const OffsetFile*>(file); }

sqfs_file_t* openAtOffset(const std::string& path, sqfs_u64 base) {
    sqfs_file_t* whole = sqfs_open_file(path.c_str(), SQFS_FILE_OPEN_READ_ONLY);
    if (whole == nullptr) return nullptr;
    auto* opened = new OffsetFile;
    opened->whole = whole;
    opened->base = base;
    opened->file.base.destroy = [](sqfs_object_t* object) {
        auto* self = reinterpret_cast<OffsetFile*>(object);
        sqfs_destroy(self->whole);
        delete self;
    };
    opened->file.base.copy = nullptr;
    opened->file.read_at = [](sqfs_file_t* file, sqfs_u64 offset, void* buffer, size_t size) {
        OffsetFile* self = offsetOf(file);
        return self->whole->read_at(self->whole, self->base + offset, buffer, size);
    };
    opened->file.write_at = [](sqfs_file_t*, sqfs_u64, const void*, size_t) { return int(SQFS_ERROR_UNSUPPORTED); };
    opened->file.get_size = [](const sqfs_file_t* file) -> sqfs_u64 {
        const OffsetFile* self = offsetOf(file);
        sqfs_u64 size = self->whole->get_size(self->whole);
        return size > self->base ? size - self->base : 0;
    };
    opened->file.truncate = [](sqfs_file_t*, sqfs_u64) { return int(SQFS_ERROR_UNSUPPORTED); };
    return &opened->file;
}

struct Destroy {
    void operator()(void* object) const { sqfs_destroy(object); }
};
struct Free {
    void operator()(void* memory) const { sqfs_free(memory); }
};
template <typename T>
using Owned = std::unique_ptr<T, Destroy>;
using Inode = std::unique_ptr<sqfs_inode_generic_t, Free>;

std::string symlinkTarget(const sqfs_inode_generic_t& inode) {
    const sqfs_u32 size = inode.base.type == SQFS_INODE_SLINK ? inode.data.slink.target_size
                                                               : inode.data.slink_ext.target_size;
    const sqfs_u32 available = inode.payload_bytes_used;
    return std::string(reinterpret_cast<const char*>(inode.extra), std::min(size, available));
}

// The top-level desktop file of the image: its name and text. Nothing when the image has none
// or the library cannot read it.
std::optional<std::pair<std::string, std::string>> desktopFile(const std::string& path, std::uint64_t offset) {
    Owned<sqfs_file_t> file(openAtOffset(path, offset));
    if (!file) return std::nullopt;
    sqfs_super_t super{};
    if (sqfs_super_read(&super, file.get()) != 0) return std::nullopt;
    sqfs_compressor_config_t config{};
    if (sqfs_compressor_config_init(&config, static_cast<SQFS_COMPRESSOR>(super.compression_id), super.block_size,
                                    SQFS_COMP_FLAG_UNCOMPRESS) != 0) {
        return std::nullopt;
    }
    sqfs_compressor_t* rawCompressor = nullptr;
    if (sqfs_compressor_create(&config, &rawCompressor) != 0) return std::nullopt;
    Owned<sqfs_compressor_t> compressor(rawCompressor);
    Owned<sqfs_dir_reader_t> directories(sqfs_dir_reader_create(&super, compressor.get(), file.get(), 0));
    Owned<sqfs_data_reader_t> data(sqfs_data_reader_create(file.get(), super.block_size, compressor.get(), 0));
    if (!directories || !data || sqfs_data_reader_load_fragment_table(data.get(), &super) != 0) return std::nullopt;
    sqfs_inode_generic_t* rawRoot = nullptr;
    if (sqfs_dir_reader_get_root_inode(directories.get(), &rawRoot) != 0) return std::nullopt;
    Inode root(rawRoot);
    if (sqfs_dir_reader_open_dir(directories.get(), root.get(), 0) != 0) return std::nullopt;
    std::string name;
    for (;;) {
        sqfs_dir_entry_t* rawEntry = nullptr;
        if (sqfs_dir_reader_read(directories.get(), &rawEntry) != 0) break;
        std::unique_ptr<sqfs_dir_entry_t, Free> entry(rawEntry);
        std::string entryName(reinterpret_cast<const char*>(entry->name), entry->size + 1u);
        if (endsWith(entryName, ".desktop") && (name.empty() || entryName < name)) name = entryName;
    }
    if (name.empty()) return std::nullopt;
    std::string lookup = name;
    Inode inode;
    // A desktop file is often a link into usr/share/applications; links are followed a few times.
    for (int hops = 0; hops < 4; ++hops) {
        sqfs_inode_generic_t* raw = nullptr;
        if (sqfs_dir_reader_find_by_path(directories.get(), root.get(), lookup.c_str(), &raw) != 0) return std::nullopt;
        inode.reset(raw);
        if (inode->base.type != SQFS_INODE_SLINK && inode->base.type != SQFS_INODE_EXT_SLINK) break;
        lookup = symlinkTarget(*inode);
        while (startsWith(lookup, "/")) lookup.erase(0, 1);
        while (startsWith(lookup, "./")) lookup.erase(0, 2);
        inode.reset();
    }
    if (!inode || (inode->base.type != SQFS_INODE_FILE && inode->base.type != SQFS_INODE_EXT_FILE)) return std::nullopt;
    sqfs_u64 size = 0;
    if (sqfs_inode_get_file_size(inode.get(), &size) != 0) return std::nullopt;
    std::string text(std::min<sqfs_u64>(size, kMaxDesktopBytes), '\0');
    sqfs_s32 read = sqfs_data_reader_read(data.get(), inode.get(), 0, text.data(), static_cast<sqfs_u32>(text.size()));
    if (read < 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(read));
    return std::make_pair(name, text);
}

}  // namespace

std::optional<int> appImageType(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<unsigned char, 11> magic{};
    if (!in || !readAt(in, 0, magic.data(), magic.size())) return std::nullopt;
    if (magic[0] != 0x7F || magic[1] != 'E' || magic[2] != 'L' || magic[3] != 'F') return std::nullopt;
    if (magic[8] != 'A' || magic[9] != 'I' || (magic[10] != 1 && magic[10] != 2)) return std::nullopt;
    return magic[10];
}

AppImageFile readAppImage(const std::string& path) {
    std::optional<int> type = appImageType(path);
    if (!type) throw failure(path, "not an AppImage");
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
    AppImageFile image;
    image.path = path;
    image.type = *type;
    const std::string fileName = path.substr(path.find_last_of('/') + 1);
    image.name = appImageNameFromFile(fileName);
    if (image.type == 1) {
        if (size < kType1UpdateOffset + kType1UpdateBytes) throw failure(path, "truncated image");
        std::string bytes(kType1UpdateBytes, '\0');
        if (readAt(in, kType1UpdateOffset, bytes.data(), bytes.size())) {
            bytes.resize(std::strlen(bytes.c_str()));
            if (std::string text = trim(bytes); !text.empty()) image.updateInformation = text;
        }
        return image;
    }
    const ElfLayout layout = readElf(in, path, size);
    image.updateInformation = sectionText(in, layout, ".upd_info", size);
    image.isSigned = sectionText(in, layout, ".sha256_sig", size).has_value();
    if (layout.end >= size) throw failure(path, "no image after the ELF");
    if (auto desktop = desktopFile(path, layout.end)) {
        image.desktopName = desktop->first;
        DesktopEntry entry = parseDesktopEntry(desktop->second);
        if (entry.name) image.name = *entry.name;
        image.version = entry.version;
    }
    return image;
}

DesktopEntry parseDesktopEntry(std::string_view text) {
    DesktopEntry entry;
    bool inEntry = false;
    for (std::string_view line : splitLines(text)) {
        std::string trimmed = trim(line);
        if (startsWith(trimmed, "[")) {
            inEntry = trimmed == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        const std::size_t equals = trimmed.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = trim(std::string_view(trimmed).substr(0, equals));
        std::string value = trim(std::string_view(trimmed).substr(equals + 1));
        if (value.empty()) continue;
        if (key == "Name" && !entry.name) entry.name = value;
        if (key == "X-AppImage-Version" && !entry.version) entry.version = value;
    }
    return entry;
}

std::string appImageNameFromFile(std::string_view fileName) {
    std::string name(fileName);
    for (const char* suffix : {".AppImage", ".appimage", ".APPIMAGE"}) {
        if (endsWith(name, suffix)) name.erase(name.size() - std::strlen(suffix));
    }
    // "Foo-1.2.3-x86_64", "Foo_v2_amd64", "Foo 1.0": the first separator before a digit or "v"
    // and a digit ends the name.
    static const Regex trailer(R"([-_ ]v?[0-9].*$|[-_ ](x86[-_]64|amd64|aarch64|arm64|armhf|i[3-6]86)$)");
    std::string shortened = trailer.replaceAll(name, "");
    return shortened.empty() ? name : shortened;
}

}  // namespace vt
