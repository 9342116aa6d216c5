#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "base/Log.hpp"

namespace vt {

// A library the program loads when it first needs it, not at each start.
class SharedLibrary {
public:
    // Thrown when the library is missing or lacks a function; what() says which and why.
    class Unavailable : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Opens version `major` of library `name` ("libcurl", 4: libcurl.so.4, or libcurl.4.dylib
    // on macOS); never closed, as what it hands out may outlive any owner.
    SharedLibrary(const char* name, int major);

    template <typename Function>
    void bind(const char* symbol, Function& function) const {
        function = reinterpret_cast<Function>(address(symbol));
    }

private:
    void* address(const char* symbol) const;

    std::string file_;
    void* handle_ = nullptr;
};

// The functions of a library opened on first use, as the struct `Api` of pointers: none when
// the library is missing or lacks one of them, and then `failure` says why.
template <typename Api>
struct LoadedFunctions {
    std::optional<Api> api;
    std::string failure;
};

// Opens version `major` of library `name` and has `bindAll(library, api)` bind each function;
// a failure is logged, once for the caller that keeps the result.
template <typename Api, typename BindAll>
LoadedFunctions<Api> loadFunctions(const char* name, int major, BindAll bindAll) {
    LoadedFunctions<Api> loaded;
    try {
        const SharedLibrary library(name, major);
        Api api;
        bindAll(library, api);
        loaded.api = api;
    } catch (const SharedLibrary::Unavailable& error) {
        loaded.failure = error.what();
        Logger("SharedLibrary").error(loaded.failure);
    }
    return loaded;
}

}  // namespace vt
