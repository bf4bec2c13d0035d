#include "ftp/DataProtection.h"

CDataProtection::Verdict CDataProtection::Judge(bool bHandshakeOk, const std::string& strSessionTag,
                                                bool bReused, bool bAtPassivePort) const {
    // A connection that could not be protected carries nothing.
    if (!bHandshakeOk)
        return Verdict::Fail;
    const bool bOtherSession = strSessionTag != m_settings.strTlsSessionTag;
    if (!m_settings.bRequireReuse || (!bOtherSession && bReused))
        return Verdict::Accept;
    // One that resumed another session is someone else's (a second client
    // on the same address): a passive port waits on for its own client. One
    // that resumed nothing is taken as the client's own, which does not
    // resume: the transfer fails.
    if (bOtherSession && bReused && bAtPassivePort)
        return Verdict::TurnAway;
    return Verdict::Refuse;
}

void CDataProtection::Record(Verdict verdict) {
    switch (verdict) {
    case Verdict::Accept:
        m_bRefused = false;
        return;
    case Verdict::TurnAway:
    case Verdict::Refuse:
        m_bRefused = true;
        return;
    case Verdict::Fail:
        return;
    }
}
