#include "config/RecordFields.h"

namespace {

// Only the first character of a permission field counts.
bool Granted(const std::string& strText, size_t nField) {
    return nField < strText.size() && strText[nField] == '1';
}

} // namespace

SRecordFields SRecordFields::Read(const std::string& strText, char chFirstSeparator) {
    SRecordFields fields;
    const size_t nFirst = strText.find(chFirstSeparator);
    if (nFirst == std::string::npos)
        return fields;
    fields.strFirst = strText.substr(0, nFirst);
    fields.nReached = 1;

    // With both flags present they are the last two fields, and the second
    // field is everything between: it may hold commas of its own.
    const size_t nLast = strText.rfind(',');
    const size_t nBeforeLast = nLast != std::string::npos && nLast > nFirst + 1
                                   ? strText.rfind(',', nLast - 1)
                                   : std::string::npos;
    if (nBeforeLast != std::string::npos && nBeforeLast > nFirst) {
        fields.strSecond = strText.substr(nFirst + 1, nBeforeLast - nFirst - 1);
        fields.bUpload = Granted(strText, nBeforeLast + 1);
        fields.bDownload = Granted(strText, nLast + 1);
        fields.nReached = 4;
        return fields;
    }

    // A shorter record: the second field up to the next comma, no flags.
    const size_t nSecond = strText.find(',', nFirst + 1);
    if (nSecond == std::string::npos)
        return fields;
    fields.strSecond = strText.substr(nFirst + 1, nSecond - nFirst - 1);
    fields.nReached = 2;
    return fields;
}

std::string SRecordFields::Compose(const std::string& strFirst, char chFirstSeparator,
                                   const std::string& strSecond, bool bUpload, bool bDownload) {
    return strFirst + chFirstSeparator + strSecond + "," + (bUpload ? "1" : "0") + "," +
           (bDownload ? "1" : "0");
}
