#include "ftp/CommandTable.h"

const CCommandRow* FindCommand(std::span<const CCommandRow> rows, const std::string& strWord) {
    for (const CCommandRow& row : rows)
        if (strWord.rfind(row.pszWord, 0) == 0)
            return &row;
    return nullptr;
}
