#include "config/ServerSettings.h"

namespace {

// Shared by both record kinds: "<first><sep1><second>,<U>,<D>".
void ParseRecord(const std::string& strRecord, char chFirstSep, std::string& rFirst,
                 std::string& rSecond, bool& rUpload, bool& rDownload) {
    std::string strWork = strRecord;
    size_t nPos = strWork.find(chFirstSep);
    if (nPos == std::string::npos)
        return;
    rFirst = strWork.substr(0, nPos);
    strWork.erase(0, nPos + 1);

    nPos = strWork.find(',');
    if (nPos == std::string::npos)
        return;
    rSecond = strWork.substr(0, nPos);
    strWork.erase(0, nPos + 1);

    nPos = strWork.find(',');
    if (nPos == std::string::npos)
        return;
    // Only the first character of a permission field counts.
    rUpload = !strWork.empty() && strWork[0] == '1';
    strWork.erase(0, nPos + 1);
    rDownload = !strWork.empty() && strWork[0] == '1';
}

} // namespace

void ParseUserRecord(const std::string& strRecord, CUserRecord& rRecord) {
    ParseRecord(strRecord, ',', rRecord.m_strName, rRecord.m_strPassword, rRecord.m_bUpload,
                rRecord.m_bDownload);
}

void ParseFolderRecord(const std::string& strRecord, CFolderRecord& rRecord) {
    ParseRecord(strRecord, '=', rRecord.m_strVirtualPath, rRecord.m_strRealPath, rRecord.m_bUpload,
                rRecord.m_bDownload);
}

std::string ComposeUserRecord(const std::string& strName, const std::string& strPassword,
                              bool bUpload, bool bDownload) {
    return strName + "," + strPassword + "," + (bUpload ? "1" : "0") + "," +
           (bDownload ? "1" : "0");
}

std::string ComposeFolderRecord(const std::string& strVirtual, const std::string& strReal,
                                bool bUpload, bool bDownload) {
    return strVirtual + "=" + strReal + "," + (bUpload ? "1" : "0") + "," + (bDownload ? "1" : "0");
}

CUserRecord FindUser(const std::vector<std::string>& users, const std::string& strName) {
    CUserRecord record;
    for (const std::string& strUser : users) {
        size_t nComma = strUser.find(',');
        if (nComma == std::string::npos)
            continue;
        if (strUser.compare(0, nComma, strName) == 0 && nComma == strName.size())
            ParseUserRecord(strUser, record);
    }
    return record;
}
