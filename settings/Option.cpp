#include "Option.h"

#include "Dialogs.h"
#include "IniDocument.h"
#include "SettingsFile.h"

using namespace vcl;

namespace {

const wchar_t kErrorCaption[] = L"エラー";
const wchar_t kSection[] = L"Option";

// The first run's profiles (JobSettings.h) are also the defaults of the
// settings file's keys.
const int kDefaultLeft = 300;
const int kDefaultTop = 300;

// Keys of the two lists: "7zCommandLine", "7zCommandLine2" ... "7zCommandLine10".
std::wstring ListKey(const wchar_t* base, int index) {
  return index == 0 ? std::wstring(base) : base + std::to_wstring(index + 1);
}

// Adds or removes one window style bit; the dialog manager reads them on
// each Tab and arrow key.
void SetStyleBit(TWinControl* control, LONG bit, bool on) {
  LONG style = GetWindowLongW(control->Handle(), GWL_STYLE);
  SetWindowLongW(control->Handle(), GWL_STYLE, on ? (style | bit) : (style & ~bit));
}

// A group box that paints its own ground. The form clips its children when
// it erases, and the system's group box draws only its frame and caption, so
// without this the inside of the box would never be painted.
class TFilledGroupBox : public TGroupBox {
public:
  using TGroupBox::TGroupBox;
  void Dispatch(TMessage& Msg) override {
    if (Msg.Msg == WM_ERASEBKGND) {
      RECT r;
      GetClientRect(Handle(), &r);
      FillRect(reinterpret_cast<HDC>(Msg.WParam), &r, GetSysColorBrush(COLOR_BTNFACE));
      Msg.Result = 1;
      return;
    }
    TGroupBox::Dispatch(Msg);
  }
};

template <typename T>
T* Make(TMV_OPTION* form, TWinControl* parent, const wchar_t* name, const wchar_t* caption, int left, int top,
        int width, int height) {
  T* control = new T(form, parent);
  control->Name = name;
  control->SetBounds(left, top, width, height);
  if (caption) control->Caption(caption);
  return control;
}

}  // namespace

