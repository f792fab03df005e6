// The windows laid out for the screen's dpi, run by dpi_run.sh in a Wine
// prefix set to 96, 144 or 192 dpi: the main window after a job, the options
// and about dialogs, and the archiver library's progress window, all from the
// program's own start-up with the real 7-ZIP32.DLL beside this test. For each
// window: it is laid out for the screen's dpi (client area and fonts
// scaled), every control lies inside its parent, no two controls side by
// side overlap, and every text fits its control. A window told that it is on
// a monitor with another dpi (WM_DPICHANGED) lays itself out for that one,
// and back again without drifting. Screenshots go to MORVIK_SCREENSHOTS.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Main.h"
#include "main_test_util.h"
#include "screenshot_util.h"
#include "text_extent.h"

using namespace testutil;

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t value[1024] = {};
  return GetEnvironmentVariableW(name, value, 1024) ? value : L"";
}

// The dpi the prefix is set to; when run by hand, the screen's.
int ExpectedDpi() {
  std::wstring dpi = Env(L"MORVIK_DPI");
  return dpi.empty() ? vcl::SystemDpi() : _wtoi(dpi.c_str());
}

void Pump(int ms) {
  DWORD end = GetTickCount() + static_cast<DWORD>(ms);
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(10);
  } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

void Screenshot(HWND window, const std::wstring& name) {
  std::wstring dir = Env(L"MORVIK_SCREENSHOTS");
  if (dir.empty()) return;
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(SaveWindowBitmap(window, dir + L"\\" + name + L".bmp")) << U8(name);
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  return cls;
}

std::wstring TextOf(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

// A control's rectangle in its parent's client area.
RECT PlaceOf(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

int FontHeight(HWND control) {
  LOGFONTW lf = {};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
  return lf.lfHeight;
}

std::string Describe(HWND hwnd) { return U8(ClassOf(hwnd) + L" \"" + TextOf(hwnd) + L"\""); }

// What is wrong with the layout inside window at dpi: controls outside their
// parent, siblings that overlap, texts that do not fit. Empty when sound.
void CollectLayoutFaults(HWND window, int dpi, std::vector<std::string>& faults) {
  RECT client;
  GetClientRect(window, &client);
  std::vector<std::pair<HWND, RECT>> placed;
  for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    const LONG style = GetWindowLongW(c, GWL_STYLE);
    if (!(style & WS_VISIBLE)) continue;
    const RECT r = PlaceOf(c);
    if (r.left < 0 || r.top < 0 || r.right > client.right || r.bottom > client.bottom)
      faults.push_back(Describe(c) + " lies outside " + Describe(window));
    for (const auto& [other, o] : placed) {
      RECT both;
      if (IntersectRect(&both, &r, &o)) faults.push_back(Describe(c) + " overlaps " + Describe(other));
    }
    placed.push_back({c, r});

    // The room a text needs: a check box or radio button's box and gap, a
    // push button's edges, a group box's caption indent.
    const std::wstring cls = ClassOf(c), text = TextOf(c);
    int room = -1;
    if (lstrcmpiW(cls.c_str(), L"Static") == 0) {
      const LONG type = style & SS_TYPEMASK;
      if ((type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT) && !(style & SS_ENDELLIPSIS)) room = 0;
    } else if (lstrcmpiW(cls.c_str(), L"Button") == 0) {
      const LONG type = style & BS_TYPEMASK;
      if (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX || type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON)
        room = vcl::ScaleToDpi(17, dpi);
      else if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)
        room = vcl::ScaleToDpi(4, dpi);
      else if (type == BS_GROUPBOX)
        room = vcl::ScaleToDpi(16, dpi);
    }
    if (room >= 0 && !text.empty()) {
      const SIZE ext = TextExtent(c, text);
      RECT own;
      GetClientRect(c, &own);
      if (ext.cx + room > own.right || ext.cy > own.bottom)
        faults.push_back(Describe(c) + " cuts its text: needs " + std::to_string(ext.cx + room) + "x" +
                         std::to_string(ext.cy) + ", has " + std::to_string(own.right) + "x" + std::to_string(own.bottom));
    }
    CollectLayoutFaults(c, dpi, faults);
  }
}

void ExpectSoundLayout(HWND window, int dpi) {
  std::vector<std::string> faults;
  CollectLayoutFaults(window, dpi, faults);
  for (const std::string& f : faults) ADD_FAILURE() << "progress window at " << dpi << " dpi: " << f;
}

void ExpectClientSize(HWND window, int width96, int height96, int dpi) {
  RECT c;
  GetClientRect(window, &c);
  EXPECT_EQ(c.right, vcl::ScaleToDpi(width96, dpi)) << Describe(window) << " at " << dpi << " dpi";
  EXPECT_EQ(c.bottom, vcl::ScaleToDpi(height96, dpi)) << Describe(window) << " at " << dpi << " dpi";
}

