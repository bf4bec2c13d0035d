// Directory listings: written whole into a temporary "FLS" file, then sent
// like a download. Folder-map entries below the listed directory come
// first (as folders), then the local folder's entries in the order the
// system returns them, nothing filtered.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// One LIST line of a local entry (ends in a single LF).
std::string FormatLocalEntry(bool bDirectory, bool bReadOnly, int64_t nSize, const tm& time,
                             const std::string& strName);
// One LIST line of a folder-map entry, dated with the given time.
std::string FormatFolderMapEntry(const tm& time, const std::string& strName);

// Builds the listing of a virtual directory (ending in "/") for LIST
// (code 13) or NLST (code 14). Returns the temporary file's full name, or
// an empty name when it cannot be made or written.
std::string BuildListing(const std::vector<std::string>& folderMap, const std::string& strPath,
                         int nCode);