TMV_OPTION::TMV_OPTION(TComponent* AOwner) : TForm(AOwner, L"TMV_OPTION", bsDialog, 0) {
  Name = L"MV_OPTION";
  TFont& font = Font();
  font.Name = L"Tahoma";
  font.Height = -11;
  FontChanged();
  Caption(L"圧縮設定");
  ClientSize(371, 403);
  ScreenSnap = true;
  DialogKeys = true;
  SettingsPath = morvik::SettingsFilePath();

  // The controls as the form describes them, in tab order (creation order is
  // the windows' Z order, which the dialog manager tabs through); positions
  // inside a group box are relative to it.
  GB1 = Make<TFilledGroupBox>(this, this, L"GB1", L"圧縮設定", 8, 8, 353, 89);
  Label01 = Make<TLabel>(this, GB1, L"Label01", L"拡張子", 8, 24, 0, 0);
  Label01->AutoSize();
  Label02 = Make<TLabel>(this, GB1, L"Label02", L"圧縮設定", 8, 48, 0, 0);
  Label02->AutoSize();
  CB_Ext = Make<TComboBox>(this, GB1, L"CB_Ext", nullptr, 72, 16, 145, 21);
  CB_Profile = Make<TComboBox>(this, GB1, L"CB_Profile", nullptr, 72, 40, 273, 21);
  C_TopFolderCompress = Make<TCheckBox>(this, GB1, L"C_TopFolderCompress",
                                        L"フォルダ圧縮時にそのフォルダも書庫に含める", 72, 64, 273, 17);

  GB2 = Make<TFilledGroupBox>(this, this, L"GB2", L"削除設定", 8, 104, 353, 89);
  C_DelFile = Make<TCheckBox>(this, GB2, L"C_DelFile", L"圧縮成功後は元を削除する", 16, 16, 329, 17);
  RB_DeleteMode1 = Make<TRadioButton>(this, GB2, L"RB_DeleteMode1", L"ごみ箱", 32, 40, 113, 17);
  RB_DeleteMode2 = Make<TRadioButton>(this, GB2, L"RB_DeleteMode2", L"直接削除", 32, 64, 113, 17);

  GB3 = Make<TFilledGroupBox>(this, this, L"GB3", L"出力先", 8, 200, 353, 97);
  RB_DestFolderMode1 = Make<TRadioButton>(this, GB3, L"RB_DestFolderMode1", L"圧縮元と同じ場所", 16, 16, 113, 17);
  RB_DestFolderMode2 = Make<TRadioButton>(this, GB3, L"RB_DestFolderMode2", L"指定した場所", 16, 40, 113, 17);
  E_DestFolder = Make<TEdit>(this, GB3, L"E_DestFolder", nullptr, 32, 64, 281, 21);
  B_DestFolderSelect = Make<TButton>(this, GB3, L"B_DestFolderSelect", L".....", 319, 63, 25, 22);
  TFont& browseFont = B_DestFolderSelect->Font();
  browseFont.Name = L"ＭＳ Ｐゴシック";
  browseFont.Height = -16;  // 12 point
  browseFont.Charset = SHIFTJIS_CHARSET;
  B_DestFolderSelect->FontChanged();

  GB4 = Make<TFilledGroupBox>(this, this, L"GB4", L"その他", 8, 304, 353, 41);
  C_AutoClose = Make<TCheckBox>(this, GB4, L"C_AutoClose", L"エラーが無ければ圧縮後自動終了する", 16, 16, 329, 17);

  B_OK = Make<TButton>(this, this, L"B_OK", L"OK", 144, 368, 75, 25);
  B_Cancel = Make<TButton>(this, this, L"B_Cancel", L"終了", 288, 368, 75, 25);
  B_Cancel->Visible(false);
  B_OK->Default(true);
  DefaultButton = B_OK;

  // Each radio pair is one group for the arrow keys; the edit box after the
  // destination pair starts a group of its own.
  SetStyleBit(RB_DeleteMode1, WS_GROUP, true);
  SetStyleBit(RB_DestFolderMode1, WS_GROUP, true);
  SetStyleBit(E_DestFolder, WS_GROUP, true);

  SHOP = new morvik::TSHOperation(this);
  SHOP->Name = L"SHOP";
  SHOP->Title(L"出力先のフォルダを選択してください");
  SHOP->Flags(morvik::kBrowseFileSystemFolders);

  OnShow = [this](TObject* s) { FormShow(s); };
  OnKeyDown = [this](TObject* s, WORD& key) { FormKeyDown(s, key); };
  CB_Profile->OnChange = [this](TObject* s) { CB_ProfileChange(s); };
  C_DelFile->OnClick = [this](TObject* s) { C_DelFileClick(s); };
  RB_DeleteMode1->OnClick = RB_DeleteMode2->OnClick = [this](TObject*) { UpdateRadioTabStops(); };
  RB_DestFolderMode1->OnClick = RB_DestFolderMode2->OnClick = [this](TObject* s) {
    RB_DestFolderSelectClick(s);
    UpdateRadioTabStops();
  };
  B_DestFolderSelect->OnClick = [this](TObject* s) { B_DestFolderSelectClick(s); };
  B_OK->OnClick = [this](TObject* s) { B_OKClick(s); };
  B_Cancel->OnClick = [this](TObject* s) { B_CancelClick(s); };

  // The first-run filling; LoadSettings replaces it from the settings file.
  MoveTo(kDefaultLeft, kDefaultTop);
  FillLists(kDefaultProfiles, kDefaultExts);
  CB_Profile->ItemIndex(0);
  RB_DeleteMode1->Checked(true);
  RB_DestFolderMode1->Checked(true);
  CB_ProfileChange(this);
  C_DelFileClick(this);
  RB_DestFolderSelectClick(this);
  UpdateRadioTabStops();
}

