#include "support/AppImageBuilder.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>

#include "base/Files.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"

namespace vt::testing {

namespace fs = std::filesystem;

namespace {

void runTool(const std::string& tool, std::vector<std::string> arguments) {
    CommandRequest request;
    request.command = tool;
    request.arguments = std::move(arguments);
    request.timeout = 60;
    request.allowNonZeroExit = true;
    ShellCommandResult result = CommandRunner::shared().execute(request);
    if (result.exitCode != 0) throw std::runtime_error(tool + " failed: " + result.standardError);
}

std::uint64_t littleEndian(const std::string& bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

// A section's contents: the text, then zeros up to the size the AppImage tools reserve.
std::string padded(const std::string& text, std::size_t size) {
    std::string bytes = text;
    bytes.resize(std::max(size, text.size() + 1), '\0');
    return bytes;
}

}  // namespace

std::string appImageBytes(const AppImageSpec& spec) {
    TempDir work("vt-appimage-build");
    const std::string elf = work.file("runtime");
    fs::copy_file("/usr/bin/true", elf);
    fs::permissions(elf, fs::perms::owner_write, fs::perm_options::add);
    const std::string update = work.write("upd_info", padded(spec.updateInformation.value_or(""), 1024));
    const std::string signature =
        work.write("sha256_sig", padded(spec.signature ? "-----BEGIN PGP SIGNATURE-----\ntest\n" : "", 1024));
    const std::string sectioned = work.file("runtime-sections");
    runTool("/usr/bin/objcopy", {"--add-section", ".upd_info=" + update, "--set-section-flags", ".upd_info=noload,readonly",
                                 "--add-section", ".sha256_sig=" + signature, "--set-section-flags",
                                 ".sha256_sig=noload,readonly", elf, sectioned});
    std::string runtime = readFile(sectioned).value();
    // The image starts where the section headers end, as the AppImage runtime computes it.
    const std::uint64_t headersEnd = littleEndian(runtime, 0x28, 8) + littleEndian(runtime, 0x3A, 2) * littleEndian(runtime, 0x3C, 2);
    runtime.resize(headersEnd, '\0');
    runtime[8] = 'A';
    runtime[9] = 'I';
    runtime[10] = 2;

    std::string desktop = "[Desktop Entry]\nType=Application\nName=" + spec.name + "\nExec=AppRun\nIcon=demo\n";
    if (spec.version) desktop += "X-AppImage-Version=" + *spec.version + "\n";
    desktop += "\n[Desktop Action New]\nName=New Window\n";
    if (spec.desktopFileIsLink) {
        work.write("root/usr/share/applications/" + spec.desktopFile, desktop);
        fs::create_symlink("usr/share/applications/" + spec.desktopFile, work.file("root/" + spec.desktopFile));
    } else {
        work.write("root/" + spec.desktopFile, desktop);
    }
    work.writeExecutable("root/AppRun", "#!/bin/sh\necho " + spec.payload + "\n");
    const std::string image = work.file("image.squashfs");
    runTool("/usr/bin/mksquashfs", {work.file("root"), image, "-quiet", "-noappend", "-all-root", "-no-progress",
                                    "-mkfs-time", "0", "-all-time", "0"});
    return runtime + readFile(image).value();
}

std::string buildAppImage(const std::string& path, const AppImageSpec& spec) {
    fs::create_directories(fs::path(path).parent_path());
    writeFileAtomically(path, appImageBytes(spec), 0755);
    return path;
}

namespace {

// OpenSSL's one-shot digest of the whole file: not the product's streaming reader it checks.
std::string hexDigest(const std::string& path, const EVP_MD* type) {
    const std::string bytes = readFile(path).value_or("");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, type, nullptr) != 1) return "";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return hex;
}

}  // namespace

std::string sha1Of(const std::string& path) { return hexDigest(path, EVP_sha1()); }
std::string sha256Of(const std::string& path) { return hexDigest(path, EVP_sha256()); }

}  // namespace vt::testing
