// The options dialog's settings passes on crafted settings files: what
// LoadSettings puts into the controls, and what SaveSettings writes back,
// byte for byte where the whole file is known.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "IniDocument.h"
#include "Option.h"
#include "option_test_util.h"
#include "../files.h"

namespace {

namespace fs = std::filesystem;

// A settings file as written: FF FE, then UTF-16LE lines ending in CR LF.
std::string Utf16File(const std::vector<std::wstring>& lines) {
  std::string bytes = "\xFF\xFE";
  for (const std::wstring& line : lines) {
    for (wchar_t c : line + L"\r\n") {
      bytes += static_cast<char>(c & 0xFF);
      bytes += static_cast<char>((c >> 8) & 0xFF);
    }
  }
  return bytes;
}

// Section Option as a first run writes it.
const std::vector<std::wstring> kFirstRunOption = {
    L"[Option]",
    L"X=300",
    L"Y=300",
    L"DelFile=0",
    L"TopFolderCompress=0",
    L"7zCommandLine=a -tzip -mx=9 -mfb=64 -mpass=4 -r",
    L"7zCommandLine2=a -tzip -mx=0 -r",
    L"7zCommandLine3=a -t7z -mx=9 -r",
    L"7zCommandLine4=a -t7z -mx=0 -r",
    L"7zCommandLine5=",
    L"7zCommandLine6=",
    L"7zCommandLine7=",
    L"7zCommandLine8=",
    L"7zCommandLine9=",
    L"7zCommandLine10=",
    L"7zCommandLineSelect=0",
    L"7zExt=.zip",
    L"7zExt2=.zip",
    L"7zExt3=.7z",
    L"7zExt4=.7z",
    L"7zExt5=",
    L"7zExt6=",
    L"7zExt7=",
    L"7zExt8=",
    L"7zExt9=",
    L"7zExt10=",
    L"DestFolder=",
    L"AutoClose=0",
    L"DeleteMode=1",
    L"DestFolderMode=1",
    L"",
};

class OptionSettings : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!vcl::Application) new vcl::TApplication();
  }
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    dir = fs::path(temp) / (L"morvik-option-ini-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++counter));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ini = dir / L"Morvik.ini";
    dlg = std::make_unique<TMV_OPTION>(nullptr);
    dlg->SettingsPath = ini.wstring();
  }
  void TearDown() override {
    dlg.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Loads a file of the given lines into a fresh dialog.
  void Load(const std::vector<std::wstring>& lines) {
    testutil::WriteFile(ini, Utf16File(lines));
    EXPECT_TRUE(dlg->LoadSettings());
  }

  fs::path dir, ini;
  std::unique_ptr<TMV_OPTION> dlg;
};

TEST_F(OptionSettings, FirstRunWritesEveryKeyInOrder) {
  EXPECT_TRUE(dlg->LoadSettings());  // no file: defaults
  EXPECT_EQ(dlg->CB_Profile->ItemIndex(), 0);
  EXPECT_TRUE(dlg->SaveSettings());
  EXPECT_EQ(testutil::ReadFile(ini), Utf16File(kFirstRunOption));
}

TEST_F(OptionSettings, FirstRunAfterTheMainWindowsSection) {
  const std::vector<std::wstring> main = {L"[Main]", L"X=100", L"Y=100", L"W=300", L"H=300", L"Dir=", L""};
  // The main window's pass runs first and saves its section.
  morvik::IniDocument doc;
  doc.Open(ini.wstring());
  doc.WriteInteger(L"Main", L"X", 100);
  doc.WriteInteger(L"Main", L"Y", 100);
  doc.WriteInteger(L"Main", L"W", 300);
  doc.WriteInteger(L"Main", L"H", 300);
  doc.WriteString(L"Main", L"Dir", L"");
  ASSERT_TRUE(doc.Save());
  ASSERT_TRUE(dlg->SaveSettings());
  std::vector<std::wstring> whole = main;
  whole.insert(whole.end(), kFirstRunOption.begin(), kFirstRunOption.end());
  EXPECT_EQ(testutil::ReadFile(ini), Utf16File(whole));
}

