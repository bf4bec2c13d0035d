#include "ftp/FileCommands.h"

#include "config/ServerSettings.h"
#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/PathResolver.h"
#include "ftp/SessionState.h"
#include "ftp/TransferStart.h"
#include "ftp/VirtualPath.h"
#include "res/Strings.h"

#include <new>
#include <sys/stat.h>

CFileCommands::CFileCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState), m_rStart(context.rStart),
      m_strWord(context.strWord) {}

void CFileCommands::DoRetr(const CCommandRow& rRow, const std::string& strParameter) {
    CPathResolver::STarget target;
    if (!CPathResolver(m_rSession, m_rState)
             .Resolve(rRow, strParameter, CPathResolver::PathForm::File, target))
        return;
    // The file is opened now, which also tells that it is there; one that
    // cannot be opened yet (no descriptor left, say) is tried again once
    // the connection is made, as long as it exists.
    std::unique_ptr<CFileStream> pFile(target.local.IsEmpty() ? nullptr
                                                              : new (std::nothrow) CFileStream);
    int nError = 0;
    if (pFile && !pFile->Open(target.local, CFileStream::Mode::Read, !m_rState.IsBinary(), nError))
        pFile.reset();
    if (!pFile && (target.local.IsEmpty() || !target.local.Exists())) {
        m_rSession.SendFormatted(REPLY_CANT_READ, strParameter);
        return;
    }
    // A small file goes whole within this command when its connection is
    // already there, right behind its 150.
    m_rStart.Announce(m_strWord, target.strPath);
    m_rStart.Send(target.local, target.strPath, false, nullptr, std::move(pFile));
}

void CFileCommands::DoStor(const CCommandRow& rRow, const std::string& strParameter) {
    ReceiveUpload(rRow, strParameter, false);
}

void CFileCommands::DoExtendedStor(const CCommandRow& rRow, const std::string& strParameter) {
    // A restart beyond the end of the file would leave a hole of zeros.
    if (m_rState.Restart() > 0) {
        CLocalPath local = MapToLocalPath(CPathResolver::SessionMap(m_rSession, m_rState),
                                          ResolveFilePath(m_rState.Folder(), strParameter));
        struct stat info {};
        if (local.IsEmpty() || !local.Stat(info) || m_rState.Restart() > info.st_size) {
            m_rState.ClearRestart();
            m_rSession.SendExtended(XREPLY_BAD_RESTART);
            return;
        }
    }
    DoStor(rRow, strParameter);
}

void CFileCommands::DoAppe(const CCommandRow& rRow, const std::string& strParameter) {
    // An append goes on from the end of the file: a restart offset has no part.
    m_rState.ClearRestart();
    ReceiveUpload(rRow, strParameter, true);
}

void CFileCommands::ReceiveUpload(const CCommandRow& rRow, const std::string& strParameter,
                                  bool bAppend) {
    CPathResolver::STarget target;
    if (!CPathResolver(m_rSession, m_rState)
             .Resolve(rRow, strParameter, CPathResolver::PathForm::File, target))
        return;
    if (target.local.IsEmpty()) {
        m_rSession.SendFormatted(REPLY_CANT_CREATE, strParameter);
        return;
    }
    m_rStart.Announce(m_strWord, target.strPath);
    m_rStart.Receive(target.local, target.strPath, bAppend);
}
