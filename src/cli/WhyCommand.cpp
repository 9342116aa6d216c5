#include "cli/WhyCommand.hpp"

#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/UpdatesTable.hpp"
#include "presentation/ItemReasons.hpp"

namespace vt::cli {

namespace {

struct WhyArguments {
    std::string item;
    bool json = false;
};

Json itemJson(const AllUpdateRow& row, const std::vector<ItemReason>& reasons) {
    Json json = Json::object();
    json["id"] = row.id;
    json["name"] = row.name;
    json["source"] = row.source;
    json["currentVersion"] = row.currentVersion;
    if (row.latestVersion) json["latestVersion"] = *row.latestVersion;
    bool offered = false;
    Json list = Json::array();
    for (const ItemReason& reason : reasons) {
        offered = offered || reason.code == reason::kOffered;
        list.push_back(toJson(reason));
    }
    json["offered"] = offered;
    json["reasons"] = std::move(list);
    return json;
}

int why(const WhyArguments& arguments) {
    const std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    const std::vector<const AllUpdateRow*> matches = resolveRows(arguments.item, rows);
    if (matches.empty()) {
        std::fprintf(stderr, "%s\n", localized("why.no_item", {arguments.item}).c_str());
        return kExitFailure;
    }
    const IgnoreFilter filter(currentIgnoreState(), rows);
    Json items = Json::array();
    std::string text;
    const Style style = Style::forStream(stdout);
    for (const AllUpdateRow* row : matches) {
        const std::vector<ItemReason> reasons = reasonsFor(*row, filter, reasonFactsFor(*row));
        if (arguments.json) {
            items.push_back(itemJson(*row, reasons));
            continue;
        }
        if (!text.empty()) text += '\n';
        text += style.bold(row->name) + "  " + style.dim(row->id + " · " + row->source) + "\n";
        for (const ItemReason& reason : reasons) text += "  " + padRight(reason.code, 22) + "  " + reason.text + "\n";
    }
    if (arguments.json) {
        std::printf("%s\n", dumpJson(Json{{"items", std::move(items)}}, jsonIndentForStandardOutput()).c_str());
    } else {
        std::fputs(text.c_str(), stdout);
    }
    return kExitSuccess;
}

}  // namespace

void addWhyCommand(CLI::App& app, int* exitCode) {
    auto arguments = std::make_shared<WhyArguments>();
    auto* command = app.add_subcommand("why", "Say why an item is or is not offered, with every reason's code");
    command->add_option("item", arguments->item, "The item's name or id (see vantreel list --all)")->required();
    command->add_flag("--json", arguments->json, "Print the reasons as JSON");
    command->callback([arguments, exitCode] { *exitCode = why(*arguments); });
}

}  // namespace vt::cli
