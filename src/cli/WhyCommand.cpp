#include "cli/WhyCommand.hpp"

#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "base/PrintableText.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "core/PackageCoordinator.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
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
    json["id"] = row.shortId;
    json["name"] = row.name;
    json["source"] = row.sourceId;
    json["sourceName"] = row.source;
    json["version"] = row.currentVersion;
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
        return kExitUsage;  // as every verb that names an item the last scan does not have
    }
    const IgnoreFilter filter(currentIgnoreState(), rows);
    const std::vector<SourceScanState> states = Context::shared().coordinator().sourceStates();
    Json items = Json::array();
    std::string text;
    const Style style = Style::forStream(stdout);
    for (const AllUpdateRow* row : matches) {
        const std::vector<ItemReason> reasons = reasonsFor(*row, filter, reasonFactsFor(*row, states));
        if (arguments.json) {
            items.push_back(itemJson(*row, reasons));
            continue;
        }
        if (!text.empty()) text += '\n';
        text += style.bold(oneLine(row->name)) + "  " + style.dim(row->shortId + punctuated(" · ") + oneLine(row->source)) + "\n";
        for (const ItemReason& reason : reasons) text += "  " + padRight(reason.code, 22) + "  " + oneLine(reason.text) + "\n";
    }
    if (arguments.json) {
        Json document = jsonDocument();
        document["items"] = std::move(items);
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
    } else {
        std::fputs(text.c_str(), stdout);
    }
    return kExitSuccess;
}

}  // namespace

void addWhyCommand(CLI::App& app, int* exitCode) {
    auto arguments = std::make_shared<WhyArguments>();
    auto* command = app.add_subcommand("why", localized("help.why"));
    command->add_option("item", arguments->item, localized("help.option.item"))->required()->type_name("ID");
    command->add_flag("--json", arguments->json, localized("help.option.json"));
    setExamples(*command, {"vantreel why npm:typescript", "vantreel why requests --json"});
    command->callback([arguments, exitCode] { *exitCode = why(*arguments); });
}

}  // namespace vt::cli