void TMV_OPTION::FillLists(const std::wstring (&profiles)[kProfileCount], const std::wstring (&exts)[kProfileCount]) {
  CB_Profile->Items().Clear();
  CB_Ext->Items().Clear();
  for (const std::wstring& p : profiles) CB_Profile->Items().Add(p);
  for (const std::wstring& e : exts) CB_Ext->Items().Add(e);
}

// Only the checked button of a radio pair is a tab stop, so that Tab enters
// the pair at its choice and the arrow keys move within it.
void TMV_OPTION::UpdateRadioTabStops() {
  for (auto pair : {std::make_pair(RB_DeleteMode1, RB_DeleteMode2),
                    std::make_pair(RB_DestFolderMode1, RB_DestFolderMode2)}) {
    bool second = pair.second->Checked();
    SetStyleBit(pair.first, WS_TABSTOP, !second);
    SetStyleBit(pair.second, WS_TABSTOP, second);
  }
}

bool TMV_OPTION::CheckSettings() {
  if (CB_Profile->Text().empty()) {
    MessageDlg(Handle(), L"選択されている圧縮設定は空です\n違う設定を選んで下さい", kErrorCaption,
               MB_OK | MB_ICONERROR);
    return false;
  }
  if (RB_DestFolderMode2->Checked() && E_DestFolder->Text().empty()) {
    MessageDlg(Handle(), L"出力先の指定をして下さい", kErrorCaption, MB_OK | MB_ICONERROR);
    return false;
  }
  return true;
}

TJobSettings TMV_OPTION::JobSettings() const {
  TJobSettings s;
  s.Profile = CB_Profile->Text();
  s.Extension = CB_Ext->Text();
  s.DestFolderMode = RB_DestFolderMode2->Checked() ? dfChosenFolder : dfSource;
  s.DestFolder = E_DestFolder->Text();
  s.TopFolderCompress = C_TopFolderCompress->Checked();
  s.DelFile = C_DelFile->Checked();
  s.DeleteMode = RB_DeleteMode1->Checked() ? dmRecycleBin : dmDirect;
  s.AutoClose = C_AutoClose->Checked();
  return s;
}

bool TMV_OPTION::LoadSettings() {
  morvik::IniDocument ini;
  bool readable = ini.Open(SettingsPath) != morvik::IniOpenStatus::kUnreadable;

  MoveTo(ini.ReadInteger(kSection, L"X", kDefaultLeft), ini.ReadInteger(kSection, L"Y", kDefaultTop));
  C_DelFile->Checked(ini.ReadBool(kSection, L"DelFile", false));
  C_TopFolderCompress->Checked(ini.ReadBool(kSection, L"TopFolderCompress", false));
  std::wstring profiles[kProfileCount], exts[kProfileCount];
  for (int i = 0; i < kProfileCount; ++i)
    profiles[i] = ini.ReadString(kSection, ListKey(L"7zCommandLine", i), kDefaultProfiles[i]);
  int selected = ini.ReadInteger(kSection, L"7zCommandLineSelect", 0);
  for (int i = 0; i < kProfileCount; ++i) exts[i] = ini.ReadString(kSection, ListKey(L"7zExt", i), kDefaultExts[i]);
  FillLists(profiles, exts);
  CB_Profile->ItemIndex(selected >= 0 && selected < kProfileCount ? selected : -1);
  E_DestFolder->Text(ini.ReadString(kSection, L"DestFolder", L""));
  C_AutoClose->Checked(ini.ReadBool(kSection, L"AutoClose", false));
  (ini.ReadInteger(kSection, L"DeleteMode", 1) == 2 ? RB_DeleteMode2 : RB_DeleteMode1)->Checked(true);
  (ini.ReadInteger(kSection, L"DestFolderMode", 1) == 2 ? RB_DestFolderMode2 : RB_DestFolderMode1)->Checked(true);

  CB_ProfileChange(this);
  C_DelFileClick(this);
  RB_DestFolderSelectClick(this);
  UpdateRadioTabStops();
  return readable;
}

