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
