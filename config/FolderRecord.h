// One entry of the folder map, stored as "virtual=real,U,D": the local
// folder real published under the virtual path, and whether it may be
// uploaded into (U) and downloaded from (D).
//
// A record is read once, when the settings are read, and keeps the text it
// was read from: that text is what is written back, exactly as it was found.
#pragma once

#include <string>
#include <vector>

class CFolderRecord;
using CFolderMap = std::vector<CFolderRecord>;

class CFolderRecord {
public:
    CFolderRecord() = default;
    // A record as stored. The virtual path runs up to the first '='. With
    // at least two commas after it, the last two fields are the permissions
    // (the first character of each: '1' grants it) and the local folder is
    // everything between, commas and '=' and all. A shorter text is read
    // from the left (the local folder up to the next comma), and fields
    // after its end stay empty and refused: "/x=/srv/x/" has no local
    // folder, and governs nothing.
    static CFolderRecord Parse(const std::string& strText);
    // The record the folder dialog makes from its fields, read as it will be
    // read from the settings (nothing is escaped: any local folder reads
    // back as it was given).
    static CFolderRecord Make(const std::string& strVirtual, const std::string& strReal,
                              bool bUpload, bool bDownload);

    const std::string& VirtualPath() const { return m_strVirtualPath; }
    const std::string& RealPath() const { return m_strRealPath; }
    bool MayUpload() const { return m_bUpload; }
    bool MayDownload() const { return m_bDownload; }
    // The record as it is stored.
    const std::string& Text() const { return m_strText; }
    // The text has the '=' after a virtual path (which may be empty).
    bool HasVirtualPath() const { return m_bHasVirtualPath; }

    bool operator==(const CFolderRecord& other) const { return m_strText == other.m_strText; }

private:
    std::string m_strText;
    std::string m_strVirtualPath;
    std::string m_strRealPath;
    bool m_bUpload = false;
    bool m_bDownload = false;
    bool m_bHasVirtualPath = false;
};

// The records of stored texts, and the texts to store.
CFolderMap ParseFolderMap(const std::vector<std::string>& texts);
std::vector<std::string> RecordTexts(const CFolderMap& folders);