bool TMV_OPTION::SaveSettings() {
  morvik::IniDocument ini;
  ini.Open(SettingsPath);
  ini.WriteInteger(kSection, L"X", FormLeft());
  ini.WriteInteger(kSection, L"Y", FormTop());
  ini.WriteBool(kSection, L"DelFile", C_DelFile->Checked());
  ini.WriteBool(kSection, L"TopFolderCompress", C_TopFolderCompress->Checked());
  for (int i = 0; i < kProfileCount; ++i) ini.WriteString(kSection, ListKey(L"7zCommandLine", i), CB_Profile->Items()[i]);
  ini.WriteInteger(kSection, L"7zCommandLineSelect", CB_Profile->ItemIndex());
  for (int i = 0; i < kProfileCount; ++i) ini.WriteString(kSection, ListKey(L"7zExt", i), CB_Ext->Items()[i]);
  ini.WriteString(kSection, L"DestFolder", E_DestFolder->Text());
  ini.WriteBool(kSection, L"AutoClose", C_AutoClose->Checked());
  ini.WriteInteger(kSection, L"DeleteMode", RB_DeleteMode2->Checked() ? 2 : 1);
  ini.WriteInteger(kSection, L"DestFolderMode", RB_DestFolderMode2->Checked() ? 2 : 1);
  return ini.Save();
}

void TMV_OPTION::FormShow(TObject*) { B_Cancel->Visible(CommandLineMode); }

void TMV_OPTION::FormKeyDown(TObject*, WORD& Key) {
  if (Key == VK_ESCAPE) B_OKClick(this);
}

void TMV_OPTION::CB_ProfileChange(TObject*) { CB_Ext->ItemIndex(CB_Profile->ItemIndex()); }

void TMV_OPTION::C_DelFileClick(TObject*) {
  bool on = C_DelFile->Checked();
  RB_DeleteMode1->Enabled(on);
  RB_DeleteMode2->Enabled(on);
}

void TMV_OPTION::RB_DestFolderSelectClick(TObject*) {
  bool chosen = !RB_DestFolderMode1->Checked();
  E_DestFolder->Enabled(chosen);
  B_DestFolderSelect->Enabled(chosen);
}

void TMV_OPTION::B_DestFolderSelectClick(TObject*) {
  SHOP->Root(E_DestFolder->Text());
  if (SHOP->BrowseFolder()) E_DestFolder->Text(SHOP->FolderName());
}

void TMV_OPTION::B_OKClick(TObject*) {
  if (CheckSettings()) ModalResult(mrOk);
}

void TMV_OPTION::B_CancelClick(TObject*) { ModalResult(mrCancel); }

void TMV_OPTION::Dispatch(TMessage& Msg) {
  // The dialog manager turns Escape into a cancel command wherever the focus
  // is. Escape belongs to the form's key handler, and only while the form
  // itself has the focus (keys typed into a control are the control's): the
  // form asks for the key then, so that it arrives as a key press, and
  // ignores the cancel command that Escape in a control produces.
  if (Msg.Msg == WM_GETDLGCODE && Msg.LParam) {
    const MSG* key = reinterpret_cast<const MSG*>(Msg.LParam);
    if (key->message == WM_KEYDOWN && key->wParam == VK_ESCAPE) {
      Msg.Result = DLGC_WANTMESSAGE;
      return;
    }
  }
  // The dialog closes only through its buttons and Escape: a close request
  // from the window manager (Alt+F4) would end a command-line run unchecked.
  if (Msg.Msg == WM_CLOSE) {
    Msg.Result = 0;
    return;
  }
  if (Msg.Msg == WM_COMMAND && LOWORD(Msg.WParam) == IDCANCEL && Msg.LParam == 0) {
    Msg.Result = 0;
    return;
  }
  TForm::Dispatch(Msg);
}
