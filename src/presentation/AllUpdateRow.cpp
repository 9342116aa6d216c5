#include "presentation/AllUpdateRow.hpp"

#include "base/Strings.hpp"

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

std::string shellSafeId(std::string_view prefix, std::string_view rest) {
    // Made for every row of a list: one allocation, one pass.
    std::string id;
    id.reserve(prefix.size() + 1 + rest.size());
    id.append(prefix).append(1, ':').append(rest);
    for (char& c : id) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const bool safe = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::string_view("._@/+:,=%-").find(c) != std::string_view::npos ||
                          static_cast<unsigned char>(c) >= 0x80;
        if (!safe) c = '-';
    }
    return id;
}

}  // namespace vt
