// A folder of each user's own (the extended mode): "%u" in a folder
// record's local path stands for the logged-in user's name, so that one
// record ("/=/srv/ftp/%u/,1,1") gives every user a tree of their own. The
// session works with the map its user's name makes of the settings' map,
// and every rule of the folder map (permissions of user and folder, links,
// overlapping entries, the published folders themselves) holds in it.
//
// In the classic mode, and in a map where no local path holds "%u", the
// settings' map is used as it is ("%u" is then just text).
#pragma once

#include "config/ServerSettings.h"

#include <string>

class CUserFolders {
public:
    // The longest name that may stand for "%u" (a folder name's limit).
    static constexpr size_t kMaxName = 255;

    // Some entry's local path holds "%u".
    static bool UsesUserName(const CFolderMap& folderMap);
    // The name can stand for "%u" without leading out of the folder that
    // holds it: not empty, at most kMaxName bytes, no "/", no NUL, no "..",
    // and not ".".
    static bool IsUsableName(const std::string& strUser);
    // The map with every "%u" of a local path replaced by strUser; an
    // unusable name gets an empty map (nothing is reached), never a path
    // out of its parent.
    static CFolderMap Substitute(const CFolderMap& folderMap, const std::string& strUser);

    // What making a user's folder came to.
    enum class Made { Already, Made, Failed };
    // Makes the folder that the first "%u" of the local path strTemplate
    // names for strUser (a usable name), mode 0750, when it is missing
    // (Already: it is there, or the path holds no "%u"): only
    // that one component, made inside its parent's open folder, so that a
    // link in its place is never followed. rFolder: the folder's path;
    // rWhy: the system's reason of a failure.
    static Made MakeFolder(const std::string& strTemplate, const std::string& strUser,
                           std::string& rFolder, std::string& rWhy);

    // The map a session of strUser (empty before login) works with under
    // these settings. The substituted map is kept and made again only when
    // the settings' map or the name changes, so that a change at Apply or a
    // reload reaches the session at its next command.
    const CFolderMap& Map(const CServerSettings& settings, bool bExtended,
                          const std::string& strUser) const;

private:
    // The settings' map and the name the kept map was made from.
    mutable CFolderMap m_source;
    mutable std::string m_strUser;
    mutable CFolderMap m_map;
    mutable bool m_bKept = false;
};
