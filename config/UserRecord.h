// One account of the Users list, stored as "name,password,U,D": who may log
// in, with which password (empty: any), and whether the account may upload
// (U) and download (D).
//
// A record is read once, when the settings are read, and keeps the text it
// was read from: that text is what is written back, so that a record read
// oddly (a field missing) is stored again exactly as it was found.
#pragma once

#include <string>
#include <vector>

class CUserRecord;
using CUserList = std::vector<CUserRecord>;

class CUserRecord {
public:
    CUserRecord() = default;
    // A record as stored. The name runs up to the first comma. With at
    // least three commas, the last two fields are the permissions (the
    // first character of each: '1' grants it) and the password is
    // everything between, so it may hold commas ("ann,a,b,1,0" is ann,
    // password "a,b", upload only). A shorter text is read from the left,
    // and fields after its end stay empty and refused: "dave,pw,1" is dave,
    // password pw, both permissions refused.
    static CUserRecord Parse(const std::string& strText);
    // The record the user dialog makes from its fields, read as it will be
    // read from the settings (nothing is escaped: any password reads back
    // as it was given, but a comma in the name moves the name's end; the
    // user dialog refuses such names).
    static CUserRecord Make(const std::string& strName, const std::string& strPassword,
                            bool bUpload, bool bDownload);

    const std::string& Name() const { return m_strName; }
    const std::string& Password() const { return m_strPassword; }
    bool MayUpload() const { return m_bUpload; }
    bool MayDownload() const { return m_bDownload; }
    // The record as it is stored.
    const std::string& Text() const { return m_strText; }
    // The text has the comma after a name: without one the record names no
    // account (it is kept, shown and stored all the same).
    bool HasName() const { return m_nReached >= 1; }
    // The text holds every field, the permissions included.
    bool IsComplete() const { return m_nReached >= 4; }

    bool operator==(const CUserRecord& other) const { return m_strText == other.m_strText; }

private:
    friend CUserRecord FindUser(const CUserList& users, const std::string& strName);

    std::string m_strText;
    std::string m_strName;
    std::string m_strPassword;
    bool m_bUpload = false;
    bool m_bDownload = false;
    // The fields the text reaches (SRecordFields::nReached).
    int m_nReached = 0;
};

// Looks an account up by its exact name. Every record of that name counts,
// in list order, each over the one before as far as its own text reaches: a
// later "ann,pw2" changes ann's password and leaves the permissions of an
// earlier "ann,pw,1,1". No record of that name gives one with an empty name.
CUserRecord FindUser(const CUserList& users, const std::string& strName);

// The records of stored texts, and the texts to store.
CUserList ParseUserList(const std::vector<std::string>& texts);
std::vector<std::string> RecordTexts(const CUserList& users);
