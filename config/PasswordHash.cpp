#include "config/PasswordHash.h"

#include <sodium.h>

namespace {

bool Ready() {
    // Safe from any thread, and cheap after the first call.
    return sodium_init() >= 0;
}

std::string Cut(const std::string& strPassword) {
    return strPassword.size() <= CPasswordHash::kMaxPasswordBytes
               ? strPassword
               : strPassword.substr(0, CPasswordHash::kMaxPasswordBytes);
}

} // namespace

bool CPasswordHash::IsHash(const std::string& strField) {
    return strField.rfind(kPrefix, 0) == 0;
}

bool CPasswordHash::IsReadable(const std::string& strHash) {
    // Reads the parameters without hashing anything: -1 is a form it
    // cannot read.
    return IsHash(strHash) && strHash.size() < crypto_pwhash_STRBYTES && Ready() &&
           crypto_pwhash_str_needs_rehash(strHash.c_str(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != -1;
}

const std::string& CPasswordHash::DummyHash() {
    static const std::string kDummy = "$argon2id$v=19$m=65536,t=2,p=1$mlfzFzk2RMijI3hRwRCPQg$"
                                      "diJAvW60ZD16UBtnh1Q74q7iZFwlOnLkvYa4m2pLUPs";
    return kDummy;
}

std::string CPasswordHash::Hash(const std::string& strPassword) {
    if (!Ready())
        return std::string();
    const std::string strCut = Cut(strPassword);
    char szHash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(szHash, strCut.data(), strCut.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return std::string();
    return szHash;
}

bool CPasswordHash::Matches(const std::string& strHash, const std::string& strPassword) {
    if (!IsReadable(strHash))
        return false;
    const std::string strCut = Cut(strPassword);
    return crypto_pwhash_str_verify(strHash.c_str(), strCut.data(), strCut.size()) == 0;
}

std::vector<std::string> CPasswordHash::UnreadableUsers(const CUserList& users) {
    std::vector<std::string> names;
    for (const CUserRecord& user : users)
        if (user.HasName() && IsHash(user.Password()) && !IsReadable(user.Password()))
            names.push_back(user.Name());
    return names;
}

bool CPasswordHash::HoldsHashes(const CUserList& users) {
    for (const CUserRecord& user : users)
        if (IsHash(user.Password()))
            return true;
    return false;
}

bool CPasswordHash::NeedsHash(const CUserRecord& user) {
    return user.IsComplete() && !user.Password().empty() && !IsHash(user.Password());
}

bool CPasswordHash::HashPlainPasswords(CUserList& rUsers) {
    bool bChanged = false;
    for (CUserRecord& rUser : rUsers) {
        if (!NeedsHash(rUser))
            continue;
        const std::string strHash = Hash(rUser.Password());
        if (strHash.empty())
            continue;
        rUser = CUserRecord::Make(rUser.Name(), strHash, rUser.MayUpload(), rUser.MayDownload());
        bChanged = true;
    }
    return bChanged;
}
