#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace vt {

// Why an archive could not be unpacked. `description()` is the text shown to the user.
class ArchiveError : public std::runtime_error {
public:
    enum class Kind {
        Unreadable,      // not a zip or tar archive we read, or it cannot be opened
        Damaged,         // truncated or corrupt data
        UnsafeEntry,     // absolute path, "..", a link leading outside, or a device/fifo entry
        TooLarge,        // the unpacked size passes ArchiveLimits::maxUnpackedBytes
        TooManyEntries,  // more entries than ArchiveLimits::maxEntries
        WriteFailed,     // the disk refused a file (full, permissions)
    };

    ArchiveError(Kind kind, std::string description);

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    Kind kind_;
};

// Bounds that stop a hostile or broken archive before it fills the disk. The largest
// applications published as archives (IDEs, tools carrying a whole runtime) unpack to 2-4 GB
// and at most a few tens of thousands of files; 8 GiB and 50,000 entries leave them twice
// that room, while a 10 GB decompression bomb or an archive of 100,000 tiny files is refused.
// Within those, an archive unpacks to at most maxExpansionRatio times its own size (never
// less than minimumBound, for small archives of compressible files), and never into the last
// reserveBytes of free space on the disk.
struct ArchiveLimits {
    std::uint64_t maxUnpackedBytes = 8ULL << 30;
    std::uint64_t maxEntries = 50'000;
    std::uint64_t maxExpansionRatio = 100;
    std::uint64_t minimumBound = 64ULL << 20;
    std::uint64_t reserveBytes = 256ULL << 20;
};

// Unpacks zip and tar archives (plain, gzip, bzip2 or xz) in-process into a folder.
//
// Every entry must stay inside the folder: absolute paths, ".." components, symbolic links
// whose target leads outside (even through another link) and hard links to anything outside
// are refused, and no entry is ever written through a link. Set-id bits are dropped and the
// owner always keeps read and write access, so the folder can be removed afterwards.
//
// On any failure (including cancellation by `stop`, thrown as CancellationError) whatever
// this call created in the folder is removed again before the error is thrown; what was
// there before is left alone. Blocks the calling thread; one instance may be used by
// several threads at once.
class ArchiveExtractor {
public:
    explicit ArchiveExtractor(ArchiveLimits limits = {}) : limits_(limits) {}

    // Creates `folder` when missing. Throws ArchiveError or CancellationError.
    void extract(const std::string& archive, const std::string& folder, std::stop_token stop = {}) const;

    // The application bundle to install from an unpacked archive or a mounted image. A bundle
    // named `preferredName` (e.g. "Foo.app", compared without regard to case) wins wherever it
    // is; otherwise the one nearest the top, and at equal depth the first by name in byte
    // order. Bundles are not looked into (they hold helper applications), symbolic links are
    // not followed, "__MACOSX" resource folders are skipped, and the search stops
    // `kMaxSearchDepth` folders down.
    static std::optional<std::string> findAppBundle(const std::string& folder,
                                                    const std::string& preferredName = {});

    static constexpr int kMaxSearchDepth = 6;

    // The bundle that is installed must hold together alone: a link inside it that leads
    // out of it (Contents/up -> ../../..), directly or through other links, would reach
    // whatever lies beside it once it is in place. Throws ArchiveError (UnsafeEntry) for such
    // a link, Unreadable when the bundle cannot be walked.
    static void requireSelfContained(const std::string& bundle);

private:
    ArchiveLimits limits_;
};

}  // namespace vt
