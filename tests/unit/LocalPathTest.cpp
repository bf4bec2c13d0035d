// Containment of local paths beneath their published folder, with real
// folders and links in a temporary directory; every case runs with openat2
// and again as on a system without it.
#include "fs/LocalPath.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class LocalPathTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        CLocalPath::UseCanonicalCheckOnly(GetParam());
        m_base = fs::temp_directory_path() /
                 ("skerrow-beneath-" + std::to_string(getpid()) + (GetParam() ? "-c" : "-o"));
        fs::remove_all(m_base);
        m_root = m_base / "root";
        m_outside = m_base / "outside";
        fs::create_directories(m_root / "sub" / "deeper");
        fs::create_directories(m_outside / "dir");
        Write(m_root / "inside.txt", "inside");
        Write(m_outside / "secret.txt", "secret");
        // Links that stay inside, relative and absolute.
        fs::create_symlink("inside.txt", m_root / "rel_in");
        fs::create_symlink(m_root / "inside.txt", m_root / "abs_in");
        fs::create_symlink("../inside.txt", m_root / "sub" / "up_in");
        fs::create_symlink(m_root / "sub", m_root / "dir_in");
        // Links that lead out, directly or by way of other links.
        fs::create_symlink(m_outside / "secret.txt", m_root / "abs_out");
        fs::create_symlink("../outside/secret.txt", m_root / "rel_out");
        fs::create_symlink("../../outside/secret.txt", m_root / "sub" / "escape");
        fs::create_symlink("abs_out", m_root / "chain_out");
        fs::create_symlink("sub/escape", m_root / "in_then_out");
        fs::create_symlink(m_outside / "dir", m_root / "dir_out");
        fs::create_symlink("loop_b", m_root / "loop_a");
        fs::create_symlink("loop_a", m_root / "loop_b");
        fs::create_symlink("missing", m_root / "dangling_in");
        fs::create_symlink(m_outside / "missing", m_root / "dangling_out");
        // A published folder that is itself a link.
        fs::create_directory_symlink(m_root, m_base / "root_link");
    }
    void TearDown() override {
        CLocalPath::UseCanonicalCheckOnly(false);
        fs::remove_all(m_base);
    }
    static void Write(const fs::path& path, const std::string& strText) {
        std::ofstream(path) << strText;
    }
    CLocalPath In(const std::string& strRelative) const {
        return CLocalPath(m_root.string() + "/", strRelative);
    }
    // The content read through the path, or "" when it cannot be opened.
    static std::string Read(const CLocalPath& path) {
        int nError = 0;
        int hFile = path.Open(O_RDONLY, 0, nError);
        if (hFile < 0)
            return "";
        char buffer[64];
        ssize_t n = ::read(hFile, buffer, sizeof buffer);
        ::close(hFile);
        return std::string(buffer, static_cast<size_t>(n > 0 ? n : 0));
    }

    fs::path m_base, m_root, m_outside;
};

} // namespace

TEST_P(LocalPathTest, FilesAndLinksThatStayInsideAreReached) {
    EXPECT_EQ(Read(In("inside.txt")), "inside");
    EXPECT_EQ(Read(In("rel_in")), "inside");
    EXPECT_EQ(Read(In("abs_in")), "inside");
    EXPECT_EQ(Read(In("sub/up_in")), "inside");
    EXPECT_EQ(Read(In("dir_in/up_in")), "inside");
    EXPECT_EQ(Read(CLocalPath((m_base / "root_link").string(), "inside.txt")), "inside");
    EXPECT_TRUE(In("").Exists());
    EXPECT_TRUE(In("sub/").Exists());
    EXPECT_EQ(In("sub/deeper").Full(), m_root.string() + "/sub/deeper");
}

TEST_P(LocalPathTest, LinksThatLeadOutCountAsMissing) {
    for (const char* pszName : {"abs_out", "rel_out", "sub/escape", "chain_out", "in_then_out",
                                "dir_out/../outside/secret.txt", "loop_a", "dangling_out"}) {
        EXPECT_EQ(Read(In(pszName)), "") << pszName;
        EXPECT_FALSE(In(pszName).Exists()) << pszName;
    }
    EXPECT_FALSE(In("dir_out").Exists());
    EXPECT_EQ(In("dir_out").OpenFolder(), nullptr);
    int nError = 0;
    EXPECT_FALSE(In("dir_out").MakeCurrentFolder(nError));
}

