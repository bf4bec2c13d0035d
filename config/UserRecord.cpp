#include "config/UserRecord.h"

#include "config/RecordFields.h"

#include <algorithm>

CUserRecord CUserRecord::Parse(const std::string& strText) {
    const SRecordFields fields = SRecordFields::Read(strText, ',');
    CUserRecord record;
    record.m_strText = strText;
    record.m_strName = fields.strFirst;
    record.m_strPassword = fields.strSecond;
    record.m_bUpload = fields.bUpload;
    record.m_bDownload = fields.bDownload;
    record.m_nReached = fields.nReached;
    return record;
}

CUserRecord CUserRecord::Make(const std::string& strName, const std::string& strPassword,
                              bool bUpload, bool bDownload) {
    return Parse(SRecordFields::Compose(strName, ',', strPassword, bUpload, bDownload));
}

CUserRecord FindUser(const CUserList& users, const std::string& strName) {
    CUserRecord found;
    for (const CUserRecord& user : users) {
        if (!user.HasName() || user.m_strName != strName)
            continue;
        found.m_strText = user.m_strText;
        found.m_strName = user.m_strName;
        found.m_nReached = std::max(found.m_nReached, user.m_nReached);
        if (user.m_nReached >= 2)
            found.m_strPassword = user.m_strPassword;
        if (user.m_nReached >= 4) {
            found.m_bUpload = user.m_bUpload;
            found.m_bDownload = user.m_bDownload;
        }
    }
    return found;
}

CUserList ParseUserList(const std::vector<std::string>& texts) {
    CUserList users;
    users.reserve(texts.size());
    for (const std::string& strText : texts)
        users.push_back(CUserRecord::Parse(strText));
    return users;
}

std::vector<std::string> RecordTexts(const CUserList& users) {
    std::vector<std::string> texts;
    texts.reserve(users.size());
    for (const CUserRecord& user : users)
        texts.push_back(user.Text());
    return texts;
}
