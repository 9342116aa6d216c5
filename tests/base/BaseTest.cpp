#include <algorithm>
#include <filesystem>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/PrintableText.hpp"
#include "base/Random.hpp"
#include "base/Strings.hpp"
#include "base/Uuid.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

TEST(JsonTest, DatesAreSecondsSinceTwoThousandOne) {
    auto unixEpochPlus = [](double s) {
        return Clock::TimePoint(std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(s)));
    };
    EXPECT_DOUBLE_EQ(toReferenceSeconds(unixEpochPlus(978307200.0)), 0.0);
    EXPECT_DOUBLE_EQ(toReferenceSeconds(fromReferenceSeconds(12345.25)), 12345.25);
    EXPECT_FALSE(parseJson("{not json").has_value());
    EXPECT_EQ(dumpJson(Json("\xff")), "\"\xEF\xBF\xBD\"");
}

TEST(JsonTest, WriterGivesTheBytesOfTheDocumentDump) {
    Json document = Json::parse(R"({"scan":{"date":818235567.8604984,"whole":5.0,"tiny":1e-7,"big":1.5e300,
        "count":5000,"negative":-12,"huge":18446744073709551615},"empty":{},"none":[],"nothing":null,
        "items":[{"name":"caf\u00e9 \"quoted\" back\\slash","tab":"a\tb\u0001","on":true,"off":false},
        [1,[],{}],"\ud83d\ude00"]})");
    document["items"].push_back("bad \xff byte");
    for (int indent : {-1, 2}) {
        std::string text;
        JsonWriter(text, indent).value(document);
        EXPECT_EQ(text, dumpJson(document, indent)) << indent;
    }
    // Each byte that needs escaping, or that is plain at the edges, in each place of texts
    // read eight bytes at a time: shorter than a word, a word, and with a tail read twice.
    for (std::string special : {"\x01", "\x1f", " ", "~", "\x7f", "\"", "\\", "\x80", "\xc3\xa9"}) {
        for (std::size_t length : {0, 3, 7, 17}) {
            for (std::size_t at = 0; at <= length; ++at) {
                Json value = std::string(length, 'a').insert(at, special);
                std::string text;
                JsonWriter(text).beginObject().key(value.get<std::string>()).value(value).endObject();
                EXPECT_EQ(text, "{" + dumpJson(value) + ":" + dumpJson(value) + "}") << length << " " << at;
            }
        }
    }
    // A text that is part of what was written already, as the output grows under it.
    const std::string quotes(20, 'q');
    std::string grown;
    JsonWriter self(grown);
    self.beginArray().string(quotes);
    self.string(std::string_view(grown).substr(2, quotes.size())).endArray();
    EXPECT_EQ(grown, "[\"" + quotes + "\",\"" + quotes + "\"]");

    std::string text;
    JsonWriter writer(text);
    writer.beginArray().beginObject().key("n").integer(-3).key("u").unsignedInteger(7).key("x").number(0.5);
    writer.endObject().string("s").null().endArray();
    EXPECT_EQ(text, R"([{"n":-3,"u":7,"x":0.5},"s",null])");
}

