// Verifying the Ed25519 signature of a large appcast enclosure: our check against
// `openssl pkeyutl -verify -rawin` on the same file and key, each in a child process so that
// its wall time and peak memory are its own. Ed25519 hashes the message twice, so neither
// side can stream it: we map the file (one pass over pages the kernel may drop again, no
// copy on the heap), openssl reads it into a buffer.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "base/Files.hpp"
#include "support/TempDir.hpp"
#include "updates/SparkleUpdateInstaller.hpp"

namespace {

struct Run {
    double seconds = 0;
    long peakKilobytes = 0;
    int status = 0;
};

template <typename Child>
Run measure(Child child) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(child());
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {vt::bench::secondsSince(start), usage.ru_maxrss, status};
}

std::string base64(const unsigned char* bytes, int size) {
    std::string out(static_cast<std::size_t>(4 * ((size + 2) / 3) + 1), '\0');
    out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, size)));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const int megabytes = vt::bench::argument(argc, argv, 1, 200);
    const int rounds = vt::bench::argument(argc, argv, 2, 3);
    vt::testing::TempDir work("vt-sparkle-verify");
    const std::string file = work.file("enclosure.zip");
    {
        std::FILE* out = std::fopen(file.c_str(), "wb");
        std::mt19937_64 random(42);
        std::vector<std::uint64_t> block(1 << 17);
        for (int written = 0; written < megabytes; ++written) {
            for (auto& word : block) word = random();
            std::fwrite(block.data(), 1, block.size() * sizeof block[0], out);
        }
        std::fclose(out);
    }
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* generator = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY_keygen_init(generator);
    EVP_PKEY_keygen(generator, &key);
    EVP_PKEY_CTX_free(generator);
    unsigned char rawKey[32];
    std::size_t keyLength = sizeof rawKey;
    EVP_PKEY_get_raw_public_key(key, rawKey, &keyLength);
    unsigned char signature[64];
    std::size_t signatureLength = sizeof signature;
    {
        // Released before the children are forked, so that their peaks are their own.
        const std::string message = *vt::readFile(file);
        EVP_MD_CTX* signer = EVP_MD_CTX_new();
        EVP_DigestSignInit(signer, nullptr, nullptr, nullptr, key);
        EVP_DigestSign(signer, signature, &signatureLength, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size());
        EVP_MD_CTX_free(signer);
    }
    std::FILE* pem = std::fopen(work.file("key.pem").c_str(), "w");
    PEM_write_PUBKEY(pem, key);
    std::fclose(pem);
    EVP_PKEY_free(key);
    vt::writeFileAtomically(work.file("signature.bin"), std::string(reinterpret_cast<char*>(signature), 64));
    const std::string keyText = base64(rawKey, 32), signatureText = base64(signature, 64);

    std::vector<double> ours, peer;
    long oursPeak = 0, peerPeak = 0;
    for (int round = 0; round < rounds; ++round) {
        Run run = measure([&] {
            vt::SparkleUpdateInstaller::verifyEd25519(file, keyText, signatureText);
            return 0;
        });
        if (run.status != 0) {
            std::fprintf(stderr, "sparkle-verify: our check failed\n");
            return 1;
        }
        ours.push_back(run.seconds);
        oursPeak = std::max(oursPeak, run.peakKilobytes);
        const std::string inkey = work.file("key.pem"), sigfile = work.file("signature.bin");
        run = measure([&] {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::execl("/usr/bin/openssl", "openssl", "pkeyutl", "-verify", "-pubin", "-inkey", inkey.c_str(), "-rawin",
                    "-in", file.c_str(), "-sigfile", sigfile.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        if (run.status != 0) {
            std::fprintf(stderr, "sparkle-verify: openssl pkeyutl failed (%d)\n", run.status);
            return 1;
        }
        peer.push_back(run.seconds);
        peerPeak = std::max(peerPeak, run.peakKilobytes);
    }
    std::sort(ours.begin(), ours.end());
    std::sort(peer.begin(), peer.end());
    const double oursMedian = ours[ours.size() / 2], peerMedian = peer[peer.size() / 2];
    std::printf("file: %d MB, %d rounds\n", megabytes, rounds);
    std::printf("ours:    %.3f s median, peak %ld MB resident (file pages mapped)\n", oursMedian, oursPeak / 1024);
    std::printf("openssl: %.3f s median, peak %ld MB resident (file read into memory)\n", peerMedian, peerPeak / 1024);
    std::printf("sparkle-verify ratio ours/openssl: %.2f (target <= 1.2)\n", oursMedian / peerMedian);
    return 0;
}
