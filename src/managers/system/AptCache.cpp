#include "managers/system/AptCache.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "base/Cancellation.hpp"

namespace vt {

#if VT_HAVE_APT_PKG

namespace {

using ReadFunction = const char* (*)(const std::stop_token*, const std::string*, AptCache::Reading*);

// Beside the program, or where an installation puts its libraries (PREFIX/lib/vantreel).
std::string modulePath() {
    static const std::string path = [] {
        std::error_code error;
        const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
        if (error) return std::string();
        for (const std::filesystem::path& folder : {program.parent_path(), program.parent_path() / "../lib/vantreel"}) {
            const std::filesystem::path candidate = folder / VT_APT_MODULE;
            if (::access(candidate.c_str(), R_OK) == 0) return candidate.string();
        }
        return std::string();
    }();
    return path;
}

struct Module {
    ReadFunction read = nullptr;
    std::string error;
};

const Module& module() {
    static const Module loaded = [] {
        Module result;
        void* handle = ::dlopen(modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* message = ::dlerror();
            result.error = message != nullptr ? message : VT_APT_MODULE;
            return result;
        }
        result.read = reinterpret_cast<ReadFunction>(::dlsym(handle, "vantreel_apt_read"));
        if (result.read == nullptr) result.error = std::string(VT_APT_MODULE) + ": no vantreel_apt_read";
        return result;
    }();
    return loaded;
}

}  // namespace

bool AptCache::isAvailable() noexcept { return !modulePath().empty(); }

AptCache::Reading AptCache::read(std::stop_token stop, const std::string& cacheFolder) {
    Reading reading;
    if (modulePath().empty() || module().read == nullptr) {
        reading.unavailable = true;
        reading.failure = "apt's library could not be loaded: " + (modulePath().empty() ? VT_APT_MODULE : module().error);
        return reading;
    }
    if (module().read(&stop, &cacheFolder, &reading) != nullptr) throw CancellationError();
    return reading;
}

#else

bool AptCache::isAvailable() noexcept { return false; }

AptCache::Reading AptCache::read(std::stop_token, const std::string&) {
    return Reading{.upgrades = {}, .held = {}, .failure = "built without Debian's apt library", .unavailable = true};
}

#endif

}  // namespace vt
