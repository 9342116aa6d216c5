#include <gtest/gtest.h>

#include <algorithm>

#include "base/Strings.hpp"
#include "updates/DownloadFileName.hpp"
#include "updates/ManualUpdateCoordinator.hpp"

namespace vt {
namespace {

bool isSafeName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.front() != '-' && name.size() <= kMaxDownloadFileNameBytes &&
           std::none_of(name.begin(), name.end(), [](char c) { return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20; });
}

TEST(DownloadFileNameTest, ContentDispositionPrefersTheEncodedFormAndRefusesWhatCouldEscapeTheFolder) {
    // The encoded form preferred, decoded: ManualUpdateCoordinatorTest.
    EXPECT_EQ(fileNameFromContentDisposition(R"(attachment; FILENAME = " Quoted Name.zip ")"), "Quoted Name.zip");
    EXPECT_EQ(fileNameFromContentDisposition("inline"), std::nullopt);
    // An encoded form that decodes to nothing usable leaves the plain one.
    EXPECT_EQ(fileNameFromContentDisposition(R"(attachment; filename*=UTF-8''%2E%2E; filename="ok.pkg")"), "ok.pkg");

    for (const std::string& header : {
             std::string("attachment; filename*=UTF-8''..%2F..%2F.ssh%2Fauthorized_keys%0D%0AX-Evil: 1"),
             std::string(R"(attachment; filename="../../etc/passwd")"),
             std::string(R"(attachment; filename="..\..\Windows\evil.exe")"),
             std::string("attachment; filename=\"") + std::string(4096, 'a') + ".dmg\"",
             std::string("attachment; filename*=UTF-8''") + std::string(2000, 'x') + "%E2%82%AC" + ".tar.gz",
         }) {
        std::optional<std::string> name = fileNameFromContentDisposition(header);
        ASSERT_TRUE(name) << header;
        EXPECT_TRUE(isSafeName(*name)) << *name;
    }
    EXPECT_EQ(fileNameFromContentDisposition(std::string("attachment; filename=\"") + std::string(4096, 'a') + ".dmg\"")
                  ->substr(kMaxDownloadFileNameBytes - 4),
              ".dmg");
    EXPECT_TRUE(endsWith(*fileNameFromContentDisposition(std::string("attachment; filename=") + std::string(300, 'b') +
                                                         ".tar.gz"),
                         ".tar.gz"));
}

TEST(DownloadFileNameTest, WithoutAHeaderTheUrlThenTheItemNameVersionAndContentTypeNameTheFile) {
    EXPECT_EQ(downloadFileName(std::nullopt, "https://host/dl/My%20App-2.0.dmg?token=1", "My App", "2.0", "text/html"),
              "My App-2.0.dmg");
    EXPECT_EQ(downloadFileName(std::string("attachment"), "https://host/download", "My App", "2.0",
                               "application/x-apple-diskimage"),
              "My App 2.0.dmg");
    EXPECT_EQ(downloadFileName(std::nullopt, "https://host/latest/", "Tools/Suite", std::nullopt, "application/zip"),
              "Tools-Suite update.zip");
    EXPECT_EQ(downloadFileName(std::nullopt, "https://host", "X", "1", "application/vnd.apple.installer+xml"), "X 1.pkg");
    EXPECT_EQ(downloadFileName(std::nullopt, "https://host/get", "X", "", "application/x-gzip"), "X update.tar.gz");
    EXPECT_EQ(downloadFileName(std::nullopt, "https://host/get", "X", "1", std::nullopt), "X 1.download");
    EXPECT_EQ(extensionForContentType("application/octet-stream"), "download");
}

TEST(DownloadFileNameTest, ItemKeysFollowTheInstallPathThenTheAddressThenTheName) {
    EXPECT_EQ(ManualUpdateCoordinator::itemKey({"App", "2.0", "https://h/a.dmg", "/Applications/App.app"}),
              "path:/Applications/App.app|version:2.0");
    EXPECT_EQ(ManualUpdateCoordinator::itemKey({"App", "2.0", "https://h/a.dmg", std::nullopt}),
              "url:https://h/a.dmg|version:2.0");
    EXPECT_EQ(ManualUpdateCoordinator::itemKey({"My App", std::nullopt, std::nullopt, std::nullopt}),
              "name:my app|version:");
    CompletedManualDownload download{CompletedManualDownload::fileURLFor("/home/u/Downloads/Café 100%.dmg"), "2.0",
                                     std::nullopt};
    EXPECT_EQ(download.fileURL, "file:///home/u/Downloads/Caf%C3%A9%20100%25.dmg");
    EXPECT_EQ(download.path(), "/home/u/Downloads/Café 100%.dmg");
}

}  // namespace
}  // namespace vt
