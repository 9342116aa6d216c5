#include "updates/ArchiveExtractor.hpp"

#include "base/Cancellation.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

namespace vt {

namespace fs = std::filesystem;

ArchiveError::ArchiveError(Kind kind, std::string description)
    : std::runtime_error(std::move(description)), kind_(kind) {}

namespace {

using ReadHandle = std::unique_ptr<archive, decltype(&archive_read_free)>;
using WriteHandle = std::unique_ptr<archive, decltype(&archive_write_free)>;

std::string libarchiveMessage(archive* a) {
    const char* text = archive_error_string(a);
    return text != nullptr ? text : "unknown error";
}

// The components of a relative entry path, without "." and empty ones; nullopt when the path
// is absolute or climbs with "..".
std::optional<std::vector<std::string>> safeComponents(const std::string& path) {
    if (path.empty() || path.front() == '/') return std::nullopt;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

std::string joinComponents(const std::vector<std::string>& parts, std::size_t count) {
    std::string joined;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) joined += '/';
        joined += parts[i];
    }
    return joined;
}

// Whether a relative link target, read from the folder holding the link, stays inside the
// extraction folder when resolved without following other links.
bool targetStaysInside(const std::vector<std::string>& linkParts, const std::string& target) {
    if (target.empty() || target.front() == '/') return false;
    std::vector<std::string> resolved(linkParts.begin(), linkParts.end() - 1);
    std::size_t start = 0;
    while (start <= target.size()) {
        std::size_t end = target.find('/', start);
        if (end == std::string::npos) end = target.size();
        std::string part = target.substr(start, end - start);
        if (part == "..") {
            if (resolved.empty()) return false;
            resolved.pop_back();
        } else if (!part.empty() && part != ".") {
            resolved.push_back(std::move(part));
        }
        start = end + 1;
    }
    return true;
}

bool isInside(const fs::path& candidate, const fs::path& root) {
    auto [rootEnd, candidateIt] = std::mismatch(root.begin(), root.end(), candidate.begin(), candidate.end());
    return rootEnd == root.end();
}

class Extraction {
public:
    Extraction(const ArchiveLimits& limits, std::stop_token stop) : limits_(limits), stop_(std::move(stop)) {}

    void run(const std::string& archivePath, const std::string& folder) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        root_ = fs::canonical(folder, ec);
        if (ec) throw ArchiveError(ArchiveError::Kind::WriteFailed, "Cannot create the folder " + folder + ": " + ec.message());
        limits_.maxUnpackedBytes = std::min(limits_.maxUnpackedBytes, boundFor(archivePath));
        rememberExisting();
        try {
            unpack(archivePath);
            checkLinksPhysically();
        } catch (...) {
            removeCreated();
            throw;
        }
    }

private:
    // What this archive may unpack to: a multiple of its own size (a bomb expands a
    // thousandfold, an application a few times), and what the disk has free less a reserve.
    std::uint64_t boundFor(const std::string& archivePath) const {
        std::error_code ec;
        std::uint64_t bound = std::numeric_limits<std::uint64_t>::max();
        const std::uintmax_t size = fs::file_size(archivePath, ec);
        if (!ec) {
            const std::uint64_t multiple = size > bound / limits_.maxExpansionRatio ? bound : size * limits_.maxExpansionRatio;
            bound = std::max<std::uint64_t>(multiple, limits_.minimumBound);
        }
        const fs::space_info space = fs::space(root_, ec);
        if (!ec) bound = std::min<std::uint64_t>(bound, space.available > limits_.reserveBytes ? space.available - limits_.reserveBytes : 0);
        return bound;
    }