TEST(JsonTest, NestingPastTheBoundIsMalformed) {
    auto nested = [](std::size_t depth, char open, char close) {
        return std::string(depth, open) + std::string(depth, close);
    };
    EXPECT_TRUE(parseJson(nested(kMaxJsonDepth, '[', ']')));
    EXPECT_FALSE(parseJson(nested(kMaxJsonDepth + 1, '[', ']')));
    EXPECT_FALSE(parseJson("{\"a\":" + nested(100'000, '[', ']') + "}"));
    // Brackets inside strings, escaped quotes included, are text.
    EXPECT_TRUE(parseJson("[\"" + std::string(1000, '[') + "\\\"[[[\"]"));
}

// Nothing from outside reaches the terminal as a control sequence; our own sequences do.
TEST(PrintableTextTest, ControlsFromOutsideAreDroppedAndOursKept) {
    const std::string osc = "2.0\x1b]0;TITLE\x07\x1b]52;c;cHduZWQ=\x07";
    EXPECT_EQ(printableText(osc), "2.0]0;TITLE]52;c;cHduZWQ=");
    EXPECT_EQ(printableText("a\tb\nc\rd\x7f\x01" "e"), "a\tb\ncde");
    // C1 controls (8-bit CSI) and direction overrides; other text untouched, bad bytes marked.
    EXPECT_EQ(printableText("x\xc2\x9b" "31my\xe2\x80\xae" "z caf\xc3\xa9 \xff"), "x31myz caf\xc3\xa9 \xEF\xBF\xBD");
    EXPECT_EQ(printableText(ownControl("\x1b[1m") + "bold" + ownControl("\r\x1b[K")), "\x1b[1mbold\r\x1b[K");
    // Plain text is passed on eight bytes at a time: a control anywhere in a run still goes.
    for (std::string special : {"\x01", "\x1b", "\x1f", "\x7f"}) {
        for (std::size_t at = 0; at <= 17; ++at) {
            EXPECT_EQ(printableText(std::string(17, 'a').insert(at, special)), std::string(17, 'a')) << at;
        }
    }
    EXPECT_EQ(printableText(" ~" + std::string(15, ' ') + "~"), " ~" + std::string(15, ' ') + "~");

    // Fed byte by byte, as a stream flushes: the same result, our sequences still whole.
    const std::string mixed = "\xc3\xa9" + ownControl("\x1b[2m") + osc + "\x01" "ab";
    std::string out;
    PrintableTextFilter filter;
    for (char c : mixed) filter.feed(std::string_view(&c, 1), out);
    filter.finish(out);
    EXPECT_EQ(out, printableText(mixed));
    EXPECT_EQ(out, "\xc3\xa9\x1b[2m2.0]0;TITLE]52;c;cHduZWQ=ab");
}

TEST(StringsTest, Utf8IsRepairedNotDropped) {
    EXPECT_EQ(sanitizeUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(sanitizeUtf8("a\xffz"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(sanitizeUtf8("\xC3"), "\xEF\xBF\xBD");
    EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
}

TEST(UuidTest, OnlyTheCanonicalFormIsRead) {
    const std::string text = "0A1B2C3D-4E5F-6789-ABCD-EF0123456789";
    ASSERT_TRUE(Uuid::parse(text).has_value());
    EXPECT_EQ(Uuid::parse(text)->toString(), text);
    EXPECT_EQ(Uuid::parse("0a1b2c3d-4e5f-6789-abcd-ef0123456789"), Uuid::parse(text));
    EXPECT_EQ(Uuid::parse(text)->bytes()[15], 0x89);
    for (std::string bad : {"", "0A1B2C3D-4E5F-6789-ABCD-EF012345678", "0A1B2C3D-4E5F-6789-ABCD-EF01234567890",
                            "0A1B2C3D04E5F-6789-ABCD-EF0123456789", "0A1B2C3D-4E5F-6789-ABCDEEF0123456789",
                            "0A1B2C3D-4E5F-6789-ABCD-EF012345678G", "G0A1B2C3-4E5F-6789-ABCD-EF0123456789",
                            "0A1B2C3D-4E5F-6789-ABCD-EF01234567\xc3\xa9"}) {
        EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
    }
}

TEST(RandomTest, EveryByteAskedForIsFilledPastTheKernelsLimitOfACall) {
    // Zeroed first: a part left unfilled stays zero (250 zero bytes by chance: 2^-2000).
    std::vector<unsigned char> bytes(1000, 0);
    randomBytes(bytes.data(), bytes.size());
    for (std::size_t start = 0; start < bytes.size(); start += 250) {
        const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(start + 250, bytes.size()));
        EXPECT_TRUE(std::any_of(bytes.begin() + static_cast<std::ptrdiff_t>(start), end, [](unsigned char b) { return b != 0; }))
            << "bytes from " << start;
    }
}

// A file is replaced whole; one that already holds the bytes is not rewritten (a rescan that
// found nothing new costs no flush to disk); one that cannot be written leaves the others written.
TEST(FilesTest, FilesAreReplacedWholeEachOnItsOwnAndUnchangedOnesAreLeft) {
    testing::TempDir folder;
    auto inode = [](const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return std::pair{info.st_ino, info.st_mode & 07777};
    };
    const std::string same = folder.file("same.json"), changed = folder.file("changed.json");
    const std::string narrow = folder.file("narrow.json"), blocked = folder.file("blocked");
    writeFileAtomically(same, "[1]");
    writeFileAtomically(changed, "old contents");
    writeFileAtomically(changed, "[1]");
    EXPECT_EQ(readFile(changed), "[1]");
    EXPECT_THROW(writeFileAtomically(folder.file("missing/x"), "x"), FileWriteError);
    writeFileAtomically(narrow, "[1]", 0600);
    std::filesystem::create_directories(blocked + "/inside");
    const auto sameBefore = inode(same), changedBefore = inode(changed);

    writeFileAtomically(same, "[1]");
    EXPECT_EQ(inode(same), sameBefore);
    std::vector<std::optional<std::string>> errors = writeFilesAtomically(
        {{same, "[1]"}, {blocked, "[2]"}, {changed, "[2]"}, {narrow, "[1]"}, {folder.file("new.json"), "[3]"}});
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_FALSE(errors[0] || errors[2] || errors[3] || errors[4]);
    ASSERT_TRUE(errors[1].has_value());
    EXPECT_NE(errors[1]->find(blocked), std::string::npos) << *errors[1];
    EXPECT_EQ(inode(same), sameBefore);
    EXPECT_NE(inode(changed).first, changedBefore.first);
    EXPECT_EQ(readFile(changed), "[2]");
    EXPECT_EQ(inode(narrow).second, 0644u);  // the same bytes with another mode: written
    EXPECT_EQ(readFile(folder.file("new.json")), "[3]");
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 5);  // no temporaries
}

// Only regular files are read, and none past the limit: a FIFO in the place of a results
// file would hang the reader, a link to /dev/zero would fill memory.
TEST(FilesTest, OnlyRegularFilesWithinTheLimitAreRead) {
    testing::TempDir folder;
    const std::string fifo = folder.file("fifo"), zero = folder.file("zero"), file = folder.write("file", "0123456789");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", zero);

    EXPECT_EQ(readFileChecked(fifo).failure, FileRead::Failure::NotRegular);
    EXPECT_EQ(readFileChecked(zero).failure, FileRead::Failure::NotRegular);
    EXPECT_EQ(readFileChecked(folder.path()).failure, FileRead::Failure::NotRegular);
    EXPECT_EQ(readFileChecked(file, 9).failure, FileRead::Failure::TooLarge);
    EXPECT_EQ(readFileChecked(folder.file("missing")).failure, FileRead::Failure::Missing);
    EXPECT_EQ(readFileChecked(file, 10).contents, "0123456789");
    EXPECT_EQ(readFile(fifo), std::nullopt);
}

}  // namespace
}  // namespace vt
