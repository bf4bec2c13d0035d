#include "ftp/FtpTables.h"

#include <cctype>
#include <ctime>
#include <unistd.h>

namespace {

const char* const kReplies[REPLY_COUNT] = {
    "500 Unknown command \"%s\"\r\n",
    "500 Unsupported command or option\r\n",
    "502 Command not implemented\r\n",
    "500 \"%s\" : invalid number of parameters\r\n",
    "220 %s FTP version %s ready at %s\r\n",
    "530 Please log in with USER and PASS\r\n",
    "331 Enter PASS command\r\n",
    "503 Login with USER first.\r\n",
    "550 Permission denied\r\n",
    "230 Logged in\r\n",
    "221 Goodbye!\r\n",
    "215 Windows95/NT Type: L8 Version: %s\r\n",
    "200 Ok\r\n",
    "350 Restarting at %d ok\r\n",
    "200 Type %s OK\r\n",
    "501 Unknown type \"%s\"\r\n",
    "501 Only logical bytesize 8 supported\r\n",
    "200 Port command okay\r\n",
    "227 Entering passive mode (%d,%d,%d,%d,%d,%d)\r\n",
    "501 Passive mode failed\r\n",
    "501 Bad port syntax\r\n",
    "257 \"%s\" is current directory\r\n",
    "553 Can't change directory to \"%s\"\r\n",
    "250 File deleted\r\n",
    "550 Delete failed\r\n",
    "257 MKD ok\r\n",
    "550 MKD failed\r\n",
    "200 RMD ok\r\n",
    "550 RMD failed\r\n",
    "150 Opening data connection for %s \"%s\"\r\n",
    "226 Transfer complete\r\n",
    "550 Can't read file \"%s\"\r\n",
    "553 Can't create \"%s\"\r\n",
    "552 Write error\r\n",
    "425 Data connection reset\r\n",
};

const char* const kExtendedReplies[XREPLY_COUNT] = {
    "250 \"%s\" is current directory\r\n",
    "550 Can't change directory to \"%s\"\r\n",
    "257 \"%s\" created\r\n",
    "250 RMD ok\r\n",
    "215 UNIX Type: L8\r\n",
    // The lines come from the command table.
    "211-Features:\r\n%s211 End\r\n",
    "200 UTF8 set to on\r\n",
    "501 Option not understood\r\n",
    "213 %s\r\n",
    "550 File unavailable\r\n",
    "550 SIZE not allowed in ASCII mode\r\n",
    "350 Ready for RNTO\r\n",
    "250 Rename successful\r\n",
    "503 RNFR required first\r\n",
    "553 Rename failed\r\n",
    "229 Entering Extended Passive Mode (|||%s|)\r\n",
    "200 EPSV ALL ok\r\n",
    "503 Only EPSV is allowed after EPSV ALL\r\n",
    "522 Network protocol not supported, use (1)\r\n",
    "501 Bad EPRT argument\r\n",
    "200 EPRT command okay\r\n",
    "225 No transfer to abort\r\n",
    "426 Transfer aborted\r\n",
    "226 Abort successful\r\n",
    "211-Status of %s\r\n%s211 End of status\r\n",
    "213-Status of \"%s\"\r\n%s213 End of status\r\n",
    "214-The following commands are recognized:\r\n%s214 Help ok\r\n",
    "202 ALLO not needed\r\n",
    "200 SITE CHMOD ok\r\n",
    "501 Bad mode\r\n",
    "500 Unknown SITE command\r\n",
    "213 Modify=%s\r\n",
    "501 Bad time\r\n",
    "250-Listing \"%s\"\r\n%s250 End\r\n",
    "501 Not a directory\r\n",
    "421 Timeout.\r\n",
    "421 Too many connections from your address.\r\n",
    "554 Restart offset beyond the end of the file\r\n",
    "550 No such file or directory\r\n",
    "234 AUTH TLS ok\r\n",
    "504 AUTH mechanism not supported\r\n",
    "503 Already protected by TLS\r\n",
    "200 PBSZ=0\r\n",
    "503 AUTH TLS required first\r\n",
    "200 PROT now %s\r\n",
    "503 PBSZ required first\r\n",
    "536 Protection level not supported\r\n",
    "504 Unknown protection level\r\n",
    "533 CCC refused: the control connection stays protected\r\n",
    "530 TLS required: use AUTH TLS first\r\n",
    "521 Data connections must be protected: use PROT P\r\n",
    "214-The following SITE commands are recognized:\r\n CHMOD\r\n HELP\r\n214 Help ok\r\n",
    "200 MLST OPTS %s\r\n",
    "522 Data connection must resume the TLS session of the control connection.\r\n",
    "522 Network protocol not supported, use (2)\r\n",
    "425 Use EPSV or EPRT on an IPv6 connection.\r\n",
    "421 Too many connections.\r\n",
    "451 Local error: the listing cannot be written\r\n",
    "421 Too many failed logins from your address.\r\n",
    "421 Too many logins waiting.\r\n",
    "421 Login cannot be checked now.\r\n",
    "534 Already using TLS.\r\n",
};

bool IsBlank(char ch) {
    return isspace(static_cast<unsigned char>(ch)) != 0;
}

} // namespace

const char* ReplyText(int nReply) {
    return nReply >= 0 && nReply < REPLY_COUNT ? kReplies[nReply] : "";
}

const char* ExtendedReplyText(int nReply) {
    return nReply >= 0 && nReply < XREPLY_COUNT ? kExtendedReplies[nReply] : "";
}

void SplitCommandLine(const std::string& strLine, std::string& rWord, std::string& rParameter) {
    size_t nEnd = 0;
    while (nEnd < strLine.size() && ((strLine[nEnd] >= 'A' && strLine[nEnd] <= 'Z') ||
                                     (strLine[nEnd] >= 'a' && strLine[nEnd] <= 'z')))
        ++nEnd;
    rWord = strLine.substr(0, nEnd);
    for (char& ch : rWord)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    size_t nStart = nEnd;
    while (nStart < strLine.size() && IsBlank(strLine[nStart]))
        ++nStart;
    rParameter = strLine.substr(nStart);
}

std::string Trim(const std::string& strText) {
    size_t nStart = 0;
    size_t nEnd = strText.size();
    while (nStart < nEnd && IsBlank(strText[nStart]))
        ++nStart;
    while (nEnd > nStart && IsBlank(strText[nEnd - 1]))
        --nEnd;
    return strText.substr(nStart, nEnd - nStart);
}

std::string LocalHostName() {
    char szName[1024];
    if (::gethostname(szName, sizeof szName) != 0)
        return std::string();
    szName[sizeof szName - 1] = '\0';
    return szName;
}

std::string TimeText() {
    time_t now = ::time(nullptr);
    char szText[64] = "";
    if (!::ctime_r(&now, szText))
        return std::string();
    std::string strText = szText;
    while (!strText.empty() && isspace(static_cast<unsigned char>(strText.back())))
        strText.pop_back();
    return strText;
}