    void rememberExisting() {
        std::error_code ec;
        for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec))
            existing_.insert(it->path().filename().string());
    }

    void removeCreated() {
        std::error_code ec;
        std::vector<fs::path> created;
        for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec))
            if (existing_.count(it->path().filename().string()) == 0) created.push_back(it->path());
        for (const auto& path : created) fs::remove_all(path, ec);
    }

    void checkStop() const {
        if (stop_.stop_requested()) throw CancellationError();
    }

    void unpack(const std::string& archivePath) {
        ReadHandle reader(archive_read_new(), archive_read_free);
        archive_read_support_format_zip(reader.get());
        archive_read_support_format_tar(reader.get());
        archive_read_support_format_gnutar(reader.get());
        archive_read_support_filter_gzip(reader.get());
        archive_read_support_filter_bzip2(reader.get());
        archive_read_support_filter_xz(reader.get());
        if (archive_read_open_filename(reader.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK)
            throw ArchiveError(ArchiveError::Kind::Unreadable,
                               "Cannot read the archive " + archivePath + ": " + libarchiveMessage(reader.get()));

        WriteHandle writer(archive_write_disk_new(), archive_write_free);
        // Our own checks come first; these are libarchive's second line against writing
        // through a link or climbing out.
        archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                                         ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                         ARCHIVE_EXTRACT_SECURE_NODOTDOT);

        for (;;) {
            checkStop();
            archive_entry* entry = nullptr;
            int status = archive_read_next_header(reader.get(), &entry);
            if (status == ARCHIVE_EOF) break;
            if (status < ARCHIVE_WARN) throw damaged(reader.get());
            if (++entries_ > limits_.maxEntries)
                throw ArchiveError(ArchiveError::Kind::TooManyEntries,
                                   "The archive holds more than " + std::to_string(limits_.maxEntries) + " entries");
            writeEntry(reader.get(), writer.get(), entry);
        }
        if (archive_write_close(writer.get()) != ARCHIVE_OK) throw writeFailed(writer.get());
    }

    ArchiveError damaged(archive* reader) const {
        return ArchiveError(ArchiveError::Kind::Damaged,
                            "The archive is truncated or damaged: " + libarchiveMessage(reader));
    }

    static ArchiveError writeFailed(archive* writer) {
        return ArchiveError(ArchiveError::Kind::WriteFailed, "Cannot write an unpacked file: " + libarchiveMessage(writer));
    }

    static ArchiveError unsafe(const std::string& name, const std::string& why) {
        return ArchiveError(ArchiveError::Kind::UnsafeEntry, "Refused archive entry \"" + name + "\": " + why);
    }

    void writeEntry(archive* reader, archive* writer, archive_entry* entry) {
        const char* rawName = archive_entry_pathname(entry);
        if (rawName == nullptr) throw damaged(reader);
        std::string name = rawName;
        auto parts = safeComponents(name);
        if (!parts) throw unsafe(name, "absolute path or \"..\"");
        if (parts->empty()) return;  // "./" itself
        if (passesThroughLink(*parts, parts->size() - 1)) throw unsafe(name, "inside a link");

        const char* hardlink = archive_entry_hardlink(entry);
        // A tar hard link carries no file type of its own; it is a second name for a file.
        mode_t type = hardlink != nullptr ? AE_IFREG : archive_entry_filetype(entry);
        if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) throw unsafe(name, "not a file, folder or link");

        if (hardlink != nullptr) checkHardlink(name, hardlink, *entry);
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (target == nullptr || !targetStaysInside(*parts, target)) throw unsafe(name, "link leading outside");
            links_.insert(joinComponents(*parts, parts->size()));
        }

        std::uint64_t declared = archive_entry_size_is_set(entry) != 0 ? static_cast<std::uint64_t>(std::max<la_int64_t>(0, archive_entry_size(entry))) : 0;
        if (declared > limits_.maxUnpackedBytes - std::min(unpacked_, limits_.maxUnpackedBytes)) throw tooLarge();

        mode_t perm = archive_entry_perm(entry) & 0777;
        archive_entry_set_perm(entry, perm | (type == AE_IFDIR ? 0700 : 0600));
        archive_entry_set_pathname(entry, (root_ / joinComponents(*parts, parts->size())).c_str());

        if (archive_write_header(writer, entry) < ARCHIVE_WARN) throw writeFailed(writer);
        if (type == AE_IFREG) copyData(reader, writer);
        if (archive_write_finish_entry(writer) < ARCHIVE_WARN) throw writeFailed(writer);
    }

    void checkHardlink(const std::string& name, const std::string& target, archive_entry& entry) {
        auto parts = safeComponents(target);
        if (!parts || parts->empty()) throw unsafe(name, "hard link leading outside");
        if (passesThroughLink(*parts, parts->size())) throw unsafe(name, "hard link through a link");
        fs::path resolved = root_ / joinComponents(*parts, parts->size());
        struct stat info {};
        // Only a regular file written by this archive may be linked to.
        if (::lstat(resolved.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) throw unsafe(name, "hard link to nothing unpacked");
        archive_entry_set_hardlink(&entry, resolved.c_str());
    }

    // Whether one of the first `count` components names a link this archive made.
    bool passesThroughLink(const std::vector<std::string>& parts, std::size_t count) const {
        if (links_.empty()) return false;
        for (std::size_t i = 1; i <= count; ++i)
            if (links_.count(joinComponents(parts, i)) != 0) return true;
        return false;
    }

    ArchiveError tooLarge() const {
        return ArchiveError(ArchiveError::Kind::TooLarge, "The archive unpacks to more than " +
                                                              std::to_string(limits_.maxUnpackedBytes >> 20) + " MiB");
    }

    void copyData(archive* reader, archive* writer) {
        std::uint64_t entryEnd = 0;
        for (;;) {
            checkStop();
            const void* block = nullptr;
            std::size_t size = 0;
            la_int64_t offset = 0;
            int status = archive_read_data_block(reader, &block, &size, &offset);
            if (status == ARCHIVE_EOF) break;
            if (status < ARCHIVE_WARN) throw damaged(reader);
            // Sparse entries count by their extent, so holes cannot hide a huge file.
            std::uint64_t end = static_cast<std::uint64_t>(std::max<la_int64_t>(0, offset)) + size;
            if (end > entryEnd) {
                unpacked_ += end - entryEnd;
                entryEnd = end;
            }
            if (unpacked_ > limits_.maxUnpackedBytes) throw tooLarge();
            if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) throw writeFailed(writer);
        }
    }

    // A link checked alone can still lead out through another link ("a -> b/.." with
    // "b -> ../.."), so once all exist each is resolved on disk.
    void checkLinksPhysically() const {
        for (const auto& link : links_) {
            std::error_code ec;
            fs::path resolved = fs::weakly_canonical(root_ / link, ec);
            if (ec || !isInside(resolved, root_)) throw unsafe(link, "link leading outside");
        }
    }

    ArchiveLimits limits_;  // maxUnpackedBytes narrowed to this archive and this disk
    std::stop_token stop_;
    fs::path root_;
    std::set<std::string> existing_;
    std::set<std::string> links_;
    std::uint64_t entries_ = 0;
    std::uint64_t unpacked_ = 0;
};

