#include "system/SharedLibrary.hpp"

#include <dlfcn.h>

namespace vt {

namespace {

std::string loaderError() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "unknown reason";
}

}  // namespace

SharedLibrary::SharedLibrary(const char* name, int major)
#ifdef __APPLE__
    : file_(std::string(name) + "." + std::to_string(major) + ".dylib") {
#else
    : file_(std::string(name) + ".so." + std::to_string(major)) {
#endif
    handle_ = ::dlopen(file_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw Unavailable(file_ + " could not be loaded: " + loaderError());
}

void* SharedLibrary::address(const char* symbol) const {
    ::dlerror();
    void* found = ::dlsym(handle_, symbol);
    if (found == nullptr) throw Unavailable(file_ + " lacks " + symbol + ": " + loaderError());
    return found;
}

}  // namespace vt
