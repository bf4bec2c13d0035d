// The persistent store of the configuration: the per-user settings file
// $XDG_CONFIG_HOME/Orvane/skerrow.conf, sections Config, Users and Mapping.
#pragma once

#include "config/ServerSettings.h"

#include <cstdint>
#include <string>
#include <vector>

class CSettingsStore {
public:
    // Fills the record from the store; missing values read as defaults.
    // pDefaulted, when given, receives the names of the values that were
    // written but could not be read (they take their defaults too).
    static void Load(CServerSettings& rSettings, std::vector<std::string>* pDefaulted = nullptr);
    // Writes every value of the record, in the order of the layout. Values
    // beyond the new list lengths are left in place. The passwords are
    // written as the record holds them: with HashPasswords on, the caller
    // hashes the plain ones first (CPasswordHash::HashPlainPasswords, which
    // is slow: never on the event loop's thread).
    static void Save(const CServerSettings& rSettings);

    // The folder map entry used when the store has none: the user's public
    // folder published as the root, upload and download allowed.
    static std::string DefaultFolderEntry();
    // The settings file, and a stamp of its contents on disk (modification
    // time and size; -1 when it does not exist), to notice edits made by hand.
    static std::string FileName();
    static int64_t FileStamp();
    // True when the settings file can be written (or made): a service that
    // may only read its settings does not try to save them.
    static bool IsWritable();
    // Where the program keeps what it makes itself (its own TLS certificate
    // and key): beside the settings file where that folder can be written,
    // else in the user's state folder ($XDG_STATE_HOME/skerrow).
    static std::string OwnFilesFolder();
    static constexpr const char* kDefaultUser = "anonymous,,0,1";
    static constexpr const char* kCompany = "Orvane";
    static constexpr const char* kApplication = "skerrow";
};