bool hasAppExtension(const std::string& name) {
    if (name.size() <= 4) return false;
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".app";
}

bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

}  // namespace

void ArchiveExtractor::extract(const std::string& archive, const std::string& folder, std::stop_token stop) const {
    Extraction(limits_, std::move(stop)).run(archive, folder);
}

std::optional<std::string> ArchiveExtractor::findAppBundle(const std::string& folder, const std::string& preferredName) {
    std::optional<std::string> nearest;
    std::deque<std::pair<fs::path, int>> pending{{fs::path(folder), 0}};
    while (!pending.empty()) {
        auto [dir, depth] = pending.front();
        pending.pop_front();
        std::vector<fs::directory_entry> children;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
        std::sort(children.begin(), children.end(),
                  [](const auto& a, const auto& b) { return a.path().filename().string() < b.path().filename().string(); });
        for (const auto& child : children) {
            std::error_code typeError;
            if (child.is_symlink(typeError) || !child.is_directory(typeError)) continue;
            std::string name = child.path().filename().string();
            if (name == "__MACOSX") continue;
            if (hasAppExtension(name)) {
                if (!preferredName.empty() && sameNameIgnoringCase(name, preferredName)) return child.path().string();
                if (!nearest) nearest = child.path().string();
                continue;
            }
            if (depth + 1 < kMaxSearchDepth) pending.emplace_back(child.path(), depth + 1);
        }
    }
    return nearest;
}

void ArchiveExtractor::requireSelfContained(const std::string& bundle) {
    std::error_code ec;
    const fs::path root = fs::canonical(bundle, ec);
    if (ec) throw ArchiveError(ArchiveError::Kind::Unreadable, "cannot read " + bundle + ": " + ec.message());
    // Links are read, never followed into: the walk stays in the bundle's own folders.
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_symlink(typeError)) continue;
        std::error_code resolveError;
        const fs::path resolved = fs::weakly_canonical(it->path(), resolveError);
        if (resolveError || !isInside(resolved, root)) {
            const std::string name = fs::relative(it->path(), root, resolveError).string();
            throw ArchiveError(ArchiveError::Kind::UnsafeEntry,
                               "Refused archive entry \"" + name + "\": link leading outside the application");
        }
    }
    if (ec) throw ArchiveError(ArchiveError::Kind::Unreadable, "cannot read " + bundle + ": " + ec.message());
}

}  // namespace vt
