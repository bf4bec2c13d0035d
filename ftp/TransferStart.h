// How a transfer begins and ends on the control connection: the 150 that
// announces it (sent once its data connection is made, right before its
// first byte, or when its start returns), the data connection started with
// the session's type, restart offset and protection, and the reply that
// ends it. The session's data connections report here: this is their owner
// of record (COwner), and it hands each one that has ended back to the
// session's transfers to be released after the current event.
#pragma once

#include "fs/FileStream.h"
#include "fs/LocalPath.h"
#include "ftp/DataSocket.h"
#include "ftp/Listing.h"

#include <memory>
#include <string>

class CAsyncSocket;
class CControlReplies;
class CSessionHost;
class CSessionState;
class CSessionTransfers;

class CTransferStart : public CDataSocket::COwner {
public:
    // rSession: the session's replies; rControl: its control connection.
    CTransferStart(CControlReplies& rSession, const CAsyncSocket& rControl, CSessionState& rState,
                   CSessionTransfers& rTransfers, CSessionHost& rHost);

    // The 150 of the transfer about to start: strWord is the command as the
    // client sent it (lower-cased), strShownPath what the reply names.
    void Announce(const std::string& strWord, const std::string& strShownPath);
    // A download (or a listing's temporary file, bDeleteAfter) of path;
    // strName is what the views call it. pListing: a listing still being
    // written into the file. pFile: the file already open. 0 once started,
    // -1 once refused (the refusal is sent).
    int Send(const CLocalPath& path, const std::string& strName, bool bDeleteAfter,
             std::unique_ptr<CListingBuilder> pListing = nullptr,
             std::unique_ptr<CFileStream> pFile = nullptr);
    // An upload into path (bAppend: added to its end).
    int Receive(const CLocalPath& path, const std::string& strName, bool bAppend = false);

private:
    // A transfer of the file with the session's type, restart offset and
    // protection.
    CDataSocket::STransfer NewTransfer(const CLocalPath& path, bool bSending);
    int Start(CDataSocket::STransfer transfer);
    // Sends the 150 of the transfer being started, if not sent yet.
    void SendAnnouncement();
    // Puts a transfer under PROT P where the client asked for it.
    void Protect(CDataSocket::STransfer& rTransfer);
    // An extended reply with no argument.
    void SendExtended(int nReply);

    // The data connections' reports.
    void OnDataConnected(CDataSocket& rData) override;
    void OnTransferFinished(CDataSocket& rData, bool bComplete) override;
    void OnDataSocketEnded(CDataSocket& rData) override;
    void OnDataConnectionRefused(CDataSocket& rData) override;

    CControlReplies& m_rSession;
    const CAsyncSocket& m_rControl;
    CSessionState& m_rState;
    CSessionTransfers& m_rTransfers;
    CSessionHost& m_rHost;
    std::string m_strAnnouncement;
};