TEST_F(OptionSettings, LoadFillsTheControls) {
  struct Expect {
    int left, top;
    bool delFile, topFolder, autoClose;
    int profile, ext;
    std::wstring profile1, profile5, ext1, ext5;
    bool direct, chosenFolder;
    std::wstring folder;
  };
  struct Case {
    const char* name;
    std::vector<std::wstring> option;  // lines after "[Option]"
    Expect expect;
  };
  const std::wstring zip9 = L"a -tzip -mx=9 -mfb=64 -mpass=4 -r";
  const Case cases[] = {
      {"empty section: defaults", {}, {300, 300, false, false, false, 0, 0, zip9, L"", L".zip", L"", false, false, L""}},
      {"every key set",
       {L"X=50", L"Y=60", L"DelFile=1", L"TopFolderCompress=1", L"7zCommandLine5=a -t7z -mx=5 -r",
        L"7zCommandLineSelect=4", L"7zExt5=.7z", L"DestFolder=C:\\out", L"AutoClose=1", L"DeleteMode=2",
        L"DestFolderMode=2"},
       {50, 60, true, true, true, 4, 4, zip9, L"a -t7z -mx=5 -r", L".zip", L".7z", true, true, L"C:\\out"}},
      {"present but empty profile 1 stays empty", {L"7zCommandLine=", L"7zExt="},
       {300, 300, false, false, false, 0, 0, L"", L"", L"", L"", false, false, L""}},
      {"selection 12 selects nothing", {L"7zCommandLineSelect=12"},
       {300, 300, false, false, false, -1, -1, zip9, L"", L".zip", L"", false, false, L""}},
      {"selection -1 selects nothing", {L"7zCommandLineSelect=-1"},
       {300, 300, false, false, false, -1, -1, zip9, L"", L".zip", L"", false, false, L""}},
      {"selection 9 is the last", {L"7zCommandLineSelect=9"},
       {300, 300, false, false, false, 9, 9, zip9, L"", L".zip", L"", false, false, L""}},
      {"key case ignored, hexadecimal positions", {L"delfile=1", L"x=0x10", L"Y=$40", L"DELETEMODE=2"},
       {16, 64, true, false, false, 0, 0, zip9, L"", L".zip", L"", true, false, L""}},
      {"modes other than 2 count as 1", {L"DeleteMode=0", L"DestFolderMode=3", L"DelFile=1"},
       {300, 300, true, false, false, 0, 0, zip9, L"", L".zip", L"", false, false, L""}},
      {"no integers give the defaults", {L"DelFile=yes", L"7zCommandLineSelect=1.5", L"X=99999999999", L"AutoClose=true"},
       {300, 300, false, false, false, 0, 0, zip9, L"", L".zip", L"", false, false, L""}},
      {"folder kept in source mode", {L"DestFolder=D:\\keep", L"DestFolderMode=1"},
       {300, 300, false, false, false, 0, 0, zip9, L"", L".zip", L"", false, false, L"D:\\keep"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dlg = std::make_unique<TMV_OPTION>(nullptr);
    dlg->SettingsPath = ini.wstring();
    std::vector<std::wstring> lines = {L"[Option]"};
    lines.insert(lines.end(), c.option.begin(), c.option.end());
    lines.push_back(L"7zCommandLine11=an eleventh is no item");
    Load(lines);
    const Expect& e = c.expect;
    EXPECT_EQ(dlg->FormLeft(), e.left);
    EXPECT_EQ(dlg->FormTop(), e.top);
    EXPECT_EQ(dlg->C_DelFile->Checked(), e.delFile);
    EXPECT_EQ(dlg->C_TopFolderCompress->Checked(), e.topFolder);
    EXPECT_EQ(dlg->C_AutoClose->Checked(), e.autoClose);
    ASSERT_EQ(dlg->CB_Profile->Items().Count(), 10);
    ASSERT_EQ(dlg->CB_Ext->Items().Count(), 10);
    EXPECT_EQ(dlg->CB_Profile->ItemIndex(), e.profile);
    EXPECT_EQ(dlg->CB_Ext->ItemIndex(), e.ext);
    EXPECT_EQ(dlg->CB_Profile->Items()[0], e.profile1);
    EXPECT_EQ(dlg->CB_Profile->Items()[4], e.profile5);
    EXPECT_EQ(dlg->CB_Ext->Items()[0], e.ext1);
    EXPECT_EQ(dlg->CB_Ext->Items()[4], e.ext5);
    EXPECT_EQ(dlg->RB_DeleteMode2->Checked(), e.direct);
    EXPECT_EQ(dlg->RB_DeleteMode1->Checked(), !e.direct);
    EXPECT_EQ(dlg->RB_DestFolderMode2->Checked(), e.chosenFolder);
    EXPECT_EQ(dlg->RB_DestFolderMode1->Checked(), !e.chosenFolder);
    EXPECT_EQ(dlg->E_DestFolder->Text(), e.folder);
    // The three handlers ran at the end.
    EXPECT_EQ(dlg->RB_DeleteMode1->Enabled(), e.delFile);
    EXPECT_EQ(dlg->RB_DeleteMode2->Enabled(), e.delFile);
    EXPECT_EQ(dlg->E_DestFolder->Enabled(), e.chosenFolder);
    EXPECT_EQ(dlg->B_DestFolderSelect->Enabled(), e.chosenFolder);
    // The jobs see the same.
    TJobSettings s = dlg->JobSettings();
    EXPECT_EQ(s.Profile, e.profile < 0 ? L"" : dlg->CB_Profile->Items()[e.profile]);
    EXPECT_EQ(s.DeleteMode, e.direct ? dmDirect : dmRecycleBin);
    EXPECT_EQ(s.DestFolderMode, e.chosenFolder ? dfChosenFolder : dfSource);
  }
}

TEST_F(OptionSettings, SaveRewritesInPlaceAndKeepsWhatItDoesNotKnow) {
  Load({
      L"; a comment goes",
      L"[Main]",
      L"X=0x10",
      L"[Option]",
      L"delfile=1",
      L"  Unknown = kept  ",
      L"7zCommandLine=",
      L"7zCommandLineSelect=12",
      L"DeleteMode=0",
      L"DestFolderMode=3",
      L"; so does this one",
      L"a line without equals",
      L"[Other]",
      L"Key=value",
  });
  EXPECT_EQ(dlg->CB_Profile->ItemIndex(), -1);
  ASSERT_TRUE(dlg->SaveSettings());
  std::vector<std::wstring> expected = {
      L"[Main]",
      L"X=0x10",
      L"",
      L"[Option]",
      L"DelFile=1",
      L"Unknown=kept",
      L"7zCommandLine=",
      L"7zCommandLineSelect=-1",
      L"DeleteMode=1",
      L"DestFolderMode=1",
      L"a line without equals",
      L"X=300",
      L"Y=300",
      L"TopFolderCompress=0",
  };
  // The rest of section Option in the order of the pass, then the other section.
  for (const wchar_t* line :
       {L"7zCommandLine2=a -tzip -mx=0 -r", L"7zCommandLine3=a -t7z -mx=9 -r", L"7zCommandLine4=a -t7z -mx=0 -r",
        L"7zCommandLine5=", L"7zCommandLine6=", L"7zCommandLine7=", L"7zCommandLine8=", L"7zCommandLine9=",
        L"7zCommandLine10=", L"7zExt=.zip", L"7zExt2=.zip", L"7zExt3=.7z", L"7zExt4=.7z", L"7zExt5=", L"7zExt6=",
        L"7zExt7=", L"7zExt8=", L"7zExt9=", L"7zExt10=", L"DestFolder=", L"AutoClose=0", L"", L"[Other]",
        L"Key=value", L""})
    expected.push_back(line);
  EXPECT_EQ(testutil::ReadFile(ini), Utf16File(expected));

  // The next start again has no selection and an empty profile 1.
  dlg = std::make_unique<TMV_OPTION>(nullptr);
  dlg->SettingsPath = ini.wstring();
  EXPECT_TRUE(dlg->LoadSettings());
  EXPECT_EQ(dlg->CB_Profile->ItemIndex(), -1);
  EXPECT_EQ(dlg->CB_Profile->Items()[0], L"");
}

TEST_F(OptionSettings, SaveTakesTheControlsAsTheyStand) {
  Load({L"[Option]", L"7zCommandLine5=a -tzip -mx=1 -r", L"7zExt5=.cbz"});
  dlg->MoveTo(-20, 40);
  dlg->CB_Profile->ItemIndex(4);
  dlg->CB_ProfileChange(nullptr);
  dlg->CB_Ext->ItemIndex(0);  // the extension picked apart from the profile is not stored
  dlg->C_DelFile->Checked(true);
  dlg->RB_DeleteMode2->Checked(true);
  dlg->C_DelFile->Checked(false);  // greyed, yet its choice is saved
  dlg->RB_DestFolderMode2->Checked(true);
  dlg->E_DestFolder->Text(L"C:\\出力先");
  dlg->RB_DestFolderMode1->Checked(true);  // the folder stays and is saved
  dlg->C_AutoClose->Checked(true);
  dlg->C_TopFolderCompress->Checked(true);
  ASSERT_TRUE(dlg->SaveSettings());

  morvik::IniDocument doc = morvik::IniDocument::FromBytes(testutil::ReadFile(ini));
  struct Case { const wchar_t* key; const wchar_t* value; };
  for (const Case& c : {Case{L"X", L"-20"}, Case{L"Y", L"40"}, Case{L"DelFile", L"0"}, Case{L"TopFolderCompress", L"1"},
                        Case{L"7zCommandLine5", L"a -tzip -mx=1 -r"}, Case{L"7zCommandLineSelect", L"4"},
                        Case{L"7zExt5", L".cbz"}, Case{L"DestFolder", L"C:\\出力先"}, Case{L"AutoClose", L"1"},
                        Case{L"DeleteMode", L"2"}, Case{L"DestFolderMode", L"1"}}) {
    EXPECT_EQ(doc.ReadString(L"Option", c.key, L"(absent)"), c.value) << c.key;
  }
  // Read back through the system's own profile reader as well.
  wchar_t buf[256] = {};
  GetPrivateProfileStringW(L"Option", L"DestFolder", L"", buf, 256, ini.c_str());
  EXPECT_EQ(std::wstring(buf), L"C:\\出力先");
  EXPECT_EQ(GetPrivateProfileIntW(L"Option", L"7zCommandLineSelect", 99, ini.c_str()), 4);
}

TEST_F(OptionSettings, UnreadableFileGivesDefaultsAndIsNotReplaced) {
  // A folder where the file should be: it cannot be read, nor replaced.
  fs::create_directories(ini);
  testutil::WriteFile(ini / L"inside", "x");
  dlg->C_AutoClose->Checked(true);
  EXPECT_FALSE(dlg->LoadSettings());
  EXPECT_FALSE(dlg->C_AutoClose->Checked());
  EXPECT_EQ(dlg->CB_Profile->ItemIndex(), 0);
  EXPECT_EQ(dlg->CB_Profile->Items().Count(), 10);
  EXPECT_FALSE(dlg->SaveSettings());
  EXPECT_TRUE(fs::is_directory(ini));
  EXPECT_TRUE(fs::exists(ini / L"inside"));
}

// Not recognised, so handled as unreadable: defaults, and never replaced.
TEST_F(OptionSettings, EightBitFileGivesDefaults) {
  const std::string bytes = "[Option]\r\nDelFile=1\r\n7zCommandLineSelect=2\r\n";
  testutil::WriteFile(ini, bytes);
  EXPECT_FALSE(dlg->LoadSettings());
  EXPECT_FALSE(dlg->C_DelFile->Checked());
  EXPECT_EQ(dlg->CB_Profile->ItemIndex(), 0);
  EXPECT_FALSE(dlg->SaveSettings());
  EXPECT_EQ(testutil::ReadFile(ini), bytes);
}

}  // namespace
