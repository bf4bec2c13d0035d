#include "app/PasswdCommand.h"

#include "app/ControlClient.h"
#include "config/PasswordHash.h"
#include "config/SettingsStore.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal's settings while echo is off, put back on an interrupt.
termios g_savedTerminal{};

void RestoreTerminalAndExit(int nSignal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    ::write(STDERR_FILENO, "\n", 1);
    ::_exit(128 + nSignal);
}

int Fail(const std::string& strWhy) {
    std::fprintf(stderr, "skerrow: %s\n", strWhy.c_str());
    return 1;
}

// One line of standard input without its line end; false at its end.
bool ReadLine(std::string& rLine) {
    if (!std::getline(std::cin, rLine))
        return false;
    if (!rLine.empty() && rLine.back() == '\r')
        rLine.pop_back();
    return true;
}

// One line typed at the terminal after the prompt, not echoed.
bool ReadHidden(const char* pszPrompt, std::string& rLine) {
    // The prompt comes once echo is off: what is typed after it is kept
    // (turning echo off drops what was typed before).
    if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) {
        std::fputs(pszPrompt, stderr);
        return ReadLine(rLine);
    }
    termios hidden = g_savedTerminal;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    struct sigaction restore {};
    restore.sa_handler = RestoreTerminalAndExit;
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
    ::sigaction(SIGINT, &restore, &oldInt);
    ::sigaction(SIGTERM, &restore, &oldTerm);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    std::fputs(pszPrompt, stderr);
    std::fflush(stderr);
    const bool bRead = ReadLine(rLine);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    std::fputs("\n", stderr);
    return bRead;
}

// The new password: typed twice at a terminal, else one line of standard
// input. Empty (with the reason printed) when there is none to take.
std::string ReadNewPassword() {
    std::string strPassword;
    if (!::isatty(STDIN_FILENO)) {
        if (!ReadLine(strPassword))
            Fail("no se ha le\xC3\xAD"
                 "do ninguna contrase\xC3\xB1"
                 "a de la entrada est\xC3\xA1ndar");
        else if (strPassword.empty())
            Fail("la contrase\xC3\xB1"
                 "a est\xC3\xA1 vac\xC3\xAD"
                 "a");
        return strPassword;
    }
    std::string strAgain;
    if (!ReadHidden("Contrase\xC3\xB1"
                    "a nueva: ",
                    strPassword) ||
        !ReadHidden("Repita la contrase\xC3\xB1"
                    "a: ",
                    strAgain))
        return Fail("no se ha le\xC3\xAD"
                    "do ninguna contrase\xC3\xB1"
                    "a"),
               std::string();
    if (strPassword != strAgain)
        return Fail("las contrase\xC3\xB1"
                    "as no coinciden"),
               std::string();
    if (strPassword.empty())
        Fail("la contrase\xC3\xB1"
             "a est\xC3\xA1 vac\xC3\xAD"
             "a");
    return strPassword;
}

// The place of the user's record in the list, or npos.
size_t FindRecord(const CUserList& users, const std::string& strName) {
    for (size_t i = 0; i < users.size(); ++i)
        if (users[i].HasName() && users[i].Name() == strName)
            return i;
    return std::string::npos;
}

// Asks the running server to read the settings it now holds.
int Reload(const std::string& strName) {
    switch (AskReload()) {
    case EReloadAnswer::Done:
        std::printf("Contrase\xC3\xB1"
                    "a de %s cambiada; el servidor ha vuelto a leer la configuraci\xC3\xB3n.\n",
                    strName.c_str());
        return 0;
    case EReloadAnswer::NoServer:
        // A server without a control socket (no private folder for it)
        // cannot be told: it takes the change when it reads the settings
        // again.
        std::printf("Contrase\xC3\xB1"
                    "a de %s cambiada; no se ha encontrado ning\xC3\xBAn servidor en marcha al "
                    "que avisar: la usar\xC3\xA1 al arrancar o al volver a leer la "
                    "configuraci\xC3\xB3n (se\xC3\xB1"
                    "al HUP).\n",
                    strName.c_str());
        return 0;
    case EReloadAnswer::Failed:
        break;
    }
    return Fail("la contrase\xC3\xB1"
                "a est\xC3\xA1 guardada, pero el servidor en marcha no ha vuelto a leer la "
                "configuraci\xC3\xB3n");
}

} // namespace

bool IsPasswdCommand(const std::vector<std::string>& args) {
    return !args.empty() && args[0] == "--passwd";
}

int RunPasswdCommand(const std::vector<std::string>& args) {
    if (args.size() != 2 || args[1].empty()) {
        std::fprintf(stderr, "Uso: skerrow --passwd USUARIO\n");
        return 2;
    }
    const std::string& strName = args[1];
    CServerSettings settings;
    CSettingsStore::Load(settings);
    const size_t nUser = FindRecord(settings.m_users, strName);
    if (nUser == std::string::npos)
        return Fail("el usuario " + strName + " no existe en " + CSettingsStore::FileName());
    if (!CSettingsStore::IsWritable())
        return Fail("no se puede escribir " + CSettingsStore::FileName());
    const std::string strPassword = ReadNewPassword();
    if (strPassword.empty())
        return 1;
    // Always stored hashed: this tool's purpose is setting passwords. The
    // other plain passwords are hashed only when the settings say so.
    const std::string strHash = CPasswordHash::Hash(strPassword);
    if (strHash.empty())
        return Fail("no se ha podido cifrar la contrase\xC3\xB1"
                    "a (falta memoria)");
    const CUserRecord& user = settings.m_users[nUser];
    settings.m_users[nUser] =
        CUserRecord::Make(user.Name(), strHash, user.MayUpload(), user.MayDownload());
    if (settings.m_logins.m_bHashPasswords)
        CPasswordHash::HashPlainPasswords(settings.m_users);
    CSettingsStore::Save(settings);
    return Reload(strName);
}
