#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vt::test {

// One entry of an archive a test writes with libarchive.
struct Entry {
    std::string name;
    std::string content;          // regular file data
    std::string symlink;          // non-empty: a symbolic link to this
    std::string hardlink;         // non-empty: a hard link to this entry name
    unsigned perm = 0644;
    bool directory = false;
};

enum class Format { Zip, Tar, TarGz, TarBz2, TarXz };

inline void writeArchive(const std::string& path, Format format, const std::vector<Entry>& entries) {
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

}  // namespace vt::test
