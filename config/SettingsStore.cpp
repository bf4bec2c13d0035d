#include "config/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString PublicFolder() {
    QString strPublic = QStandardPaths::writableLocation(QStandardPaths::PublicShareLocation);
    return strPublic.isEmpty() ? QDir::homePath() + "/Public" : strPublic;
}

int ReadInt(QSettings& rStore, const char* pszName, int nDefault,
            std::vector<std::string>* pDefaulted = nullptr) {
    QVariant value = rStore.value(pszName);
    bool bOk = false;
    int nValue = value.isValid() ? value.toString().trimmed().toInt(&bOk) : 0;
    // A value written but unreadable is named; a missing one is simply the default.
    if (!bOk && value.isValid() && pDefaulted)
        pDefaulted->push_back(pszName);
    return bOk ? nValue : nDefault;
}

// A number from 0 to nMax; anything else written there is named and read
// as the default.
int ReadBounded(QSettings& rStore, const char* pszName, int nDefault, int nMax,
                std::vector<std::string>* pDefaulted) {
    const bool bWritten = rStore.value(pszName).isValid();
    int nValue = ReadInt(rStore, pszName, nDefault, pDefaulted);
    if (nValue >= 0 && nValue <= nMax)
        return nValue;
    if (bWritten && pDefaulted)
        pDefaulted->push_back(pszName);
    return nDefault;
}

std::string ReadString(QSettings& rStore, const QString& strName) {
    QVariant value = rStore.value(strName);
    // A text written by hand without quotes comes back as a list split at
    // its commas: put it together again.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(',').toStdString();
    return value.toString().toStdString();
}

void ReadList(QSettings& rStore, const char* pszCount, const char* pszItem,
              std::vector<std::string>& rList) {
    rList.clear();
    int nCount = ReadInt(rStore, pszCount, 0);
    for (int k = 0; k < nCount; ++k)
        rList.push_back(ReadString(rStore, QString("%1%2").arg(pszItem).arg(k)));
}

void WriteList(QSettings& rStore, const char* pszCount, const char* pszItem,
               const std::vector<std::string>& list) {
    rStore.setValue(pszCount, static_cast<int>(list.size()));
    for (size_t k = 0; k < list.size(); ++k)
        rStore.setValue(QString("%1%2").arg(pszItem).arg(k), QString::fromStdString(list[k]));
}

} // namespace

std::string CSettingsStore::DefaultFolderEntry() {
    return "/=" + PublicFolder().toStdString() + "/,1,1";
}

namespace {

// The Users and Mapping groups. The records are read here, once; each
// keeps its text for the save.
void ReadRecords(QSettings& rStore, CServerSettings& rSettings,
                 std::vector<std::string>* pDefaulted) {
    std::vector<std::string> records;
    rStore.beginGroup("Users");
    ReadList(rStore, "UserCount", "User", records);
    if (ReadInt(rStore, "UserCount", 0, pDefaulted) == 0)
        records.push_back(CSettingsStore::kDefaultUser);
    rSettings.m_users = ParseUserList(records);
    rStore.endGroup();

    rStore.beginGroup("Mapping");
    ReadList(rStore, "MapCount", "Map", records);
    if (ReadInt(rStore, "MapCount", 0, pDefaulted) == 0) {
        records.push_back(CSettingsStore::DefaultFolderEntry());
        QDir().mkpath(PublicFolder());
    }
    rSettings.m_folderMap = ParseFolderMap(records);
    rStore.endGroup();
}

} // namespace

namespace {

// One rate of the Limits group: a number of KiB a second from 0 to the
// highest allowed; anything else is named (as strName) and is no limit.
int ReadRate(const QString& strText, const std::string& strName,
             std::vector<std::string>* pDefaulted) {
    bool bOk = false;
    const int nRate = strText.trimmed().toInt(&bOk);
    if (bOk && nRate >= 0 && nRate <= CLimitSettings::kMaxRate)
        return nRate;
    if (pDefaulted)
        pDefaulted->push_back(strName);
    return 0;
}

// The Limits group: Download and Upload for the whole server, and
// User.NAME="down,up" for each user that has limits of its own.
void ReadLimits(QSettings& rStore, CLimitSettings& rLimits, std::vector<std::string>* pDefaulted) {
    rLimits = CLimitSettings();
    rStore.beginGroup("Limits");
    for (const QString& strKey : rStore.childKeys()) {
        const std::string strName = strKey.toStdString();
        const QString strText = QString::fromStdString(ReadString(rStore, strKey));
        if (strKey == "Download" || strKey == "Upload") {
            (strKey == "Download" ? rLimits.m_nDownload : rLimits.m_nUpload) =
                ReadRate(strText, strName, pDefaulted);
            continue;
        }
        if (!strKey.startsWith("User.") || strKey.size() <= 5)
            continue;
        const QStringList parts = strText.split(',');
        CLimitSettings::SPair pair;
        // A pair that is not two rates is named once; what can be read of it holds.
        std::vector<std::string> bad;
        pair.nDownload = ReadRate(parts.value(0), strName, &bad);
        pair.nUpload = parts.size() == 2 ? ReadRate(parts.value(1), strName, &bad) : 0;
        if ((!bad.empty() || parts.size() != 2) && pDefaulted)
            pDefaulted->push_back(strName);
        rLimits.SetUser(strKey.mid(5).toStdString(), pair);
    }
    rStore.endGroup();
}

void WriteLimits(QSettings& rStore, const CLimitSettings& limits) {
    rStore.beginGroup("Limits");
    rStore.remove("");
    rStore.setValue("Download", limits.m_nDownload);
    rStore.setValue("Upload", limits.m_nUpload);
    for (const auto& [strUser, pair] : limits.m_users)
        rStore.setValue(QString::fromStdString("User." + strUser),
                        QString("%1,%2").arg(pair.nDownload).arg(pair.nUpload));
    rStore.endGroup();
}

} // namespace

