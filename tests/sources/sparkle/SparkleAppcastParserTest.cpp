// Appcasts read from the corpus's real feeds and from the hostile shapes a feed can take.
#include <gtest/gtest.h>

#include <chrono>

#include "base/Log.hpp"
#include "sources/sparkle/SparkleAppcastParser.hpp"
#include "support/Corpus.hpp"

namespace vt {
namespace {

using Parser = SparkleAppcastParser;

std::string feed(const std::string& items) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss xmlns:sparkle=\"x\"><channel>" + items + "</channel></rss>";
}

TEST(SparkleAppcastParserTest, CorpusFeedsGiveTheirNewestReleaseByTheVersionRules) {
    struct Expected {
        const char* file;
        std::size_t items;
        const char* stable;  // offered without pre-releases
        const char* any;     // with them
        const char* kind;
    };
    for (const Expected& expected : std::vector<Expected>{
             {"apps/alt-tab-macos.appcast.xml", 283, "11.4.3", "11.4.3", "EdDSA (Sparkle 2.0)"},
             {"apps/amethyst.appcast.2014.xml", 10, "0.9", "0.9", "unsigned"},  // oldest first
             {"apps/dockdoor.appcast.xml", 2, "1.39.5", "1.39.5.1 beta", "EdDSA (Sparkle 2.0)"},
             {"apps/hammerspoon.appcast.xml", 102, "1.1.0", "1.1.0", "unsigned"},
             {"apps/hexfiend.appcast.xml", 13, "2.18.1", "2.18.1", "DSA (Sparkle 1.x)"},
             {"apps/iterm2.final_new.xml", 5, "3.6.11", "3.6.11", "EdDSA (Sparkle 2.0)"},
             {"apps/lunar.appcast2.xml", 34, "6.10.4", "6.10.4", "EdDSA (Sparkle 2.0)"},
             {"apps/maccy.appcast.xml", 1, "2.7.1", "2.7.1", "unsigned"},
             {"apps/vienna.changelog_beta.xml", 6, "3.10.8 :0294d207:", "3.11.0 Beta 4 :b2313156:", "EdDSA (Sparkle 2.0)"},
             {"sparkle-framework-tests/sparkletestcast.xml", 3, "2.0", "2.2", "EdDSA (Sparkle 2.0)"},
             {"sparkle-framework-tests/testappcast_channels.xml", 6, "7.0", "7.0", "EdDSA (Sparkle 2.0)"},
             {"sparkle-framework-tests/testappcast_info_updates.xml", 4, "5.0", "5.0", "unsigned"},
         }) {
        SCOPED_TRACE(expected.file);
        const std::string bytes = testing::corpusFile(std::string("appcasts/") + expected.file);
        std::vector<SparkleItem> items = Parser::parse(bytes);
        ASSERT_EQ(items.size(), expected.items);
        const SparkleItem* stable = Parser::newest(items, false);
        ASSERT_NE(stable, nullptr);
        EXPECT_EQ(stable->displayVersion(), expected.stable);
        EXPECT_EQ(stable->signatureKind(), expected.kind);
        EXPECT_EQ(Parser::newest(items, true)->displayVersion(), expected.any);
        // A check reads the feed in place and copies out only what it offers: the same item.
        SparkleAppcast appcast(bytes);
        for (bool allowPreRelease : {false, true}) {
            const SparkleItemView* offered = appcast.newest(allowPreRelease);
            ASSERT_NE(offered, nullptr);
            EXPECT_EQ(offered->copy(), *Parser::newest(items, allowPreRelease));
            EXPECT_EQ(offered - appcast.items().data(), Parser::newest(items, allowPreRelease) - items.data());
        }
    }
    // Every item on a channel: nothing is offered without pre-releases.
    auto localized = Parser::parse(testing::corpusFile("appcasts/sparkle-framework-tests/testlocalizedreleasenotesappcast.xml"));
    EXPECT_EQ(Parser::newest(localized, false), nullptr);
    auto hammerspoon = Parser::parse(testing::corpusFile("appcasts/apps/hammerspoon.appcast.xml"));
    const SparkleItem& first = hammerspoon.front();  // sparkle:version on the enclosure, the short one a child
    EXPECT_EQ(first.version, "6933");
    EXPECT_EQ(first.shortVersion, "1.1.0");
    EXPECT_EQ(first.minimumSystemVersion, "13.0");
    EXPECT_EQ(first.fileSize, 9879298);
}

TEST(SparkleAppcastParserTest, FieldsComeFromTheChildThenTheEnclosureWithOrWithoutThePrefix) {
    LogCapture log;
    auto items = Parser::parse(feed(R"(
<item><title>A</title><sparkle:shortVersionString>  2.1 </sparkle:shortVersionString>
  <pubDate>Tue, 5 Mar 2024 09:08:07 +0100</pubDate><releaseNotesLink>https://n/2.1</releaseNotesLink>
  <enclosure url=" https://d/2.1.zip " sparkle:version="210" version="999" length="12x" edSignature="short"
   sparkle:dsaSignature="MC0C" shortVersionString="ignored"/></item>
<item><version>210</version><shortVersion>2.1</shortVersion><sparkle:channel>beta</sparkle:channel>
  <pubDate>Tue,  05 Mar 2024 09:08:07 GMT</pubDate><enclosure url="https://d/b" length="42"/></item>
<wrap><deeper><item><sparkle:version>211</sparkle:version><pubDate>Mon, 31 Feb 2024 00:00:00 +0000</pubDate>
  <enclosure sparkle:shortVersionString="2.1" length="7"/></item></deeper></wrap>)"));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].shortVersion, "2.1");
    EXPECT_EQ(items[0].version, "210");
    EXPECT_EQ(items[0].downloadURL, "https://d/2.1.zip");
    EXPECT_EQ(items[0].releaseNotes, "https://n/2.1");
    EXPECT_EQ(items[0].fileSize, std::nullopt);
    EXPECT_EQ(items[0].edSignature, "short");
    EXPECT_EQ(items[0].signatureKind(), "EdDSA (Sparkle 2.0)");
    EXPECT_TRUE(log.contains("Sparkle: invalid sparkle:edSignature (it must be 64 bytes in base64)."));
    using namespace std::chrono;
    EXPECT_EQ(items[0].publishDate, sys_days(2024y / March / 5) + 8h + 8min + 7s);
    EXPECT_EQ(items[1].publishDate, sys_days(2024y / March / 5) + 9h + 8min + 7s);
    EXPECT_EQ(items[1].channel, "beta");
    EXPECT_EQ(items[2].publishDate, std::nullopt);  // no such day: never a guess
    EXPECT_EQ(items[2].shortVersion, "2.1");
    // Equal versions: the higher build wins; the channel's item only when pre-releases are on.
    EXPECT_EQ(Parser::newest(items, false), &items[2]);
    EXPECT_EQ(Parser::parseDate("Sat, 26 Jul 2014 15:20:11"), std::nullopt);
    EXPECT_EQ(Parser::parseDate("2026-08-10"), std::nullopt);

    EXPECT_TRUE(Parser::isBase64Of(std::string(86, 'A') + "==", 64));
    EXPECT_FALSE(Parser::isBase64Of(std::string(84, 'A') + "==", 64));
    EXPECT_TRUE(Parser::checkPublicEDKey("2e9SQOBoaKElchSa/4QDli/nvYkyuDNfynfzBF6vJK4="));
    EXPECT_FALSE(Parser::checkPublicEDKey("2e9SQOBoaKElchSa"));
    EXPECT_TRUE(log.contains("Sparkle: invalid SUPublicEDKey (it must be 32 bytes in base64)."));
}

TEST(SparkleAppcastParserTest, HostileDocumentsFailOrStayBoundedWithoutExpansionOrDeepRecursion) {
    auto throws = [](const std::string& bytes) {
        EXPECT_THROW(Parser::parse(bytes), SparkleParseError) << bytes.substr(0, 80);
    };
    const std::string valid = testing::corpusFile("appcasts/apps/maccy.appcast.xml");
    throws(valid.substr(0, valid.size() / 2));
    throws("<!DOCTYPE html><html><body><p>Not found<br></body></html>");
    throws("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss><item><title>caf\xe9</title></item></rss>");
    EXPECT_TRUE(Parser::parse("<html><body><p>moved</p></body></html>").empty());

    // A billion laughs: its entities are never defined, so the reference stays as written.
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'j'; ++c) {
        std::string previous(1, static_cast<char>(c - 1));
        bomb += "<!ENTITY " + std::string(1, c) + " \"";
        for (int i = 0; i < 10; ++i) bomb += "&" + previous + ";";
        bomb += "\">";
    }
    bomb += "]><rss><item><title>&j;</title><sparkle:version>&j;</sparkle:version></item></rss>";
    auto start = std::chrono::steady_clock::now();
    auto items = Parser::parse(bomb);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].version, "&j;");
    // Expanded, the entities would take minutes; a busy machine's pause takes seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    // Nesting: as deep as a feed could sensibly go is read; deeper is malformed.
    auto nested = [](int depth) {
        std::string deep;
        for (int i = 0; i < depth; ++i) deep += "<d>";
        deep += "<item><sparkle:version>9</sparkle:version></item>";
        for (int i = 0; i < depth; ++i) deep += "</d>";
        return "<rss>" + deep + "</rss>";
    };
    items = Parser::parse(nested(200));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].version, "9");
    throws(nested(static_cast<int>(SparkleAppcast::kMaxDepth)));
    throws(nested(200'000));
}

}  // namespace
}  // namespace vt
