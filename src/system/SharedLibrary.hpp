#pragma once

#include <stdexcept>
#include <string>

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

}  // namespace vt
