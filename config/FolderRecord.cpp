#include "config/FolderRecord.h"

#include "config/RecordFields.h"

CFolderRecord CFolderRecord::Parse(const std::string& strText) {
    const SRecordFields fields = SRecordFields::Read(strText, '=');
    CFolderRecord record;
    record.m_strText = strText;
    record.m_strVirtualPath = fields.strFirst;
    record.m_strRealPath = fields.strSecond;
    record.m_bUpload = fields.bUpload;
    record.m_bDownload = fields.bDownload;
    record.m_bHasVirtualPath = fields.nReached >= 1;
    return record;
}

CFolderRecord CFolderRecord::Make(const std::string& strVirtual, const std::string& strReal,
                                  bool bUpload, bool bDownload) {
    return Parse(SRecordFields::Compose(strVirtual, '=', strReal, bUpload, bDownload));
}

CFolderMap ParseFolderMap(const std::vector<std::string>& texts) {
    CFolderMap folders;
    folders.reserve(texts.size());
    for (const std::string& strText : texts)
        folders.push_back(CFolderRecord::Parse(strText));
    return folders;
}

std::vector<std::string> RecordTexts(const CFolderMap& folders) {
    std::vector<std::string> texts;
    texts.reserve(folders.size());
    for (const CFolderRecord& folder : folders)
        texts.push_back(folder.Text());
    return texts;
}
