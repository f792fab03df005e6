// The settings a compression job reads when it starts. The member
// initialisers are the values of a first run.
#pragma once

#include <string>

enum TDestFolderMode { dfSource, dfChosenFolder };
enum TDeleteMode { dmRecycleBin, dmDirect };

struct TJobSettings {
  // Archiver command and switches that open every command line.
  std::wstring Profile = L"a -tzip -mx=9 -mfb=64 -mpass=4 -r";
  // Extension of the archives, with its dot.
  std::wstring Extension = L".zip";
  TDestFolderMode DestFolderMode = dfSource;
  std::wstring DestFolder;
  // On: a folder's archive holds the folder itself; off: only its contents.
  bool TopFolderCompress = false;
  bool DelFile = false;
  TDeleteMode DeleteMode = dmRecycleBin;
  bool AutoClose = false;
};