// Every window inside root with its place, to compare before and after.
std::map<HWND, RECT> Places(HWND root) {
  std::map<HWND, RECT> places;
  EnumChildWindows(root, [](HWND c, LPARAM lp) -> BOOL {
    (*reinterpret_cast<std::map<HWND, RECT>*>(lp))[c] = PlaceOf(c);
    return TRUE;
  }, reinterpret_cast<LPARAM>(&places));
  return places;
}

bool SamePlaces(const std::map<HWND, RECT>& a, const std::map<HWND, RECT>& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [hwnd, r] : a) {
    auto it = b.find(hwnd);
    if (it == b.end() || !EqualRect(&r, &it->second)) return false;
  }
  return true;
}

// Tells window it is now on a monitor with dpi, as Windows does when it
// crosses to one: the new dpi and a suggested window rectangle scaled from
// the current one.
void SendDpiChanged(HWND window, int from, int to) {
  RECT r;
  GetWindowRect(window, &r);
  RECT suggested = {r.left, r.top, r.left + MulDiv(r.right - r.left, to, from), r.top + MulDiv(r.bottom - r.top, to, from)};
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(to, to), reinterpret_cast<LPARAM>(&suggested));
}

// The dpi a window is sent to when it leaves the prefix's.
int OtherDpi(int dpi) { return dpi == 96 ? 192 : 96; }

class DpiLayout : public ::testing::Test {
protected:
  // One start-up of the program for all cases, as a user starts it.
  static void SetUpTestSuite() {
    new vcl::TApplication();
    vcl::Application->Title = L"Morvik 141104";
    vcl::SetCommandLine(L"Morvik.exe");
    dir = MakeScratchFolder(L"dpi");
    form = new TMV_MAIN(nullptr);
    form->SettingsPath = dir + L"Morvik.ini";
    form->Show();
    form->FormShow(nullptr);
  }
  static void TearDownTestSuite() {
    vcl::TCloseAction action = vcl::caHide;
    form->FormClose(nullptr, action);
    delete form;
    RemoveScratchFolder(dir);
  }
  void SetUp() override {
    ASSERT_NE(form->MV_OPTION, nullptr) << "the program did not start (no 7-ZIP32.DLL beside the test?)";
    dpi = ExpectedDpi();
  }
  // Shows a dialog without its modal loop, checks it and takes its picture.
  void CheckDialog(vcl::TForm* dialog, int width96, int height96, const wchar_t* name) {
    dialog->MoveTo(20, 20);
    dialog->Show();
    Pump(400);
    EXPECT_EQ(dialog->Dpi(), dpi);
    ExpectClientSize(dialog->Handle(), width96, height96, dpi);
    LOGFONTW lf = {};
    GetObjectW(dialog->CurrentFont(), sizeof(lf), &lf);
    EXPECT_EQ(lf.lfHeight, vcl::ScaleToDpi(-11, dpi));
    ExpectSoundLayout(dialog->Handle(), dpi);
    Screenshot(dialog->Handle(), name);
  }
  static inline std::wstring dir;
  static inline TMV_MAIN* form = nullptr;
  int dpi = 96;
};

