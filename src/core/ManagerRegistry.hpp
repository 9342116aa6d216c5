#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "managers/PackageManager.hpp"

namespace vt {

// One adapter as a source of the scan: how to make it, and how the refresh pipeline runs it.
struct SourceRegistration {
    AdapterRegistration adapter;
    bool isCore = false;                   // core scan (Homebrew, npm, pip) or extended pipeline
    std::string completionLine;            // "Inventaire NPM terminé: ", followed by the count
    std::string logTag;                    // "[npm] 1.2s"
    std::chrono::seconds timeout{180};     // the pipeline's own time limit
};

// Every adapter of the program, one line each in ManagerRegistry.cpp; nothing else lists
// adapters. Also the non-owning way from background work to the large managers, which the
// coordinator owns.
class ManagerRegistry {
public:
    static const std::vector<SourceRegistration>& sources();
    static std::vector<AdapterRegistration> adapterRegistrations();

    static ManagerRegistry& shared();

    PackageManager* packageManager = nullptr;
};

}  // namespace vt
