// The persistent store of the configuration: the per-user settings file
// $XDG_CONFIG_HOME/Orvane/skerrow.conf, sections Config, Users and Mapping.
#pragma once

#include "config/ServerSettings.h"

#include <string>

class CSettingsStore {
public:
    // Fills the record from the store; missing values read as defaults.
    static void Load(CServerSettings& rSettings);
    // Writes every value of the record, in the order of the layout. Values
    // beyond the new list lengths are left in place.
    static void Save(const CServerSettings& rSettings);

    // The folder map entry used when the store has none: the user's public
    // folder published as the root, upload and download allowed.
    static std::string DefaultFolderEntry();
    static constexpr const char* kDefaultUser = "anonymous,,0,1";
    static constexpr const char* kCompany = "Orvane";
    static constexpr const char* kApplication = "skerrow";
};