TEST_P(LocalPathTest, NothingOutsideIsWrittenMadeOrRemoved) {
    int nError = 0;
    for (const char* pszName : {"abs_out", "rel_out", "chain_out", "dangling_out", "dir_out/new"}) {
        int hFile = In(pszName).Open(O_WRONLY | O_CREAT | O_TRUNC, 0666, nError);
        EXPECT_LT(hFile, 0) << pszName;
        if (hFile >= 0)
            ::close(hFile);
    }
    EXPECT_EQ(Read(CLocalPath::Unconfined((m_outside / "secret.txt").string())), "secret");
    EXPECT_FALSE(fs::exists(m_outside / "missing"));
    EXPECT_FALSE(fs::exists(m_outside / "dir" / "new"));

    EXPECT_FALSE(In("dir_out/made").MakeFolder(nError));
    EXPECT_FALSE(fs::exists(m_outside / "dir" / "made"));
    EXPECT_FALSE(In("dir_out/secret.txt").Delete(nError));
    EXPECT_FALSE(In("abs_out").Delete(nError));
    EXPECT_TRUE(fs::is_symlink(m_root / "abs_out"));
    EXPECT_FALSE(In("dir_out").RemoveFolder(nError));
    EXPECT_TRUE(fs::exists(m_outside / "dir"));
}

TEST_P(LocalPathTest, ChangesInsideWork) {
    int nError = 0;
    int hFile = In("sub/new.txt").Open(O_WRONLY | O_CREAT | O_TRUNC, 0666, nError);
    ASSERT_GE(hFile, 0) << nError;
    ::close(hFile);
    EXPECT_TRUE(fs::exists(m_root / "sub" / "new.txt"));
    // A link to a missing file inside creates that file; without openat2
    // where a link leads that leads nowhere is unknown, so it is refused.
    hFile = In("dangling_in").Open(O_WRONLY | O_CREAT, 0666, nError);
    if (GetParam()) {
        EXPECT_LT(hFile, 0);
    } else {
        ASSERT_GE(hFile, 0) << nError;
        ::close(hFile);
        EXPECT_TRUE(fs::exists(m_root / "missing"));
    }

    EXPECT_TRUE(In("made/").MakeFolder(nError));
    EXPECT_TRUE(fs::is_directory(m_root / "made"));
    EXPECT_FALSE(In("made/").MakeFolder(nError));
    EXPECT_EQ(nError, EEXIST);
    EXPECT_TRUE(In("made/").RemoveFolder(nError));
    EXPECT_FALSE(fs::exists(m_root / "made"));
    EXPECT_TRUE(In("sub/new.txt").Delete(nError));
    EXPECT_FALSE(fs::exists(m_root / "sub" / "new.txt"));
    // The link itself goes, not its target.
    EXPECT_TRUE(In("rel_in").Delete(nError));
    EXPECT_TRUE(fs::exists(m_root / "inside.txt"));
    // The published folder itself is removed through its own path only as
    // a folder, and only when it is empty.
    EXPECT_FALSE(In("").RemoveFolder(nError));
    EXPECT_EQ(nError, ENOTEMPTY);
    EXPECT_FALSE(In("").Delete(nError));
    EXPECT_TRUE(fs::is_directory(m_root));
}

TEST_P(LocalPathTest, AnEmptyPublishedFolderIsRemovedThroughItsOwnPath) {
    int nError = 0;
    fs::create_directory(m_base / "empty");
    fs::create_directory_symlink(m_base / "empty", m_base / "empty_link");
    // Published through a link: the link is not a folder, nothing goes.
    EXPECT_FALSE(CLocalPath((m_base / "empty_link").string() + "/", "").RemoveFolder(nError));
    EXPECT_EQ(nError, ENOTDIR);
    EXPECT_TRUE(fs::is_directory(m_base / "empty"));
    // Named with or without its final separators, or with "/" below it.
    EXPECT_TRUE(CLocalPath((m_base / "empty").string() + "//", "/").RemoveFolder(nError));
    EXPECT_FALSE(fs::exists(m_base / "empty"));
    EXPECT_FALSE(CLocalPath((m_base / "empty").string(), "").RemoveFolder(nError));
    EXPECT_EQ(nError, ENOENT);
    // The root of the file system is never removed.
    EXPECT_FALSE(CLocalPath("/", "").RemoveFolder(nError));
    EXPECT_TRUE(fs::exists(m_outside / "secret.txt"));
}

TEST_P(LocalPathTest, EmptyAndUnconfinedPaths) {
    CLocalPath none;
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_EQ(none.Full(), "");
    EXPECT_FALSE(none.Exists());
    CLocalPath temp = CLocalPath::Unconfined((m_outside / "secret.txt").string());
    EXPECT_FALSE(temp.IsEmpty());
    EXPECT_EQ(temp.Full(), (m_outside / "secret.txt").string());
    EXPECT_EQ(Read(temp), "secret");
}

INSTANTIATE_TEST_SUITE_P(Openat2AndCanonicalCheck, LocalPathTest, ::testing::Values(false, true));
