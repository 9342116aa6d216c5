#include "sources/inventory/MachOArchitecture.hpp"

#include <cstdint>
#include <fstream>

#include "sources/inventory/AppBundleReader.hpp"

namespace vt {

namespace {

constexpr std::uint32_t kFatMagic = 0xCAFEBABE;
constexpr std::uint32_t kFatMagic64 = 0xCAFEBABF;
constexpr std::uint32_t kMagic32 = 0xFEEDFACE;
constexpr std::uint32_t kMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kCpuX86 = 7;
constexpr std::uint32_t kCpuArm = 12;
constexpr std::uint32_t kAbi64 = 0x01000000;
// Java class files start with the fat magic too; their version field reads as a count of 45
// or more, while real fat files list a handful of architectures.
constexpr std::uint32_t kMaximumFatArchitectures = 32;
constexpr std::size_t kHeadBytes = 4096;

std::uint32_t bigEndian(std::string_view bytes, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

std::uint32_t littleEndian(std::string_view bytes, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
    return byte(3) << 24 | byte(2) << 16 | byte(1) << 8 | byte(0);
}

struct Seen {
    bool arm = false;
    bool intel = false;
    void add(std::uint32_t cpu) {
        // 32- and 64-bit kinds count alike.
        if ((cpu & ~kAbi64) == kCpuArm) arm = true;
        if ((cpu & ~kAbi64) == kCpuX86) intel = true;
    }
    AppArchitectureKind kind() const {
        if (arm && intel) return AppArchitectureKind::Universal;
        if (arm) return AppArchitectureKind::AppleSilicon;
        if (intel) return AppArchitectureKind::Intel;
        return AppArchitectureKind::Unknown;
    }
};

}  // namespace

std::string_view rawValue(AppArchitectureKind kind) {
    switch (kind) {
        case AppArchitectureKind::AppleSilicon: return "appleSilicon";
        case AppArchitectureKind::Intel: return "intel";
        case AppArchitectureKind::Universal: return "universal";
        case AppArchitectureKind::Unknown: break;
    }
    return "unknown";
}

AppArchitectureKind machOArchitecture(std::string_view bytes) {
    if (bytes.size() < 8) return AppArchitectureKind::Unknown;
    Seen seen;
    const std::uint32_t magic = bigEndian(bytes, 0);
    if (magic == kFatMagic || magic == kFatMagic64) {
        // Fat headers are big-endian: a count, then per architecture the CPU type first
        // (20 bytes per entry, 32 in the 64-bit form).
        const std::uint32_t count = bigEndian(bytes, 4);
        if (count == 0 || count > kMaximumFatArchitectures) return AppArchitectureKind::Unknown;
        const std::size_t entry = magic == kFatMagic ? 20 : 32;
        if (bytes.size() < 8 + count * entry) return AppArchitectureKind::Unknown;
        for (std::uint32_t index = 0; index < count; ++index) seen.add(bigEndian(bytes, 8 + index * entry));
        return seen.kind();
    }
    // Thin files are in the byte order of their processor: little-endian for both kinds here.
    const std::uint32_t little = littleEndian(bytes, 0);
    if (little == kMagic32 || little == kMagic64) {
        seen.add(littleEndian(bytes, 4));
        return seen.kind();
    }
    if (magic == kMagic32 || magic == kMagic64) {
        seen.add(bigEndian(bytes, 4));
        return seen.kind();
    }
    return AppArchitectureKind::Unknown;
}

AppArchitectureKind executableArchitecture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return AppArchitectureKind::Unknown;
    std::string head(kHeadBytes, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    return machOArchitecture(head);
}

AppArchitectureKind bundleArchitecture(const std::string& bundlePath) {
    std::optional<BundleCandidate> bundle = readBundle(bundlePath);
    if (!bundle || !bundle->executable || bundle->executable->empty() ||
        bundle->executable->find('/') != std::string::npos) {
        return AppArchitectureKind::Unknown;
    }
    return executableArchitecture(bundlePath + "/Contents/MacOS/" + *bundle->executable);
}

}  // namespace vt
