#include "cli/EndpointsCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Output.hpp"
#include "cli/Terminal.hpp"
#include "cli/TextTable.hpp"
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
        Json document = jsonDocument();
        document["endpoints"] = std::move(list);
        output = dumpJson(document, jsonIndentForStandardOutput()) + "\n";
    } else {
        TextTable table({{localized("endpoints.column.service"), Column::Elide::Never, 0, 0},
                         {localized("endpoints.column.address"), Column::Elide::Middle, 16, 0},
                         {localized("endpoints.column.override"), Column::Elide::End, 8, 1}});
        for (const EndpointEntry& entry : entries) {
            table.add({entry.name, entry.address, entry.overridden ? "(" + entry.variable + ")" : ""});
        }
        output = table.render(Style::forStream(stdout), outputWidth());
    }
    writeAll(stdout, output);
    return 0;
}

}  // namespace

void addEndpointsCommand(CLI::App& app, int* exitCode) {
    auto* endpoints = app.add_subcommand("endpoints", localized("help.endpoints"));
    auto asJson = std::make_shared<bool>(false);
    endpoints->add_flag("--json", *asJson, localized("help.option.json"));
    setExamples(*endpoints, {"vantreel endpoints", "VANTREEL_ENDPOINT_PYPI=https://pypi.example.org vantreel endpoints"});
    endpoints->callback([asJson, exitCode] { *exitCode = printEndpoints(*asJson); });
}

}  // namespace vt::cli
