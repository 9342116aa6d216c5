#pragma once

#include <string>
#include <string_view>

namespace vt {

// The processors an installed application's code runs on, as read from its executable.
enum class AppArchitectureKind { AppleSilicon, Intel, Universal, Unknown };

std::string_view rawValue(AppArchitectureKind kind);

// The architecture of Mach-O bytes (the first bytes of the file are enough: a thin header or
// a fat header with its architecture list). Unknown for anything else, including a truncated
// header and a Java class file, which shares the fat magic number. Never throws.
AppArchitectureKind machOArchitecture(std::string_view bytes);

// Reads the head of an executable file; unknown when it cannot be read.
AppArchitectureKind executableArchitecture(const std::string& path);

// The architecture of a bundle's main executable (CFBundleExecutable under Contents/MacOS).
AppArchitectureKind bundleArchitecture(const std::string& bundlePath);

}  // namespace vt
