#include "ftp/LoginCommands.h"

#include "config/ServerSettings.h"
#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "ftp/SessionState.h"
#include "ftp/VirtualPath.h"
#include "res/LogText.h"
#include "res/Strings.h"

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

bool CLoginCommands::CheckLogin(const std::string& strUser, const std::string& strPassword) const {
    CUserRecord record = FindUser(m_rSession.Settings().m_users, strUser);
    if (record.Name().empty() || record.Name() != strUser)
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
    if (!CheckLogin(strUser, strParameter)) {
        // Unknown names and wrong passwords alike, on a logged-in session
        // too: counted at once, and answered a second later, so that
        // guessing is slow; the connection reads nothing more meanwhile.
        if (!m_rHost.LoginFailed(m_rSession, strUser))
            return;
        m_rSession.DelayFailedLoginReply();
        return;
    }
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

void CLoginCommands::DoQuit(const CCommandRow&, const std::string&) {
    m_rSession.SendReply(ReplyText(REPLY_GOODBYE));
    // The connection stays until the client closes its side; the sending
    // side ends once every reply is out.
    m_rSession.ShutDownWhenSent();
}
