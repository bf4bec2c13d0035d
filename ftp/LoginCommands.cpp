#include "ftp/LoginCommands.h"

#include "config/PasswordHash.h"
#include "config/ServerSettings.h"
#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/PasswordChecks.h"
#include "ftp/SessionHost.h"
#include "ftp/SessionState.h"
#include "ftp/UserFolders.h"
#include "ftp/VirtualPath.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <chrono>

namespace {

// The longest user name kept: no configured name is longer, and a longer
// one is never compared or logged whole.
constexpr size_t kMaxUserName = 255;

// The name cut at kMaxUserName bytes, not inside a UTF-8 sequence.
std::string CutUserName(const std::string& strName) {
    if (strName.size() <= kMaxUserName)
        return strName;
    size_t nEnd = kMaxUserName;
    // Back over the continuation bytes (at most three) of a sequence the
    // cut would split.
    for (int i = 0; i < 3 && nEnd > 0 && (static_cast<unsigned char>(strName[nEnd]) & 0xC0) == 0x80;
         ++i)
        --nEnd;
    return strName.substr(0, nEnd);
}

} // namespace

CLoginCommands::CLoginCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState), m_rHost(context.rHost) {}

bool CLoginCommands::IsKnown(const CUserRecord& record, const std::string& strUser) {
    return !record.Name().empty() && record.Name() == strUser;
}

bool CLoginCommands::CheckLogin(const CUserRecord& record, const std::string& strUser,
                                const std::string& strPassword) {
    if (!IsKnown(record, strUser))
        return false;
    if (!record.Password().empty() && record.Password() != strPassword)
        return false;
    return true;
}

bool CLoginCommands::RefusedWhileBanned(const std::string& strUser) {
    // Only a logged-in session of a banned address is still here (the ban
    // ended the others): it keeps its transfers until it tries to log in
    // again, which would let it go on guessing.
    if (!m_rHost.RefusesLogin(m_rSession, strUser))
        return false;
    m_rSession.SendExtended(XREPLY_BANNED);
    m_rSession.Log(
        LogEvent::Disconnect,
        FormatString(LoadString(IDS_CONNECTION_CLOSED), m_rSession.PeerAddress().c_str()), 0);
    // The host ends the session after this event; nothing of it is used after.
    m_rHost.RemoveClient(m_rSession);
    return true;
}

void CLoginCommands::DoUser(const CCommandRow&, const std::string& strParameter) {
    const std::string strUser = CutUserName(strParameter);
    if (RefusedWhileBanned(strUser))
        return;
    m_rState.NameUser(strUser);
    m_rSession.SendReply(ReplyText(REPLY_ENTER_PASS));
}

void CLoginCommands::DoPass(const CCommandRow&, const std::string& strParameter) {
    const std::string& strUser = m_rState.User();
    if (RefusedWhileBanned(strUser))
        return;
    if (strUser.empty()) {
        m_rSession.SendReply(ReplyText(REPLY_USER_FIRST));
        return;
    }
    const CUserList& users = m_rSession.Settings().m_users;
    const CUserRecord record = FindUser(users, strUser);
    const bool bKnown = IsKnown(record, strUser);
    // A stored hash is checked on another thread. So is an unknown name's
    // password while any user has a hash, against a hash of no one: a wrong
    // name then takes as long as a wrong password. Plain passwords are
    // compared here, at once.
    if (bKnown ? CPasswordHash::IsHash(record.Password()) : CPasswordHash::HoldsHashes(users)) {
        CheckHash(bKnown ? record.Password() : CPasswordHash::DummyHash(), strParameter, bKnown);
        return;
    }
    if (!CheckLogin(record, strUser, strParameter)) {
        Refuse(0);
        return;
    }
    LogIn(0);
}

bool CLoginCommands::Refuse(int nWaitedMs) {
    // Unknown names and wrong passwords alike, on a logged-in session
    // too: counted at once, and answered a second after the PASS, so that
    // guessing is slow; the connection reads nothing more meanwhile.
    if (!m_rHost.LoginFailed(m_rSession, m_rState.User()))
        return false;
    m_rSession.DelayFailedLoginReply(nWaitedMs);
    return true;
}

