#include "config/RecordFields.h"

SRecordFields SRecordFields::Read(const std::string& strText, char chFirstSeparator) {
    SRecordFields fields;
    std::string strWork = strText;
    size_t nPos = strWork.find(chFirstSeparator);
    if (nPos == std::string::npos)
        return fields;
    fields.strFirst = strWork.substr(0, nPos);
    fields.nReached = 1;
    strWork.erase(0, nPos + 1);

    nPos = strWork.find(',');
    if (nPos == std::string::npos)
        return fields;
    fields.strSecond = strWork.substr(0, nPos);
    fields.nReached = 2;
    strWork.erase(0, nPos + 1);

    nPos = strWork.find(',');
    if (nPos == std::string::npos)
        return fields;
    // Only the first character of a permission field counts.
    fields.bUpload = !strWork.empty() && strWork[0] == '1';
    strWork.erase(0, nPos + 1);
    fields.bDownload = !strWork.empty() && strWork[0] == '1';
    fields.nReached = 4;
    return fields;
}

std::string SRecordFields::Compose(const std::string& strFirst, char chFirstSeparator,
                                   const std::string& strSecond, bool bUpload, bool bDownload) {
    return strFirst + chFirstSeparator + strSecond + "," + (bUpload ? "1" : "0") + "," +
           (bDownload ? "1" : "0");
}
