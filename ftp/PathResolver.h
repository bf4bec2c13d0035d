// The one step of every command that names a path: resolved against the
// session's folder, the user's and the folder's flags checked for the
// command's access, mapped to its local path. A refusal is answered on the
// session.
#pragma once

#include "config/FolderRecord.h"
#include "fs/LocalPath.h"

#include <string>

class CClientSocket;
class CSessionState;
struct CCommandRow;

class CPathResolver {
public:
    CPathResolver(CClientSocket& rSession, const CSessionState& state);

    // A path a command names, resolved and checked.
    struct STarget {
        std::string strPath; // the virtual path
        CLocalPath local;    // its local path (empty where the map has none)
        bool bResolved = false;
    };
    // The form a command takes its path in: a file (without a final "/")
    // or a folder.
    enum class PathForm { File, Folder };
    // How a command refuses its path. A path that cannot be resolved is used
    // as far as it was resolved, unless bMustResolve (then strUnresolved is
    // sent, nothing when empty); a path the user or its folder may not reach
    // gets strDenied (the permission reply when empty).
    struct SRefusal {
        bool bMustResolve = false;
        std::string strUnresolved;
        std::string strDenied;
    };

    // False once the refusal is sent.
    bool Resolve(const CCommandRow& rRow, const std::string& strParameter, PathForm form,
                 STarget& rTarget, const SRefusal& refusal);
    // The same with the usual refusal (the permission reply).
    bool Resolve(const CCommandRow& rRow, const std::string& strParameter, PathForm form,
                 STarget& rTarget);
    // The user's and the folder's flags for the row's access; false once
    // strDenied (the permission reply when empty) is sent.
    bool Admit(const CCommandRow& rRow, const std::string& strPath,
               const std::string& strDenied = std::string());

    // The folder map the session's paths are mapped with: its user's own
    // (see CUserFolders).
    static const CFolderMap& SessionMap(const CClientSocket& session, const CSessionState& state);

private:
    CClientSocket& m_rSession;
    const CSessionState& m_state;
};
