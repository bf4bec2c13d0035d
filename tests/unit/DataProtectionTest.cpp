// The verdict on a protected data connection once its handshake has ended,
// and what the transfer keeps of it for its reply.
#include "ftp/DataProtection.h"

#include <gtest/gtest.h>

namespace {

using Verdict = CDataProtection::Verdict;

const char kOwnTag[] = "control-session-1";
const char kOtherTag[] = "control-session-2";

CDataProtection Protection(bool bRequireReuse) {
    CDataProtection::SSettings settings;
    settings.bRequireReuse = bRequireReuse;
    settings.strTlsSessionTag = kOwnTag;
    return CDataProtection(std::move(settings));
}

} // namespace

TEST(DataProtection, AFailedHandshakeFailsWhateverElseItShows) {
    for (bool bRequireReuse : {true, false}) {
        const CDataProtection protection = Protection(bRequireReuse);
        EXPECT_EQ(protection.Judge(false, kOwnTag, true, true), Verdict::Fail);
        EXPECT_EQ(protection.Judge(false, kOtherTag, true, true), Verdict::Fail);
        EXPECT_EQ(protection.Judge(false, "", false, false), Verdict::Fail);
    }
}

TEST(DataProtection, ResumingTheControlSessionIsAcceptedAtEitherKindOfPort) {
    const CDataProtection protection = Protection(true);
    EXPECT_EQ(protection.Judge(true, kOwnTag, true, true), Verdict::Accept);
    EXPECT_EQ(protection.Judge(true, kOwnTag, true, false), Verdict::Accept);
}

TEST(DataProtection, AnotherClientsSessionIsTurnedAwayOnlyWhereAPassivePortWaits) {
    const CDataProtection protection = Protection(true);
    EXPECT_EQ(protection.Judge(true, kOtherTag, true, true), Verdict::TurnAway);
    // A session without a tag is someone else's too.
    EXPECT_EQ(protection.Judge(true, "", true, true), Verdict::TurnAway);
    // An active connection has no port to wait at: it is refused.
    EXPECT_EQ(protection.Judge(true, kOtherTag, true, false), Verdict::Refuse);
}

TEST(DataProtection, ANewSessionIsTheClientsOwnThatDidNotResume) {
    // Not resumed: refused, never turned away, whatever tag the new session
    // has and wherever the connection came from.
    const CDataProtection protection = Protection(true);
    EXPECT_EQ(protection.Judge(true, kOwnTag, false, true), Verdict::Refuse);
    EXPECT_EQ(protection.Judge(true, kOtherTag, false, true), Verdict::Refuse);
    EXPECT_EQ(protection.Judge(true, "", false, false), Verdict::Refuse);
}

TEST(DataProtection, WithoutRequiredResumptionAnyHandshakeIsAccepted) {
    const CDataProtection protection = Protection(false);
    EXPECT_EQ(protection.Judge(true, kOtherTag, true, true), Verdict::Accept);
    EXPECT_EQ(protection.Judge(true, kOtherTag, false, false), Verdict::Accept);
    EXPECT_EQ(protection.Judge(true, "", false, true), Verdict::Accept);
}

TEST(DataProtection, ARefusalStaysUntilAConnectionIsAcceptedNotAfterAFailedHandshake) {
    CDataProtection protection = Protection(true);
    EXPECT_FALSE(protection.IsRefused());
    // A failed handshake says nothing of the session.
    protection.Record(Verdict::Fail);
    EXPECT_FALSE(protection.IsRefused());
    // Another client turned away: if the port's time runs out, the
    // transfer failed for its session.
    protection.Record(Verdict::TurnAway);
    EXPECT_TRUE(protection.IsRefused());
    protection.Record(Verdict::Fail);
    EXPECT_TRUE(protection.IsRefused());
    protection.Record(Verdict::Accept);
    EXPECT_FALSE(protection.IsRefused());
    protection.Record(Verdict::Refuse);
    EXPECT_TRUE(protection.IsRefused());
}

TEST(DataProtection, PlainTransfersAreNotProtected) {
    const CDataProtection protection{CDataProtection::SSettings{}};
    EXPECT_FALSE(protection.IsOn());
    EXPECT_FALSE(protection.KeepsListener());
}