void CSettingsStore::Load(CServerSettings& rSettings, std::vector<std::string>* pDefaulted) {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, kCompany, kApplication);
    // No file yet: the one the server will write is its own, and holds hashes.
    const bool bFirstStart = !QFile::exists(store.fileName());
    store.beginGroup("Config");
    rSettings.m_nPort = ReadInt(store, "Port", 21, pDefaulted);
    rSettings.m_nTimeout = ReadInt(store, "Timeout", 100, pDefaulted);
    rSettings.m_nLogLevel = ReadInt(store, "LogLevel", 1, pDefaulted);
    rSettings.m_nHide = ReadInt(store, "Hide", 0, pDefaulted);
    rSettings.m_nTestReplyGraceMs =
        ReadBounded(store, "TestReplyGraceMs", 0, 3600 * 1000, pDefaulted);
    store.endGroup();

    ReadRecords(store, rSettings, pDefaulted);

    // Missing values (a file of the classic groups only) take the defaults.
    CExtendedSettings& rExtended = rSettings.m_extended;
    const CExtendedSettings defaults;
    store.beginGroup("Extended");
    rExtended.m_bEnabled = ReadInt(store, "Enabled", 0, pDefaulted) != 0;
    rExtended.m_nPassivePortMin = ReadInt(store, "PassivePortMin", 0, pDefaulted);
    rExtended.m_nPassivePortMax = ReadInt(store, "PassivePortMax", 0, pDefaulted);
    rExtended.m_strPassiveAddress = ReadString(store, "PassiveAddress");
    rExtended.m_nTlsMode = ReadInt(store, "TlsMode", defaults.m_nTlsMode, pDefaulted);
    rExtended.m_strTlsCertificate = ReadString(store, "TlsCertificate");
    rExtended.m_strTlsKey = ReadString(store, "TlsKey");
    rExtended.m_nTlsSessionReuse =
        ReadInt(store, "TlsSessionReuse", defaults.m_nTlsSessionReuse, pDefaulted);
    rExtended.m_nMaxPerAddress = ReadInt(store, "MaxPerAddress", 0, pDefaulted);
    rExtended.m_nMaxConnections = ReadInt(store, "MaxConnections", 0, pDefaulted);
    rExtended.m_bProxyProtocol = ReadInt(store, "ProxyProtocol", 0, pDefaulted) != 0;
    rExtended.m_strProxyFrom =
        store.contains("ProxyFrom") ? ReadString(store, "ProxyFrom") : defaults.m_strProxyFrom;
    rExtended.m_nImplicitTlsPort = ReadBounded(store, "ImplicitTlsPort", 0, 65535, pDefaulted);
    rExtended.m_bMakeUserFolders = ReadBounded(store, "MakeUserFolders", 0, 1, pDefaulted) != 0;
    store.endGroup();

    CLoginSettings& rLogins = rSettings.m_logins;
    const CLoginSettings loginDefaults;
    store.beginGroup("Logins");
    rLogins.m_nBanAfter = ReadBounded(store, "BanAfter", loginDefaults.m_nBanAfter,
                                      CLoginSettings::kMaxValue, pDefaulted);
    rLogins.m_nBanMinutes = ReadBounded(store, "BanMinutes", loginDefaults.m_nBanMinutes,
                                        CLoginSettings::kMaxValue, pDefaulted);
    rLogins.m_nTestBanSeconds =
        ReadBounded(store, "TestBanSeconds", 0, CLoginSettings::kMaxValue, pDefaulted);
    rLogins.m_strAllow = ReadString(store, "Allow");
    rLogins.m_strDeny = ReadString(store, "Deny");
    rLogins.m_bHashPasswords =
        ReadInt(store, "HashPasswords", bFirstStart ? 1 : 0, pDefaulted) != 0;
    store.endGroup();

    ReadLimits(store, rSettings.m_limits, pDefaulted);
}

