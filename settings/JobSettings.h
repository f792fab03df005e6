// The settings a compression job reads when it starts, and the values of a
// first run. The options dialog holds them in its controls and the settings
// file stores them; the jobs read them as this record.
#pragma once

#include <string>

enum TDestFolderMode { dfSource, dfChosenFolder };
enum TDeleteMode { dmRecycleBin, dmDirect };

// How many profiles (archiver switches with their archive extension) the
// options dialog offers and the settings file keeps.
constexpr int kProfileCount = 10;

// The profiles of a first run; the rest of the list starts empty.
inline const std::wstring kDefaultProfiles[kProfileCount] = {
    L"a -tzip -mx=9 -mfb=64 -mpass=4 -r", L"a -tzip -mx=0 -r", L"a -t7z -mx=9 -r", L"a -t7z -mx=0 -r"};
inline const std::wstring kDefaultExts[kProfileCount] = {L".zip", L".zip", L".7z", L".7z"};

struct TJobSettings {
  // Archiver command and switches that open every command line.
  std::wstring Profile = kDefaultProfiles[0];
  // Extension of the archives, with its dot.
  std::wstring Extension = kDefaultExts[0];
  TDestFolderMode DestFolderMode = dfSource;
  std::wstring DestFolder;
  // On: a folder's archive holds the folder itself; off: only its contents.
  bool TopFolderCompress = false;
  bool DelFile = false;
  TDeleteMode DeleteMode = dmRecycleBin;
  bool AutoClose = false;
};
