#pragma once

// Keys, signed archives and bundles for the appcast installer's tests.
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/Files.hpp"
#include "updates/TestArchives.hpp"

namespace vt::testing {

namespace sparkle_fs = std::filesystem;

inline std::string base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                 reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

struct KeyPair {
    EVP_PKEY* key = nullptr;
    KeyPair() {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
    }
    ~KeyPair() { EVP_PKEY_free(key); }
    std::string publicBase64() const {
        std::string raw(32, '\0');
        std::size_t length = raw.size();
        EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length);
        return base64(raw);
    }
    std::string sign(std::string_view message) const {
        std::string signature(64, '\0');
        std::size_t length = signature.size();
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size());
        EVP_MD_CTX_free(context);
        return base64(signature);
    }
};

// A thin Mach-O header: the magic number, then the CPU type.
inline std::string machO(std::uint32_t cpu) {
    std::string bytes(32, '\0');
    const std::uint32_t words[] = {0xfeedfacfu, cpu};
    std::memcpy(bytes.data(), words, sizeof words);
    return bytes;
}
inline constexpr std::uint32_t kIntel = 0x01000007, kArm = 0x0100000c;

struct BundleLayout {
    std::string identifier = "com.example.foo";
    std::string version = "2.0";
    std::string trust;  // what the fake codesign prints; empty: unsigned
    std::uint32_t cpu = kIntel;
    bool brokenSignature = false;
};

inline void writeBundle(const std::string& path, const BundleLayout& layout) {
    sparkle_fs::create_directories(path + "/Contents/MacOS");
    writeFileAtomically(path + "/Contents/Info.plist",
                        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
                            layout.identifier + "</string><key>CFBundleShortVersionString</key><string>" + layout.version +
                            "</string><key>CFBundleExecutable</key><string>Foo</string></dict></plist>");
    writeFileAtomically(path + "/Contents/MacOS/Foo", machO(layout.cpu), 0755);
    std::error_code ignored;
    sparkle_fs::remove(path + "/Contents/_trust", ignored);
    if (!layout.trust.empty()) writeFileAtomically(path + "/Contents/_trust", layout.trust);
    if (layout.brokenSignature) writeFileAtomically(path + "/Contents/_broken", "");
}

// An installed Sparkle application at `path`: `version`, updated from the appcast at `feed`
// whose archives are signed with `key` (an Ed25519 public key in base64).
inline void writeSparkleBundle(const std::string& path, const std::string& version, const std::string& feed,
                               const std::string& key) {
    writeBundle(path, {.version = version});
    std::string plist = *readFile(path + "/Contents/Info.plist");
    plist.insert(plist.find("</dict>"), "<key>CFBundleName</key><string>Foo</string><key>SUFeedURL</key><string>" +
                                            feed + "</string><key>SUPublicEDKey</key><string>" + key + "</string>");
    writeFileAtomically(path + "/Contents/Info.plist", plist);
    sparkle_fs::create_directories(path + "/Contents/Frameworks/Sparkle.framework");
}

// An appcast of one release of Foo, `version`, in `archive` at `url`, signed with `signature`.
inline std::string oneReleaseAppcast(const std::string& version, const std::string& url, const std::string& archive,
                                     const std::string& signature) {
    return "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Foo</title><item><title>" + version +
           "</title><pubDate>Mon, 01 Dec 2025 10:00:00 +0000</pubDate><sparkle:version>200</sparkle:version>"
           "<sparkle:shortVersionString>" + version + "</sparkle:shortVersionString><enclosure url=\"" + url +
           "\" length=\"" + std::to_string(archive.size()) +
           "\" type=\"application/octet-stream\" sparkle:edSignature=\"" + signature + "\"/></item></channel></rss>";
}

// Zips every file under `folder`, named relative to it.
inline std::string zipFolder(const std::string& folder) {
    std::vector<test::Entry> entries;
    for (const auto& item : sparkle_fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file()) entries.push_back({sparkle_fs::relative(item.path(), folder), *readFile(item.path()), "", "", 0755});
    }
    const std::string zip = folder + "/.zip";  // listed already, and removed once read
    test::writeArchive(zip, test::Format::Zip, entries);
    std::string bytes = *readFile(zip);
    sparkle_fs::remove(zip);
    return bytes;
}

}  // namespace vt::testing
