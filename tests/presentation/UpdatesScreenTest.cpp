// The interactive table without a terminal: the screen drawn for a model and a state at a
// size, compared with the snapshots under snapshots/ (VT_UPDATE_SNAPSHOTS=1 writes them
// anew), and the keys applied to the state.
#include <algorithm>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/TextCells.hpp"
#include "presentation/UpdatesScreenRenderer.hpp"
#include "support/BuildPaths.hpp"

namespace vt {
namespace {

ScreenRow row(std::string id, std::string name, std::string source, std::string installed, std::string latest,
              bool isPackage = true) {
    ScreenRow item;
    item.id = std::move(id);
    item.name = std::move(name);
    item.source = std::move(source);
    item.installed = std::move(installed);
    item.latest = std::move(latest);
    item.group = screenGroupOf(classifyUpdate(item.installed, item.latest, false), isPackage);
    item.zeroMajor = isZeroMajorUpdate(item.installed, item.latest);
    item.updateable = isPackage;
    return item;
}

// Every kind of row: each group, a 0.x major, a pinned item, a long name, CJK and emoji names,
// an application and a system update, and two ignored items.
UpdatesScreenModel mixedModel() {
    UpdatesScreenModel model;
    ScreenRow openssl = row("apt:openssl", "openssl", "apt", "3.0.11-1~deb12u1", "3.0.11-1~deb12u2");
    openssl.security = true;
    openssl.group = ScreenGroup::Security;
    openssl.ageDays = 2;
    model.rows.push_back(openssl);
    ScreenRow typescript = row("npm:typescript", "typescript", "npm", "4.9.5", "5.3.3");
    typescript.ageDays = 40;
    typescript.details = {"From: npm", "Command: vantreel update npm:typescript", "Why: 5.3.3 is newer than 4.9.5"};
    model.rows.push_back(typescript);
    ScreenRow ripgrep = row("cargo:ripgrep", "ripgrep", "Cargo", "0.9.0", "0.10.0");
    ripgrep.details = {"From: Cargo", "Command: vantreel update cargo:ripgrep"};
    model.rows.push_back(ripgrep);
    ScreenRow black = row("pip:black", "black", "pip", "23.1.0", "23.12.1");
    black.pinned = true;
    black.ageDays = 400;
    model.rows.push_back(black);
    model.rows.push_back(row("uv:ruff", "ruff", "uv", "0.1.5", "0.1.6"));
    ScreenRow rails = row("gems:rails", "rails", "RubyGems", "7.1.0.rc1", "7.1.0");
    rails.details = {"From: RubyGems", "Command: vantreel update gems:rails", "Release notes: https://rubyonrails.org"};
    model.rows.push_back(rails);
    model.rows.push_back(row("npm:@very-long-scope/an-extremely-long-package-name-that-never-fits-anywhere",
                             "@very-long-scope/an-extremely-long-package-name-that-never-fits-anywhere", "npm", "1.0.0",
                             "1.0.1"));
    model.rows.push_back(row("npm:kanji", "日本語入力ツールキット拡張パック", "npm", "2.0.0", "2.1.0"));
    model.rows.push_back(row("cargo:rocket", "🚀 rocket-launcher 🛰", "Cargo", "1.2.3", "1.4.0"));
    ScreenRow firefox = row("app:org.mozilla.firefox", "Firefox", "Sparkle", "120.0", "121.0", false);
    firefox.ageDays = 9;
    model.rows.push_back(firefox);
    model.rows.push_back(row("macos:security-2026", "Security Response 2026-003", "macOS", "-", "2026-003", false));
    ScreenRow slack = row("app:com.tinyspeck.slackmacgap", "Slack", "Mac App Store", "4.35", "4.36", false);
    slack.status = "ignored";
    model.ignored.push_back(slack);
    ScreenRow node = row("npm:node-gyp", "node-gyp", "npm", "9.4.0", "10.0.1");
    node.status = "snoozed 7d";
    model.ignored.push_back(node);
    model.heldBack = 1;
    model.finish();
    return model;
}

UpdatesScreenModel manyRows(std::size_t count) {
    UpdatesScreenModel model;
    for (std::size_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "pkg-%04zu", i);
        model.rows.push_back(row(std::string("npm:") + name, name, i % 3 == 0 ? "pip" : "npm", "1.0.0",
                                 i % 2 == 0 ? "1.1.0" : "2.0.0"));
    }
    model.finish();
    return model;
}

std::string snapshotPath(const std::string& name) {
    return testing::sourceDir() + "/tests/presentation/snapshots/" + name + ".txt";
}

void expectSnapshot(const std::string& name, const std::vector<ScreenLine>& screen) {
    const std::string text = screenText(screen);
    if (const char* update = std::getenv("VT_UPDATE_SNAPSHOTS"); update != nullptr && std::string(update) == "1") {
        writeFileAtomically(snapshotPath(name), text);
    }
    EXPECT_EQ(text, readFile(snapshotPath(name)).value_or("(no snapshot " + name + ")")) << text;
}

// What every screen must be: exactly its height in lines and its width in cells, and the
// cursor's row among them whenever a row is listed.
void expectWellFormed(const std::vector<ScreenLine>& screen, std::size_t width, std::size_t height,
                      bool cursorShown = true) {
    ASSERT_EQ(screen.size(), height);
    std::size_t selected = 0;
    for (const ScreenLine& line : screen) {
        EXPECT_EQ(cellWidth(line.text()), width) << line.text();
        selected += line.selected ? 1 : 0;
    }
    EXPECT_EQ(selected, cursorShown ? 1u : 0u);
}

class UpdatesScreenTest : public ::testing::Test {
protected:
    void SetUp() override { setLanguage(Language::English); }
    std::vector<ScreenLine> press(UpdatesScreenState& state, const UpdatesScreenModel& model,
                                  std::initializer_list<ScreenKey> keys, std::size_t height = 24) {
        for (ScreenKey key : keys) last_ = handleKey(state, model, key, height);
        return renderUpdatesScreen(model, state, 80, height);
    }
    ScreenCommand::Kind kindAfter(UpdatesScreenState& state, const UpdatesScreenModel& model,
                                  std::initializer_list<ScreenKey> keys) {
        press(state, model, keys);
        return last_.kind;
    }
    static ScreenKey c(char32_t character) { return ScreenKey::of(character); }
    static ScreenKey k(ScreenKey::Kind kind) { return ScreenKey::of(kind); }
    ScreenCommand last_;
};

TEST_F(UpdatesScreenTest, SnapshotsAtThreeSizesWithEveryRowKind) {
    const UpdatesScreenModel model = mixedModel();
    UpdatesScreenState state;
    state.tagged = {"npm:typescript"};
    state.cursor = 2;
    state.rowProgress["uv:ruff"] = "updating…";
    state.failures["gems:rails"] = "ERROR: Could not find a valid gem 'rails' (= 7.1.0)";
    state.status = "1 tagged.";
    for (auto [width, height] : {std::pair<std::size_t, std::size_t>{80, 24}, {120, 40}, {60, 20}}) {
        const std::vector<ScreenLine> screen = renderUpdatesScreen(model, state, width, height);
        expectWellFormed(screen, width, height);
        expectSnapshot("updates_" + std::to_string(width) + "x" + std::to_string(height), screen);
    }
    // The detail pane under the list, on the row the cursor is on: the failed one.
    state.cursor = 8;
    state.pane = ScreenPane::Detail;
    const std::vector<ScreenLine> detail = renderUpdatesScreen(model, state, 60, 20);
    expectWellFormed(detail, 60, 20);
    expectSnapshot("updates_detail_60x20", detail);
}

// In every grouping the updates that fix known vulnerabilities lead, marked in the flags.
TEST_F(UpdatesScreenTest, UpdatesThatFixKnownVulnerabilitiesLeadEveryOrder) {
    UpdatesScreenModel model = mixedModel();
    ASSERT_EQ(model.rows[1].name, "typescript");  // first in no grouping of its own
    model.rows[1].fixes = 2;
    model.finish();
    for (const auto* order : {&model.rowOrders.byKind, &model.rowOrders.bySource, &model.rowOrders.byName}) {
        ASSERT_FALSE(order->empty());
        EXPECT_EQ(order->front(), 1u);
    }
}

TEST_F(UpdatesScreenTest, ColumnsDropInAFixedOrderAndTheChangedPartIsMarked) {
    const UpdatesScreenModel model = mixedModel();
    UpdatesScreenState state;
    // Widths 80 and 60 are in the snapshots: AGE goes first, then SOURCE, then FLAGS.
    const auto header = [&](std::size_t width) { return renderUpdatesScreen(model, state, width, 24)[1].text(); };
    EXPECT_EQ(header(72).find("AGE"), std::string::npos);
    EXPECT_NE(header(72).find("SOURCE"), std::string::npos);
    EXPECT_EQ(header(40).find("FLAGS"), std::string::npos);
    EXPECT_NE(header(40).find("NAME"), std::string::npos);

    // 1.2.3 → 1.4.0: "4.0" is what changed.
    state.grouping = ScreenGrouping::None;
    std::string changed;
    for (const ScreenLine& line : renderUpdatesScreen(model, state, 120, 40)) {
        if (line.text().find("rocket") == std::string::npos) continue;
        for (const ScreenSpan& span : line.spans) {
            if (span.attribute == ScreenAttribute::Changed) changed += span.text;
        }
    }
    EXPECT_EQ(changed.substr(0, 3), "4.0");
}

// The key hints of a footer, each trimmed: they are set apart by two spaces.
std::vector<std::string> hintsOf(const std::string& footer) {
    std::vector<std::string> hints;
    for (std::size_t start = 0; start < footer.size();) {
        const std::size_t end = std::min(footer.find("  ", start), footer.size());
        std::string hint = footer.substr(start, end - start);
        hint.erase(0, hint.find_first_not_of(' '));
        hint.erase(hint.find_last_not_of(' ') + 1);
        if (!hint.empty()) hints.push_back(hint);
        start = end + 2;
    }
    return hints;
}

// From a narrow terminal to a wide one: every row keeps its name, the versions take the
// width they need once there is room, the key hints are whole, and the detail pane names
// the row by the short id the other commands print.
TEST_F(UpdatesScreenTest, NamesStayVersionsWidenAndKeyHintsStayWholeAtEveryWidth) {
    UpdatesScreenModel model = mixedModel();
    model.rows[0].id = "package:apt:openssl";
    model.rows[0].shortId = "apt:openssl";
    model.finish();
    UpdatesScreenState state;
    state.grouping = ScreenGrouping::None;
    const ScreenList list = listRows(model, state);
    std::size_t openssl = 0;
    while (list.rowAt(openssl).name != "openssl") ++openssl;
    const std::vector<std::string> hints = hintsOf(localized("ui.footer"));
    for (std::size_t width : {24, 30, 40, 60, 80, 100, 120, 160}) {
        SCOPED_TRACE(width);
        const std::vector<ScreenLine> screen = renderUpdatesScreen(model, state, width, 24);
        expectWellFormed(screen, width, 24);
        for (std::size_t i = 0; i < list.rowCount() && 2 + list.rowLines[i] < 22; ++i) {
            // The name's first bytes, right after the mark.
            const std::string start = list.rowAt(i).name.substr(0, 4);
            const std::string text = screen[2 + list.rowLines[i]].text();
            EXPECT_EQ(text.substr(2, start.size()), start) << text;
        }
        EXPECT_NE(screen[1].text().find("NAME"), std::string::npos) << screen[1].text();
        const std::string versions = screen[2 + list.rowLines[openssl]].text();
        if (width >= 30) {
            EXPECT_NE(versions.find("→ 3.0."), std::string::npos) << versions;
        }
        if (width >= 120) {
            EXPECT_NE(versions.find("3.0.11-1~deb12u1 → 3.0.11-1~deb12u2"), std::string::npos) << versions;
            EXPECT_EQ(hintsOf(screen.back().text()), hints);
        }
        const std::string footer = screen.back().text();
        EXPECT_EQ(footer.find("…"), std::string::npos) << footer;
        EXPECT_NE(footer.find("q quit"), std::string::npos) << footer;
        for (const std::string& hint : hintsOf(footer)) {
            EXPECT_NE(std::find(hints.begin(), hints.end(), hint), hints.end()) << "[" << hint << "] " << footer;
        }
    }

    state.cursor = openssl;
    state.pane = ScreenPane::Detail;
    const std::string detail = screenText(renderUpdatesScreen(model, state, 80, 24));
    EXPECT_NE(detail.find("openssl  (apt:openssl)"), std::string::npos) << detail;
    EXPECT_EQ(detail.find("package:"), std::string::npos) << detail;
}

TEST_F(UpdatesScreenTest, TwoThousandRowsScrollWithTheCursorAlwaysInView) {
    const UpdatesScreenModel model = manyRows(2000);
    UpdatesScreenState state;
    std::vector<ScreenLine> screen = press(state, model, {k(ScreenKey::Kind::End)});
    EXPECT_EQ(state.cursor, 1999u);
    expectWellFormed(screen, 80, 24);
    const auto selectedText = [](const std::vector<ScreenLine>& lines) {
        for (const ScreenLine& line : lines) {
            if (line.selected) return line.text();
        }
        return std::string();
    };
    EXPECT_NE(selectedText(screen).find("pkg-1998"), std::string::npos);  // the last of the last group

    std::mt19937 random(7);
    const ScreenKey moves[] = {k(ScreenKey::Kind::Up),       k(ScreenKey::Kind::Down), k(ScreenKey::Kind::PageUp),
                               k(ScreenKey::Kind::PageDown), k(ScreenKey::Kind::Home), c('j'), c('k'), c('g')};
    for (int i = 0; i < 400; ++i) {
        const std::size_t height = 10 + random() % 30;
        screen = press(state, model, {moves[random() % std::size(moves)]}, height);
        ASSERT_EQ(screen.size(), height);
        const ScreenList list = listRows(model, state);
        const std::string expected = list.rowAt(state.cursor).name;
        ASSERT_NE(selectedText(screen).find(expected), std::string::npos) << i << " " << expected;
    }
    screen = press(state, model, {k(ScreenKey::Kind::Home), k(ScreenKey::Kind::PageDown)});
    EXPECT_EQ(state.cursor, 19u);  // a page is the list's 20 lines less one of context

    // A filter that matches nothing says so; Esc brings every row back.
    screen = press(state, model, {c('/'), c('z'), c('z'), c('z')});
    expectWellFormed(screen, 80, 24, false);
    EXPECT_NE(screenText(screen).find("No row matches \"zzz\""), std::string::npos);
    screen = press(state, model, {k(ScreenKey::Kind::Escape)});
    EXPECT_EQ(listRows(model, state).rowCount(), 2000u);
}

TEST_F(UpdatesScreenTest, FilterInvertsWithABangAndKeysTypedIntoItAreText) {
    const UpdatesScreenModel model = mixedModel();
    UpdatesScreenState state;
    press(state, model, {c('/'), c('n'), c('p'), c('m'), c('q')});
    EXPECT_TRUE(state.editingFilter);
    EXPECT_EQ(last_.kind, ScreenCommand::Kind::None);  // q was typed, not obeyed
    press(state, model, {k(ScreenKey::Kind::Backspace), k(ScreenKey::Kind::Enter)});
    EXPECT_FALSE(state.editingFilter);
    EXPECT_EQ(state.filter, "npm");
    const std::size_t npm = listRows(model, state).rowCount();
    EXPECT_EQ(npm, 3u);
    state.filter = "!npm";
    EXPECT_EQ(listRows(model, state).rowCount(), model.rows.size() - npm);
    // Names are matched as read: case and accents aside, wide characters too.
    state.filter = "日本語";
    EXPECT_EQ(listRows(model, state).rowCount(), 1u);
    press(state, model, {k(ScreenKey::Kind::Escape)});
    EXPECT_EQ(state.filter, "");
}

TEST_F(UpdatesScreenTest, TaggingAGroupLeavesSecurityAndZeroMajorsWithAStatusLine) {
    UpdatesScreenModel model = mixedModel();
    // A second security update and a 0.x major among the major updates.
    ScreenRow curl = row("apt:curl", "curl", "apt", "7.88.1-10", "7.88.1-10+deb12u5");
    curl.security = true;
    curl.group = ScreenGroup::Major;
    model.rows.push_back(curl);
    model.finish();
    UpdatesScreenState state;
    state.grouping = ScreenGrouping::Kind;
    // The cursor on the first major update (typescript, after the one security row).
    const ScreenList list = listRows(model, state);
    while (list.rowAt(state.cursor).group != ScreenGroup::Major) ++state.cursor;
    press(state, model, {c('a')});
    EXPECT_EQ(state.tagged, (std::set<std::string>{"npm:typescript"}));
    EXPECT_EQ(state.status, "1 tagged. Left untagged: 1 security update(s) and 1 0.x major update(s); tag them one by "
                            "one with Space.");
    // Space tags what `a` left, one by one, and moves on.
    state.cursor = 0;
    const std::string first = listRows(model, state).rowAt(0).id;
    press(state, model, {c(' ')});
    EXPECT_TRUE(state.tagged.count(first));
    EXPECT_EQ(state.cursor, 1u);
    press(state, model, {c('A')});
    EXPECT_TRUE(state.tagged.empty());
    // Without grouping, `a` takes every listed row it may.
    state.grouping = ScreenGrouping::None;
    press(state, model, {c('a')});
    EXPECT_EQ(state.tagged.size(), 7u);  // 10 packages less 2 security updates and 1 zero major
}

TEST_F(UpdatesScreenTest, KeysThatChangeTheMachineComeBackAsCommandsAfterTheirPane) {
    const UpdatesScreenModel model = mixedModel();
    UpdatesScreenState state;
    state.grouping = ScreenGrouping::None;
    const std::string cursorId = listRows(model, state).rowAt(0).id;
    EXPECT_EQ(kindAfter(state, model, {c('u')}), ScreenCommand::Kind::PlanUpdate);
    EXPECT_EQ(last_.ids, std::vector<std::string>{cursorId});
    // Tagged rows win over the cursor's; the confirmation answers with them.
    state.tagged = {"npm:typescript", "uv:ruff"};
    press(state, model, {c('u')});
    EXPECT_EQ(last_.ids, (std::vector<std::string>{"npm:typescript", "uv:ruff"}));
    state.pane = ScreenPane::ConfirmUpdate;
    state.confirmIds = last_.ids;
    state.confirmLines = {"To update (2):"};
    EXPECT_NE(screenText(renderUpdatesScreen(model, state, 80, 24)).find("To update (2):"), std::string::npos);
    EXPECT_EQ(kindAfter(state, model, {c('n')}), ScreenCommand::Kind::None);
    EXPECT_EQ(state.pane, ScreenPane::None);
    state.pane = ScreenPane::ConfirmUpdate;
    state.confirmIds = {"npm:typescript", "uv:ruff"};
    EXPECT_EQ(kindAfter(state, model, {c('y')}), ScreenCommand::Kind::Update);
    EXPECT_EQ(last_.ids.size(), 2u);

    EXPECT_EQ(kindAfter(state, model, {c('s'), c('2')}), ScreenCommand::Kind::Snooze);
    EXPECT_EQ(last_.snoozeFor, std::chrono::hours(24 * 7));
    press(state, model, {c('s'), c('4')});
    EXPECT_FALSE(last_.snoozeFor.has_value());
    EXPECT_EQ(kindAfter(state, model, {c('s'), k(ScreenKey::Kind::Escape)}), ScreenCommand::Kind::None);
    EXPECT_EQ(kindAfter(state, model, {c('x')}), ScreenCommand::Kind::Skip);
    EXPECT_EQ(kindAfter(state, model, {c('i')}), ScreenCommand::Kind::Ignore);

    // U works in the view of ignored items only, on its rows.
    EXPECT_EQ(kindAfter(state, model, {c('U')}), ScreenCommand::Kind::None);
    EXPECT_EQ(kindAfter(state, model, {c('v'), c('U')}), ScreenCommand::Kind::Unignore);
    EXPECT_EQ(last_.ids, std::vector<std::string>{"npm:node-gyp"});
    EXPECT_EQ(kindAfter(state, model, {c('u')}), ScreenCommand::Kind::None);
    press(state, model, {c('v')});

    // While work runs, Ctrl-C cancels it and a second update or scan waits.
    state.busy = true;
    EXPECT_EQ(kindAfter(state, model, {c('r')}), ScreenCommand::Kind::None);
    EXPECT_EQ(kindAfter(state, model, {k(ScreenKey::Kind::Interrupt)}), ScreenCommand::Kind::Cancel);
    state.busy = false;
    EXPECT_EQ(kindAfter(state, model, {k(ScreenKey::Kind::Interrupt)}), ScreenCommand::Kind::Quit);
    // Help closes on any key without acting on it.
    EXPECT_EQ(kindAfter(state, model, {c('?'), c('q')}), ScreenCommand::Kind::None);
    EXPECT_EQ(state.pane, ScreenPane::None);
}

TEST_F(UpdatesScreenTest, CellsOfWideTextAreCountedAndCutCleanly) {
    EXPECT_EQ(cellWidth("漢字"), 4u);
    EXPECT_EQ(cellWidth("🚀a"), 3u);
    EXPECT_EQ(cellWidth("é"), 1u);
    // A wide character that would straddle the edge is left out, and the width stays exact.
    EXPECT_EQ(fitCells("漢字漢字", 4), "漢… ");
    EXPECT_EQ(fitCells("ab", 4), "ab  ");
    EXPECT_EQ(fitCells("a\x1b[31mb", 8), "a [31mb ");
    EXPECT_EQ(cellWidth(fitCells("\xff\xfe", 3)), 3u);
}

}  // namespace
}  // namespace vt
