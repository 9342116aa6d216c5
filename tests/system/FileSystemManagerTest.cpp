#include <functional>

#include <gtest/gtest.h>

#include <unistd.h>

#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

FileSystemError::Kind kindOf(const std::function<void()>& operation) {
    return testing::thrown<FileSystemError>(operation).value().kind();
}

TEST(FileSystemManagerTest, AnswersAndTypedErrorsFromTheRealFileSystem) {
    testing::TempDir folder("vt-fs");
    folder.write("b.txt", "bee");
    folder.write(".hidden", "");
    folder.writeExecutable("tool", "#!/bin/sh\n");
    folder.makeFolder("a");
    ::symlink(folder.file("tool").c_str(), folder.file("link").c_str());
    SystemFileSystemManager fileSystem;

    EXPECT_EQ(fileSystem.readFile(folder.file("b.txt")), "bee");
    EXPECT_EQ(fileSystem.contentsOfDirectory(folder.path()),
              (std::vector<std::string>{".hidden", "a", "b.txt", "link", "tool"}));
    EXPECT_TRUE(fileSystem.isExecutableFile(folder.file("tool")));
    EXPECT_TRUE(fileSystem.isExecutableFile(folder.file("link")));
    EXPECT_FALSE(fileSystem.isExecutableFile(folder.file("b.txt")));
    EXPECT_FALSE(fileSystem.isExecutableFile(folder.file("a")));
    EXPECT_FALSE(fileSystem.isExecutableFile(folder.file("missing")));
    EXPECT_TRUE(fileSystem.fileExists(folder.file("a")));
    EXPECT_TRUE(fileSystem.directoryExists(folder.file("a")));
    EXPECT_FALSE(fileSystem.directoryExists(folder.file("b.txt")));

    EXPECT_EQ(kindOf([&] { fileSystem.readFile(folder.file("missing")); }), FileSystemError::Kind::FileNotFound);
    EXPECT_EQ(kindOf([&] { fileSystem.readFile(folder.file("a")); }), FileSystemError::Kind::InvalidPath);
    EXPECT_EQ(kindOf([&] { fileSystem.readFile(""); }), FileSystemError::Kind::InvalidPath);
    EXPECT_EQ(kindOf([&] { fileSystem.contentsOfDirectory(folder.file("missing")); }),
              FileSystemError::Kind::DirectoryNotFound);
    EXPECT_EQ(kindOf([&] { fileSystem.contentsOfDirectory(folder.file("b.txt")); }),
              FileSystemError::Kind::DirectoryNotFound);
    if (::geteuid() != 0) {  // root reads anything
        folder.write("secret", "x", 0000);
        EXPECT_EQ(kindOf([&] { fileSystem.readFile(folder.file("secret")); }), FileSystemError::Kind::PermissionDenied);
    }
}

}  // namespace
}  // namespace vt