TEST_F(DpiLayout, MainWindowAfterAJobAndItsProgressWindow) {
  EXPECT_EQ(form->Dpi(), dpi) << "the prefix's LogPixels is not the screen's dpi";
  EXPECT_EQ(FontHeight(form->LIST->Handle()), vcl::ScaleToDpi(-11, dpi));
  // A job long enough to show the progress window: letters from an alphabet
  // of four keep the best compression busy for seconds.
  const std::wstring source = dir + L"big";
  std::mt19937 random(1);
  for (int i = 0; i < 3; ++i) {
    std::string data(16 << 20, 'a');
    for (char& ch : data) ch = "abcd"[random() & 3];
    CreateDirectoryW(source.c_str(), nullptr);
    WriteFile(source + L"\\part" + std::to_wstring(i) + L".txt", data);
  }
  // The progress window is checked from a thread of its own while the job
  // runs, and cancelled there; the faults come back here.
  const int other = OtherDpi(dpi);
  std::vector<std::string> faults;
  bool seen = false;
  std::thread watcher([&] {
    HWND progress = WaitForWindow(L"MorvikArchiverProgress", 60000);
    if (!progress) return;
    seen = true;
    Sleep(500);
    RECT c;
    GetClientRect(progress, &c);
    if (c.right != vcl::ScaleToDpi(360, dpi) || c.bottom != vcl::ScaleToDpi(118, dpi))
      faults.push_back("progress window's client area " + std::to_string(c.right) + "x" + std::to_string(c.bottom));
    CollectLayoutFaults(progress, dpi, faults);
    Screenshot(progress, L"progress");
    const auto before = Places(progress);
    SendDpiChanged(progress, dpi, other);
    GetClientRect(progress, &c);
    if (c.right != vcl::ScaleToDpi(360, other) || c.bottom != vcl::ScaleToDpi(118, other))
      faults.push_back("at " + std::to_string(other) + " dpi the progress window's client area is " +
                       std::to_string(c.right) + "x" + std::to_string(c.bottom));
    CollectLayoutFaults(progress, other, faults);
    Sleep(300);
    Screenshot(progress, L"progress-moved-to-" + std::to_wstring(other) + L"dpi");
    SendDpiChanged(progress, other, dpi);
    if (!SamePlaces(before, Places(progress))) faults.push_back("the progress window's controls moved on the way back");
    PostMessageW(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0);
  });
  HDROP drop = MakeDrop({source});
  SendMessageW(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
  watcher.join();
  EXPECT_TRUE(seen) << "no progress window";
  for (const std::string& f : faults) ADD_FAILURE() << "progress window at " << dpi << " dpi: " << f;
  EXPECT_EQ(form->LIST->Items().ToVector(), std::vector<std::wstring>{L"[DirectoryNG] big"});

  Pump(300);
  ExpectSoundLayout(form->Handle(), dpi);
  Screenshot(form->Handle(), L"main");

  // Dragged to a monitor with another dpi: the log's font and its scroll
  // range follow (the range covers the widest line in the new font).
  HWND list = form->LIST->Handle();
  SendDpiChanged(form->Handle(), dpi, other);
  EXPECT_EQ(FontHeight(list), vcl::ScaleToDpi(-11, other));
  EXPECT_EQ(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), TextExtent(list, L"[DirectoryNG] big").cx + 5);
  ExpectSoundLayout(form->Handle(), other);
  SendDpiChanged(form->Handle(), other, dpi);
  EXPECT_EQ(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), TextExtent(list, L"[DirectoryNG] big").cx + 5);
}

TEST_F(DpiLayout, OptionsDialog) {
  CheckDialog(form->MV_OPTION, 371, 403, L"options");
  // The browse button's own font, 12 point, scales too.
  EXPECT_EQ(FontHeight(form->MV_OPTION->B_DestFolderSelect->Handle()), vcl::ScaleToDpi(-16, dpi));
  form->MV_OPTION->Hide();
}

TEST_F(DpiLayout, AboutDialogWithItsLinksAndBanner) {
  TMV_ABOUT* about = form->MV_ABOUT;
  CheckDialog(about, 217, 136, L"about");
  // The banner fills its box at this dpi, with a picture made for that size.
  RECT box;
  GetClientRect(about->Image2->Handle(), &box);
  EXPECT_EQ(box.right, vcl::ScaleToDpi(200, dpi));
  EXPECT_EQ(box.bottom, vcl::ScaleToDpi(40, dpi));
  BITMAP bm = {};
  GetObjectW(reinterpret_cast<HBITMAP>(SendMessageW(about->Image2->Handle(), STM_GETIMAGE, IMAGE_BITMAP, 0)),
             sizeof(bm), &bm);
  EXPECT_EQ(bm.bmWidth, box.right);
  EXPECT_EQ(bm.bmHeight, box.bottom);
  about->Hide();
}

// A dialog dragged to a monitor with another dpi, and back.
TEST_F(DpiLayout, OptionsDialogFollowsItsMonitor) {
  TMV_OPTION* dlg = form->MV_OPTION;
  dlg->MoveTo(20, 20);
  dlg->Show();
  Pump(300);
  const auto before = Places(dlg->Handle());
  const int other = OtherDpi(dpi);
  SendDpiChanged(dlg->Handle(), dpi, other);
  Pump(300);
  EXPECT_EQ(dlg->Dpi(), other);
  ExpectClientSize(dlg->Handle(), 371, 403, other);
  EXPECT_EQ(FontHeight(dlg->CB_Profile->Handle()), vcl::ScaleToDpi(-11, other));
  EXPECT_EQ(FontHeight(dlg->B_DestFolderSelect->Handle()), vcl::ScaleToDpi(-16, other));
  EXPECT_EQ(dlg->GB3->Top(), 200);
  EXPECT_EQ(dlg->B_OK->Width(), 75);
  ExpectSoundLayout(dlg->Handle(), other);
  Screenshot(dlg->Handle(), L"options-moved-to-" + std::to_wstring(other) + L"dpi");
  SendDpiChanged(dlg->Handle(), other, dpi);
  Pump(100);
  EXPECT_TRUE(SamePlaces(before, Places(dlg->Handle()))) << "the controls are not back where they were";
  ExpectClientSize(dlg->Handle(), 371, 403, dpi);
  dlg->Hide();
}

}  // namespace
