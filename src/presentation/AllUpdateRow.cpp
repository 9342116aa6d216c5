#include "presentation/AllUpdateRow.hpp"

namespace vt {

std::string_view rawValue(AllUpdateRow::Kind kind) {
    switch (kind) {
        case AllUpdateRow::Kind::Package: return "package";
        case AllUpdateRow::Kind::Application: return "application";
        case AllUpdateRow::Kind::Discover: return "discover";
        case AllUpdateRow::Kind::Software: return "software";
        case AllUpdateRow::Kind::AppleTool: return "appleTool";
        case AllUpdateRow::Kind::AiPlugin: return "aiPlugin";
        case AllUpdateRow::Kind::AiMarketplace: return "aiMarketplace";
        case AllUpdateRow::Kind::AiSkill: return "aiSkill";
        case AllUpdateRow::Kind::AiClaudeBinary: return "aiClaudeBinary";
        case AllUpdateRow::Kind::Adoptable: return "adoptable";
    }
    return "package";
}

}  // namespace vt
