#include "cli/EndpointsCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "cli/Terminal.hpp"
#include "system/Endpoints.hpp"

namespace vt::cli {

namespace {

int printEndpoints(bool asJson) {
    std::vector<EndpointEntry> entries;
    std::vector<std::string> problems;
    for (Service service : Endpoints::allServices()) {
        try {
            entries.push_back(Endpoints::entry(service));
        } catch (const EndpointError& error) {
            problems.push_back(error.what());
        }
    }
    for (const std::string& problem : problems) std::fprintf(stderr, "vantreel endpoints: %s\n", problem.c_str());
    if (!problems.empty()) return 1;

    std::string output;
    if (asJson) {
        Json list = Json::array();
        for (const EndpointEntry& entry : entries) {
            list.push_back(Json{{"name", entry.name},
                                {"address", entry.address},
                                {"default", entry.defaultAddress},
                                {"overridden", entry.overridden},
                                {"variable", entry.variable},
                                {"purpose", entry.purpose}});
        }
        output = dumpJson(list, 2) + "\n";
    } else {
        std::size_t nameWidth = 0;
        std::size_t addressWidth = 0;
        for (const EndpointEntry& entry : entries) {
            nameWidth = std::max(nameWidth, entry.name.size());
            addressWidth = std::max(addressWidth, entry.address.size());
        }
        for (const EndpointEntry& entry : entries) {
            std::string line = entry.name + std::string(nameWidth - entry.name.size() + 2, ' ') + entry.address;
            if (entry.overridden) {
                line += std::string(addressWidth - entry.address.size() + 2, ' ') + "(" + entry.variable + ")";
            }
            output += line + "\n";
        }
    }
    writeAll(stdout, output);
    return 0;
}

}  // namespace

void addEndpointsCommand(CLI::App& app, int* exitCode) {
    auto* endpoints = app.add_subcommand(
        "endpoints", "Print the address of every outside service in effect; VANTREEL_ENDPOINT_<NAME> overrides one");
    auto asJson = std::make_shared<bool>(false);
    endpoints->add_flag("--json", *asJson, "Print JSON");
    endpoints->callback([asJson, exitCode] { *exitCode = printEndpoints(*asJson); });
}

}  // namespace vt::cli
