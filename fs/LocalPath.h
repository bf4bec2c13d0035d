// A local path that must stay beneath a published folder.
//
// It holds the folder as configured (which may itself be a symbolic link:
// it is resolved at each use) and the path below it. Every operation reaches
// the file or folder without following a link out of the published folder:
// openat2 with RESOLVE_BENEATH where the system has it, else a check of the
// canonical path. A link whose target lies outside counts as missing; links
// that stay inside work, absolute ones included.
#pragma once

#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

class CLocalPath {
public:
    CLocalPath() = default;
    // strRoot: the published folder; strRelative: the path below it, with no
    // leading separator (empty: the folder itself).
    CLocalPath(std::string strRoot, std::string strRelative);
    // A path used as it is, with no folder to stay beneath (the temporary
    // listing files the server makes itself).
    static CLocalPath Unconfined(std::string strPath);

    // True for the path of no published folder.
    bool IsEmpty() const { return m_bConfined && m_strRoot.empty(); }
    // The whole path as text: the folder, one separator, the path below.
    std::string Full() const;
    const std::string& Root() const { return m_strRoot; }
    const std::string& Relative() const { return m_strRelative; }
    // The entry strName inside this folder.
    CLocalPath Child(const std::string& strName) const;

    // Opens the path with open(2) flags; -1 with an errno cause in rError.
    // EXDEV: a link on the way leads out of the published folder.
    int Open(int nFlags, unsigned nMode, int& rError) const;
    bool Exists() const;
    // Opens the folder for enumeration; null on failure.
    DIR* OpenFolder() const;
    // The file operations of the commands; false with an errno cause.
    bool Delete(int& rError) const;
    bool MakeFolder(int& rError) const;
    // Removing the published folder itself (an empty path below it) removes
    // that folder when it is empty.
    bool RemoveFolder(int& rError) const;
    // Makes the folder the process's working directory.
    bool MakeCurrentFolder(int& rError) const;
    // The attributes of what the path reaches (a link inside, followed).
    bool Stat(struct stat& rInfo) const;
    // Where the path really is, every link resolved: the canonical path of
    // what it reaches, or of its folder followed by its last name when it
    // does not exist yet; empty when even its folder cannot be resolved.
    std::string RealPath() const;
    // Renames the entry to target, each beneath its own folder. An existing
    // entry is never replaced (EEXIST), and a move between file systems is
    // refused (EXDEV): a copy is not a rename.
    bool RenameTo(const CLocalPath& target, int& rError) const;

    // Sets the permission bits (chmod) or the modification time of what the
    // path reaches; false with an errno cause.
    bool SetMode(unsigned nMode, int& rError) const;
    bool SetModified(time_t when, int& rError) const;

    // Tests only: resolve as on a system without openat2.
    static void UseCanonicalCheckOnly(bool bOnly);

private:
    // Opens the folder that holds the last component, and names that component.
    int OpenParent(std::string& rName, int& rError) const;
    // Removes the entry (unlinkat flags: 0 a file, AT_REMOVEDIR a folder).
    bool RemoveEntry(int nFlags, int& rError) const;
    // True for the published folder itself: nothing below it.
    bool IsPublishedFolder() const;
    bool RemovePublishedFolder(int& rError) const;

    std::string m_strRoot;
    std::string m_strRelative;
    bool m_bConfined = true;
};
