#include "updates/ArchiveExtractor.hpp"

#include "base/Cancellation.hpp"
#include "support/TempDir.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

struct Entry {
    std::string name;
    std::string content;          // regular file data
    std::string symlink;          // non-empty: a symbolic link to this
    std::string hardlink;         // non-empty: a hard link to this entry name
    unsigned perm = 0644;
    bool directory = false;
};

enum class Format { Zip, Tar, TarGz, TarBz2, TarXz };

void writeArchive(const std::string& path, Format format, const std::vector<Entry>& entries) {
    archive* a = archive_write_new();
    if (format == Format::Zip) {
        archive_write_set_format_zip(a);
    } else {
        archive_write_set_format_pax_restricted(a);
        if (format == Format::TarGz) archive_write_add_filter_gzip(a);
        if (format == Format::TarBz2) archive_write_add_filter_bzip2(a);
        if (format == Format::TarXz) archive_write_add_filter_xz(a);
    }
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_perm(entry, e.perm);
        if (!e.symlink.empty()) {
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.symlink.c_str());
        } else if (!e.hardlink.empty()) {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, e.hardlink.c_str());
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        } else if (e.directory) {
            archive_entry_set_filetype(entry, AE_IFDIR);
        } else {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        }
        archive_write_header(a, entry);
        if (!e.content.empty()) archive_write_data(a, e.content.data(), e.content.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool isEmptyFolder(const fs::path& path) { return fs::is_directory(path) && fs::is_empty(path); }

ArchiveError::Kind extractFailure(const ArchiveExtractor& extractor, const std::string& archive, const fs::path& into) {
    try {
        extractor.extract(archive, into.string());
    } catch (const ArchiveError& error) {
        return error.kind();
    }
    ADD_FAILURE() << archive << " was unpacked";
    return ArchiveError::Kind::Unreadable;
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
        EXPECT_EQ(readText(contents / "Info.plist"), "<plist/>");
        EXPECT_EQ(readText(contents / "Frameworks/Bar.framework/Bar"), "lib");
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

    std::ofstream(dir.path() + "/notes.txt") << "not an archive";
    EXPECT_EQ(extractFailure(ArchiveExtractor(), dir.path() + "/notes.txt", out), ArchiveError::Kind::Unreadable);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(ArchiveExtractor().extract(dir.path() + "/many.tar", out.string(), stop.get_token()),
                 CancellationError);
    EXPECT_TRUE(isEmptyFolder(out));
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