std::string CSettingsStore::FileName() {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, kCompany, kApplication);
    return store.fileName().toStdString();
}

int64_t CSettingsStore::FileStamp() {
    struct stat info {};
    if (::stat(FileName().c_str(), &info) != 0)
        return -1;
    return (static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec) ^
           (static_cast<int64_t>(info.st_size) << 1);
}

namespace {

// True when the folder, or the nearest of its parents that exists, may be
// written into.
bool FolderWritable(std::filesystem::path folder) {
    std::error_code error;
    while (!folder.empty() && !std::filesystem::exists(folder, error)) {
        if (folder == folder.parent_path())
            return false;
        folder = folder.parent_path();
    }
    return !folder.empty() && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

} // namespace

bool CSettingsStore::IsWritable() {
    const std::filesystem::path file(FileName());
    std::error_code error;
    if (std::filesystem::exists(file, error))
        return ::access(file.c_str(), W_OK) == 0 && FolderWritable(file.parent_path());
    return FolderWritable(file.parent_path());
}

std::string CSettingsStore::OwnFilesFolder() {
    const std::filesystem::path settingsFolder = std::filesystem::path(FileName()).parent_path();
    if (FolderWritable(settingsFolder))
        return settingsFolder.string();
    const char* pszState = ::getenv("XDG_STATE_HOME");
    const std::filesystem::path state =
        pszState && *pszState
            ? std::filesystem::path(pszState)
            : std::filesystem::path(QDir::homePath().toStdString()) / ".local" / "state";
    return (state / "skerrow").string();
}

void CSettingsStore::Save(const CServerSettings& rSettings) {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, kCompany, kApplication);
    store.beginGroup("Config");
    store.setValue("Port", rSettings.m_nPort);
    store.setValue("Timeout", rSettings.m_nTimeout);
    store.setValue("LogLevel", rSettings.m_nLogLevel);
    store.setValue("Hide", rSettings.m_nHide);
    store.endGroup();

    store.beginGroup("Users");
    WriteList(store, "UserCount", "User", RecordTexts(rSettings.m_users));
    store.endGroup();

    store.beginGroup("Mapping");
    WriteList(store, "MapCount", "Map", RecordTexts(rSettings.m_folderMap));
    store.endGroup();

    const CExtendedSettings& rExtended = rSettings.m_extended;
    store.beginGroup("Extended");
    store.setValue("Enabled", rExtended.m_bEnabled ? 1 : 0);
    store.setValue("PassivePortMin", rExtended.m_nPassivePortMin);
    store.setValue("PassivePortMax", rExtended.m_nPassivePortMax);
    store.setValue("PassiveAddress", QString::fromStdString(rExtended.m_strPassiveAddress));
    store.setValue("TlsMode", rExtended.m_nTlsMode);
    store.setValue("TlsCertificate", QString::fromStdString(rExtended.m_strTlsCertificate));
    store.setValue("TlsKey", QString::fromStdString(rExtended.m_strTlsKey));
    store.setValue("TlsSessionReuse", rExtended.m_nTlsSessionReuse);
    store.setValue("MaxPerAddress", rExtended.m_nMaxPerAddress);
    store.setValue("ProxyProtocol", rExtended.m_bProxyProtocol ? 1 : 0);
    store.setValue("ProxyFrom", QString::fromStdString(rExtended.m_strProxyFrom));
    store.setValue("MaxConnections", rExtended.m_nMaxConnections);
    store.setValue("ImplicitTlsPort", rExtended.m_nImplicitTlsPort);
    store.setValue("MakeUserFolders", rExtended.m_bMakeUserFolders ? 1 : 0);
    store.endGroup();

    store.beginGroup("Logins");
    store.setValue("BanAfter", rSettings.m_logins.m_nBanAfter);
    store.setValue("BanMinutes", rSettings.m_logins.m_nBanMinutes);
    store.setValue("Allow", QString::fromStdString(rSettings.m_logins.m_strAllow));
    store.setValue("Deny", QString::fromStdString(rSettings.m_logins.m_strDeny));
    store.setValue("HashPasswords", rSettings.m_logins.m_bHashPasswords ? 1 : 0);
    store.endGroup();

    WriteLimits(store, rSettings.m_limits);

    // The file holds passwords: only its owner may read it, from the
    // moment it is first written.
    mode_t nOldMask = ::umask(077);
    store.sync();
    ::umask(nOldMask);
    QFile::setPermissions(store.fileName(), QFile::ReadOwner | QFile::WriteOwner);
}
