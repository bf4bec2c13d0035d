#include "ftp/CommandTable.h"

#include "res/Strings.h"

#include <algorithm>
#include <vector>

const CCommandRow* FindCommand(std::span<const CCommandRow> rows, const std::string& strWord) {
    for (const CCommandRow& row : rows)
        if (strWord.rfind(row.pszWord, 0) == 0)
            return &row;
    return nullptr;
}

std::string FeatureReply(std::initializer_list<std::span<const CCommandRow>> tables,
                         bool bTlsOffered) {
    std::vector<std::string> features;
    for (std::span<const CCommandRow> rows : tables)
        for (const CCommandRow& row : rows)
            if (row.pszFeature && (bTlsOffered || row.tls != TlsRole::Exchange))
                features.push_back(row.pszFeature);
    std::sort(features.begin(), features.end());
    features.erase(std::unique(features.begin(), features.end()), features.end());
    std::string strLines;
    for (const std::string& strFeature : features)
        strLines += " " + strFeature + "\r\n";
    return FormatString(ExtendedReplyText(XREPLY_FEATURES), strLines.c_str());
}
