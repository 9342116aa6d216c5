#include <filesystem>

#include <unistd.h>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Strings.hpp"

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
    std::string text;
    JsonWriter writer(text);
    writer.beginArray().beginObject().key("n").integer(-3).key("u").unsignedInteger(7).key("x").number(0.5);
    writer.endObject().string("s").null().endArray();
    EXPECT_EQ(text, R"([{"n":-3,"u":7,"x":0.5},"s",null])");
}

TEST(StringsTest, Utf8IsRepairedNotDropped) {
    EXPECT_EQ(sanitizeUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(sanitizeUtf8("a\xffz"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(sanitizeUtf8("\xC3"), "\xEF\xBF\xBD");
    EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
}

TEST(FilesTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporary) {
    auto folder = std::filesystem::temp_directory_path() / ("vt-files-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::string path = (folder / "data.json").string();
    writeFileAtomically(path, "old");
    writeFileAtomically(path, "new contents");
    EXPECT_EQ(readFile(path), "new contents");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    EXPECT_THROW(writeFileAtomically((folder / "missing" / "x").string(), "x"), FileWriteError);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vt
