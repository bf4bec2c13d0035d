// The layout both kinds of settings record share, "<first><sep><second>,<U>,<D>":
// a user "name,password,U,D", a published folder "virtual=real,U,D".
#pragma once

#include <string>

// What one record text says. The first field ends at the first separator.
// When at least two commas follow it, the record is read from both ends:
// the last two fields are the permissions and the second field is
// everything between, commas and all, so that a record composed of any
// second field reads back identical. A shorter text is read from the left,
// and a text that ends before a field leaves it, and every field after it,
// unread: nReached counts the fields read (0: not even the first separator;
// 1: the first field; 2: the first two; 4: all four, the permissions being
// read together).
struct SRecordFields {
    std::string strFirst;
    std::string strSecond;
    bool bUpload = false;
    bool bDownload = false;
    int nReached = 0;

    static SRecordFields Read(const std::string& strText, char chFirstSeparator);
    // The text of a record from its four fields, nothing escaped.
    static std::string Compose(const std::string& strFirst, char chFirstSeparator,
                               const std::string& strSecond, bool bUpload, bool bDownload);
};