bool CLoginCommands::OpensUserFolders() {
    // The mode the login is about to take.
    const CServerSettings& settings = m_rSession.Settings();
    if (!settings.m_extended.m_bEnabled || !CUserFolders::UsesUserName(settings.m_folderMap))
        return true;
    const std::string& strUser = m_rState.User();
    if (!CUserFolders::IsUsableName(strUser)) {
        m_rSession.Log(FormatString(LoadString(IDS_USER_NAME_UNUSABLE),
                                    m_rSession.PeerAddress().c_str(), LogSafe(strUser).c_str()),
                       0);
        return false;
    }
    if (!settings.m_extended.m_bMakeUserFolders)
        return true;
    for (const CFolderRecord& record : settings.m_folderMap) {
        std::string strFolder;
        std::string strWhy;
        const CUserFolders::Made made =
            CUserFolders::MakeFolder(record.RealPath(), strUser, strFolder, strWhy);
        if (made == CUserFolders::Made::Made)
            m_rSession.Log(
                LogEvent::File,
                FormatString(LoadString(IDS_USER_FOLDER_MADE), LogSafe(strFolder).c_str()), 0);
        else if (made == CUserFolders::Made::Failed)
            m_rSession.Log(FormatString(LoadString(IDS_USER_FOLDER_FAILED),
                                        LogSafe(strFolder).c_str(), strWhy.c_str()),
                           0);
    }
    return true;
}

void CLoginCommands::LogIn(int nWaitedMs) {
    // The password was right: the refusal is not counted as a guess, but
    // answered as a failed login is.
    if (!OpensUserFolders()) {
        m_rSession.DelayFailedLoginReply(nWaitedMs);
        return;
    }
    const std::string strUser = m_rState.User();
    m_rState.EnterRoot();
    m_rHost.LoginSucceeded(m_rSession);
    // A change of mode in the settings takes effect at a login.
    m_rSession.TakeProtocol();
    m_rSession.SendReply(ReplyText(REPLY_LOGGED_IN));
    m_rState.SetLoggedIn();
    m_rHost.RelabelClient(m_rSession, strUser + " (" + m_rSession.PeerAddress() + ")");
    m_rSession.Log(LogEvent::Login,
                   FormatString(LoadString(IDS_USER_LOGGED_IN), LogSafe(strUser).c_str(),
                                LogSafe(m_rState.Folder()).c_str()),
                   0);
}

void CLoginCommands::CheckHash(const std::string& strHash, const std::string& strPassword,
                               bool bKnown) {
    const auto asked = std::chrono::steady_clock::now();
    std::string strWhy;
    const CPasswordChecks::Result result = m_rHost.PasswordChecks().Check(
        strHash, strPassword, bKnown, m_rHost.CompletionFor(m_rSession.Id()),
        [asked](CClientSocket& rSession, bool bMatch) {
            rSession.EndLoginCheck([asked, bMatch](SCommandContext& rContext) {
                return CLoginCommands(rContext).AnswerCheck(bMatch, asked);
            });
        },
        &strWhy);
    if (result == CPasswordChecks::Result::Queued) {
        m_rSession.BeginLoginCheck();
        return;
    }
    // Not checked: the client is told to come back later, and closed.
    if (result == CPasswordChecks::Result::NoThread)
        m_rSession.Log(FormatString(LoadString(IDS_HASH_NO_THREAD),
                                    LogSafe(m_rState.User()).c_str(), strWhy.c_str()),
                       0);
    m_rSession.SendExtended(result == CPasswordChecks::Result::Full ? XREPLY_LOGINS_WAITING
                                                                    : XREPLY_LOGIN_UNCHECKED);
    m_rSession.Log(
        LogEvent::Disconnect,
        FormatString(LoadString(IDS_CONNECTION_CLOSED), m_rSession.PeerAddress().c_str()), 0);
    // The host ends the session after this event; nothing of it is used after.
    m_rHost.RemoveClient(m_rSession);
}

bool CLoginCommands::AnswerCheck(bool bMatch, std::chrono::steady_clock::time_point asked) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - asked);
    const int nWaitedMs =
        static_cast<int>(std::min<int64_t>(waited.count(), CClientSocket::kLoginDelayMs));
    if (bMatch) {
        LogIn(nWaitedMs);
        return true;
    }
    return Refuse(nWaitedMs);
}

void CLoginCommands::DoQuit(const CCommandRow&, const std::string&) {
    m_rSession.SendReply(ReplyText(REPLY_GOODBYE));
    // The connection stays until the client closes its side; the sending
    // side ends once every reply is out.
    m_rSession.ShutDownWhenSent();
}
