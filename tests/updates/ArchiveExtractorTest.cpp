#include "updates/ArchiveExtractor.hpp"

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "updates/TestArchives.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <limits>

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using test::Entry;
using test::Format;
using test::writeArchive;

bool isEmptyFolder(const fs::path& path) { return fs::is_directory(path) && fs::is_empty(path); }

ArchiveError::Kind extractFailure(const ArchiveExtractor& extractor, const std::string& archive, const fs::path& into) {
    return testing::thrown<ArchiveError>([&] { extractor.extract(archive, into.string()); }).value().kind();
}

const std::vector<Entry> kBundle = {
    {"Foo.app/", "", "", "", 0755, true},
    {"Foo.app/Contents/Info.plist", "<plist/>"},
    {"Foo.app/Contents/MacOS/Foo", "#!/bin/sh\n", "", "", 04755},
    {"Foo.app/Contents/Frameworks/Bar.framework/Versions/A/Bar", "lib"},
    {"Foo.app/Contents/Frameworks/Bar.framework/Versions/Current", "", "A"},
    {"Foo.app/Contents/Frameworks/Bar.framework/Bar", "", "Versions/Current/Bar"},
    {"Foo.app/Contents/Resources/copy", "lib", "", "Foo.app/Contents/Frameworks/Bar.framework/Versions/A/Bar"},
};

TEST(ArchiveExtractorTest, UnpacksEveryFormatWithLinksInsideTheBundle) {
    TempDir dir;
    for (Format format : {Format::Zip, Format::Tar, Format::TarGz, Format::TarBz2, Format::TarXz}) {
        std::string archive = dir.path() + "/bundle" + std::to_string(static_cast<int>(format));
        writeArchive(archive, format, kBundle);
        fs::path out = fs::path(dir.path()) / ("out" + std::to_string(static_cast<int>(format)));
        ArchiveExtractor().extract(archive, out.string());

        fs::path contents = out / "Foo.app/Contents";
        EXPECT_EQ(readFile(contents / "Info.plist"), "<plist/>");
        EXPECT_EQ(readFile(contents / "Frameworks/Bar.framework/Bar"), "lib");
        EXPECT_EQ(fs::read_symlink(contents / "Frameworks/Bar.framework/Versions/Current"), "A");
        struct stat info {};
        ASSERT_EQ(::stat((contents / "MacOS/Foo").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0755u) << "executable kept, set-id dropped";
        if (format != Format::Zip) {
            ASSERT_EQ(::stat((contents / "Resources/copy").c_str(), &info), 0);
            EXPECT_EQ(info.st_nlink, 2u);
        }
    }
}

TEST(ArchiveExtractorTest, RefusesEntriesLeadingOutsideAndWritesNothing) {
    TempDir dir;
    fs::path outside = fs::path(dir.path()) / "outside";
    fs::create_directories(outside);
    fs::path out = fs::path(dir.path()) / "out";
    fs::create_directories(out / "kept");
    std::string absolute = (outside / "abs").string();
    const std::vector<std::vector<Entry>> attacks = {
        {{"ok", "x"}, {"../outside/evil", "x"}},
        {{"a/../../outside/evil", "x"}},
        {{absolute, "x"}},
        {{"link", "", "../outside"}},
        {{"link", "", outside.string()}},
        {{"d/b", "", ".."}, {"d/a", "", "b/../outside"}},  // each inside alone, outside through b
        {{"d/up", "", "../d"}, {"d/up/../../outside/evil", "x"}},
        {{"hard", "x", "", "../outside/target"}},
        {{"d/", "", "", "", 0755, true}, {"d/link", "", "."}, {"d/link/evil", "x"}},
    };
    ArchiveExtractor extractor;
    for (std::size_t i = 0; i < attacks.size(); ++i) {
        for (Format format : {Format::Tar, Format::Zip}) {
            if (format == Format::Zip && !attacks[i][0].hardlink.empty()) continue;  // zip has no hard links
            std::string archive = dir.path() + "/attack" + std::to_string(i) + (format == Format::Zip ? ".zip" : ".tar");
            writeArchive(archive, format, attacks[i]);
            EXPECT_EQ(extractFailure(extractor, archive, out), ArchiveError::Kind::UnsafeEntry) << archive;
            EXPECT_TRUE(isEmptyFolder(outside)) << archive;
            EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(out), {}), std::vector<fs::path>{out / "kept"})
                << archive << ": what it made is removed, what was there stays";
        }
    }
}

