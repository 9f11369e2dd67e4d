// Where the process puts downloads when the user's temporary folder is unusual: too long for
// the ordinary path functions, or gone. The process takes its folder from TMP and TEMP, which
// the test gives it. Files that land in the fallback folder (the prefix's own) are removed.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace {

// One JPEG shot on the first camera of a process whose TMP and TEMP name `temporaryFolder`;
// the downloaded file, or nothing with a failure recorded.
std::optional<DownloadedFile> ShootOnce(const std::string& temporaryFolder) {
    CHostSession session;
    std::string error;
    if (!session.start(BuiltProgram("lensbridge.exe"), 15000, &error,
                       {{"TMP", temporaryFolder}, {"TEMP", temporaryFolder}})) {
        ADD_FAILURE() << error;
        return std::nullopt;
    }
    std::vector<CameraInfo> cameras;
    std::unique_ptr<ZnLuaTE> settings;
    std::vector<DownloadedFile> files;
    if (!session.listCameras(&cameras, &error) || cameras.empty() ||
        !session.connect(cameras[0].deviceId, &settings, &error) ||
        !session.capture(&files, 30000, &error) || files.size() != 1) {
        ADD_FAILURE() << "no download: " << error;
        return std::nullopt;
    }
    ExpectOrderlyShutdown(session);
    return files[0];
}

// The file starts as a JPEG does; read through the wide API, which takes the long form.
bool IsJpegFile(const std::string& path) {
    std::FILE* file = _wfopen(Wide(path).c_str(), L"rb");
    if (!file) return false;
    unsigned char start[2] = {};
    const bool read = std::fread(start, 1, 2, file) == 2;
    std::fclose(file);
    return read && start[0] == 0xFF && start[1] == 0xD8;
}

TEST(DownloadFolder, ATemporaryFolderPastMaxPathStillTakesTheDownload) {
    // Nested folders in a folder of the test's own, each short enough, together far past
    // MAX_PATH; they are removed here, through the long form, before the test folder goes.
    CTestDownloadFolder root(CurrentTestName());
    ASSERT_TRUE(root.valid());
    std::string folder = "\\\\?\\" + root.path();
    std::vector<std::string> created;
    for (int i = 0; folder.size() < 320; ++i) {
        folder += "lb_long_folder_" + std::string(40, 'a' + i) + "\\";
        ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS) << folder;
        created.push_back(folder);
    }
    const std::string plain = folder.substr(4);  // as a user's settings would name it
    const std::optional<DownloadedFile> file = ShootOnce(plain);
    if (file) {
        // Windows returns such a folder, and the process writes into it through the "\\?\"
        // form; Wine's GetTempPathW refuses one past MAX_PATH (error 206), and the process
        // then takes the fallback folder.
        EXPECT_EQ(file->path, (IsRunningUnderWine() ? LocalTemporaryFolder() : folder) + file->fileName);
        EXPECT_TRUE(IsJpegFile(file->path)) << file->path;
        DeleteFileW(Wide(file->path).c_str());
    }
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        EXPECT_TRUE(RemoveDirectoryW(Wide(*it).c_str())) << "left behind: " << *it;
    }
}

TEST(DownloadFolder, AMissingTemporaryFolderFallsBackToTheLocalApplicationData) {
    const std::string fallback = LocalTemporaryFolder();
    const std::optional<DownloadedFile> file = ShootOnce("C:\\lb_no_such_temporary_folder");
    if (file) {
        EXPECT_EQ(file->path, fallback + file->fileName);
        EXPECT_TRUE(IsJpegFile(file->path)) << file->path;
        DeleteFileW(Wide(file->path).c_str());
    }
}

}  // namespace
