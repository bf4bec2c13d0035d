// Unit tests: every test runs with its own configuration folder, so the
// settings store never touches the user's real settings.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    std::string strTemplate =
        (std::filesystem::temp_directory_path() / "skerrow-unit-XXXXXX").string();
    const char* pszDir = mkdtemp(strTemplate.data());
    if (!pszDir)
        return 1;
    std::string strConfig = std::string(pszDir) + "/config";
    std::string strHome = std::string(pszDir) + "/home";
    std::filesystem::create_directories(strConfig);
    std::filesystem::create_directories(strHome);
    setenv("XDG_CONFIG_HOME", strConfig.c_str(), 1);
    setenv("HOME", strHome.c_str(), 1);
    // Listings go beneath TMPDIR, which tests point where they look.
    unsetenv("XDG_RUNTIME_DIR");
    signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    int nResult = RUN_ALL_TESTS();
    std::filesystem::remove_all(pszDir);
    return nResult;
}