TEST(ArchiveExtractorTest, FailsClearlyOnDamageBombsAndCancellation) {
    TempDir dir;
    fs::path out = fs::path(dir.path()) / "out";
    std::string big(3 << 20, 'z');
    for (Format format : {Format::Zip, Format::TarGz}) {
        std::string archive = dir.path() + "/big" + std::to_string(static_cast<int>(format));
        writeArchive(archive, format, {{"Foo.app/a", "small"}, {"Foo.app/b", big}});
        EXPECT_EQ(extractFailure(ArchiveExtractor({1 << 20, 100}), archive, out), ArchiveError::Kind::TooLarge);
        EXPECT_FALSE(fs::exists(out / "Foo.app"));

        std::string truncated = archive + ".cut";
        fs::copy_file(archive, truncated);
        fs::resize_file(truncated, fs::file_size(archive) / 2);
        EXPECT_EQ(extractFailure(ArchiveExtractor(), truncated, out), ArchiveError::Kind::Damaged) << archive;
        EXPECT_TRUE(isEmptyFolder(out));
    }

    std::vector<Entry> many;
    for (int i = 0; i < 101; ++i) many.push_back({"f" + std::to_string(i), "."});
    writeArchive(dir.path() + "/many.tar", Format::Tar, many);
    EXPECT_EQ(extractFailure(ArchiveExtractor({1 << 20, 100}), dir.path() + "/many.tar", out),
              ArchiveError::Kind::TooManyEntries);
    EXPECT_TRUE(isEmptyFolder(out));

    EXPECT_EQ(extractFailure(ArchiveExtractor(), dir.write("notes.txt", "not an archive"), out), ArchiveError::Kind::Unreadable);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(ArchiveExtractor().extract(dir.path() + "/many.tar", out.string(), stop.get_token()),
                 CancellationError);
    EXPECT_TRUE(isEmptyFolder(out));
}

// A small archive never fills the disk: what it unpacks to is bounded by its own size and by
// the free space, whatever the fixed bound allows.
TEST(ArchiveExtractorTest, UnpackingIsBoundedByTheArchivesSizeAndTheFreeSpace) {
    TempDir dir;
    fs::path out = fs::path(dir.path()) / "out";
    const std::string bomb = dir.path() + "/bomb.tar.gz";
    writeArchive(bomb, Format::TarGz, {{"Foo.app/Contents/zeros", std::string(80 << 20, '\0')}});
    ASSERT_LT(fs::file_size(bomb), 1u << 20);
    EXPECT_EQ(extractFailure(ArchiveExtractor(), bomb, out), ArchiveError::Kind::TooLarge);
    EXPECT_TRUE(isEmptyFolder(out));

    ArchiveLimits trusting;
    trusting.maxExpansionRatio = 100'000;
    ArchiveExtractor(trusting).extract(bomb, out.string());
    EXPECT_EQ(fs::file_size(out / "Foo.app/Contents/zeros"), 80u << 20);
    fs::remove_all(out);

    const std::string small = dir.path() + "/small.zip";
    writeArchive(small, Format::Zip, {{"Foo.app/Contents/Info.plist", "<plist/>"}});
    ArchiveLimits fullDisk;
    fullDisk.reserveBytes = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(extractFailure(ArchiveExtractor(fullDisk), small, out), ArchiveError::Kind::TooLarge);
}

// The bundle that gets installed is checked on its own: a link may stay in the unpacked
// folder and still lead out of the application.
TEST(ArchiveExtractorTest, AnInstalledBundleHoldsNoLinkOutOfItself) {
    TempDir dir;
    fs::path out = fs::path(dir.path()) / "out";
    const std::string archive = dir.path() + "/apps.tar";
    writeArchive(archive, Format::Tar,
                 {{"Up.app/Contents/Info.plist", "x"},
                  {"Up.app/Contents/up", "", "../.."},
                  {"Chain.app/Contents/a", "", "b"},
                  {"Chain.app/Contents/b", "", "../../Up.app"},
                  {"Ok.app/Contents/Frameworks/A/lib", "x"},
                  {"Ok.app/Contents/Frameworks/Current", "", "A"},
                  {"Ok.app/Contents/Self", "", "../Contents/Frameworks/Current/lib"},
                  {"Ok.app/Contents/Dangling", "", "Gone"}});
    ArchiveExtractor().extract(archive, out.string());
    for (const char* bundle : {"Up.app", "Chain.app"}) {
        const auto error =
            testing::thrown<ArchiveError>([&] { ArchiveExtractor::requireSelfContained((out / bundle).string()); });
        EXPECT_EQ(error.value().kind(), ArchiveError::Kind::UnsafeEntry) << bundle;
        EXPECT_NE(error->description().find("link leading outside the application"), std::string::npos);
    }
    EXPECT_NO_THROW(ArchiveExtractor::requireSelfContained((out / "Ok.app").string()));
}

TEST(ArchiveExtractorTest, FindsTheBundleToInstall) {
    TempDir dir;
    fs::path root(dir.path());
    for (const char* folder : {"z/Deep.app/Contents", "B.app/Contents/Helpers/Inner.app", "A.app/Contents",
                               "__MACOSX/Top.app", "x/Named.app"})
        fs::create_directories(root / folder);
    fs::create_directory_symlink(root / "B.app", root / "0.app");

    EXPECT_EQ(ArchiveExtractor::findAppBundle(dir.path()), (root / "A.app").string()) << "shallowest, then by name";
    EXPECT_EQ(ArchiveExtractor::findAppBundle(dir.path(), "named.APP"), (root / "x/Named.app").string());
    EXPECT_EQ(ArchiveExtractor::findAppBundle(dir.path(), "Inner.app"), (root / "A.app").string())
        << "bundles are not looked into";
    fs::remove_all(root / "A.app");
    fs::remove_all(root / "B.app");
    fs::remove_all(root / "x");
    EXPECT_EQ(ArchiveExtractor::findAppBundle(dir.path()), (root / "z/Deep.app").string());
    fs::remove_all(root / "z");
    EXPECT_EQ(ArchiveExtractor::findAppBundle(dir.path()), std::nullopt);
}

}  // namespace
}  // namespace vt
