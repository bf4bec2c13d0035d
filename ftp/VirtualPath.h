// The virtual tree: normalising client paths, finding the folder-map entry
// that governs a path, mapping it to a local path, and the permission test.
#pragma once

#include "config/ServerSettings.h"
#include "fs/LocalPath.h"
#include "ftp/FtpTables.h"

#include <string>
#include <vector>

// Separator of local paths.
inline constexpr char kLocalSeparator = '/';

// Resolves strParameter against rBase (a virtual directory). On success rBase
// holds the new virtual path, which begins and ends with "/".
bool ResolvePath(std::string& rBase, const std::string& strParameter);
// The path a command names a file by (RETR, STOR, DELE, SIZE, MDTM): resolved
// against strFolder as far as it resolves, its final "/" removed.
std::string ResolveFilePath(const std::string& strFolder, const std::string& strParameter);

// The entry with the longest virtual path that governs strPath (the earlier
// of two equal ones); an empty record when none does.
CFolderRecord FindFolder(const CFolderMap& folderMap, const std::string& strPath);

// The local path of a virtual path, split at the local folder of the entry
// that governs it (everything is reached beneath that folder); empty when no
// entry governs it.
CLocalPath MapToLocalPath(const CFolderMap& folderMap, const std::string& strPath);
// The same as text.
std::string MapToRealPath(const CFolderMap& folderMap, const std::string& strPath);

// The folder-map entries below the virtual folder strPath (ending in "/"),
// each named after its first component below it, in map order (two
// entries below one folder give two names). A path with any is a folder
// even without a local one.
std::vector<std::string> FolderMapChildren(const CFolderMap& folderMap, const std::string& strPath);

// Whether the user may run a command of that access class on strPath:
// downloads need the download flag of user and folder, changes the upload
// flag of both; moving around and listing are always allowed.
//
// Where entries overlap (one entry's local folder lies inside another's),
// what the path really reaches (links resolved) is governed by every entry
// whose local folder holds it: each must allow the command, so that a folder
// published read-only cannot be changed through a writable entry that also
// reaches it.
bool CheckAccess(const CServerSettings& settings, const std::string& strUser, AccessClass access,
                 const std::string& strPath);
// The same with the users and a folder map of their own (a session's).
bool CheckAccess(const CUserList& users, const CFolderMap& folderMap, const std::string& strUser,
                 AccessClass access, const std::string& strPath);
// True when the local path reaches the local folder of an entry itself (by
// its own virtual path, or by any other path or link): such a folder is the
// administrator's, and cannot be renamed, nor have its mode or time changed.
bool IsPublishedFolderItself(const CFolderMap& folderMap, const CLocalPath& local);

// Makes the local folder of strPath the working directory and rCwd strPath.
// The process has one working directory: it follows the last successful
// change of any client, and nothing else depends on it.
bool ChangeDirectory(const CFolderMap& folderMap, std::string& rCwd, const std::string& strPath);
