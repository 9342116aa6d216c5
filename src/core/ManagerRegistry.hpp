#pragma once

#include <vector>

#include "managers/PackageManager.hpp"
#include "managers/SourceRow.hpp"

namespace vt {

// Every source this build can scan, one row each, in the order the scan starts them; each
// row is declared beside its adapter. Also the non-owning way from background work to the
// large managers, which the coordinator owns.
class ManagerRegistry {
public:
    static const std::vector<SourceRow>& sources();
    static const SourceRow* find(std::string_view id);

    static ManagerRegistry& shared();

    PackageManager* packageManager = nullptr;
};

}  // namespace vt
