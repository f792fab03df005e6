// TURLLink on a real form under Wine: values after construction, hover
// colours, the tip window, and what a press hands to the shell (seen through
// the label's shell-call seam).
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Forms.h"
#include "URLLink.h"

using morvik::TURLLink;

namespace {

struct ShellCall {
  HWND hwnd;
  std::wstring verb, file, params, dir;
  INT show;
};
std::vector<ShellCall> g_calls;

HINSTANCE WINAPI RecordShell(HWND hwnd, LPCWSTR verb, LPCWSTR file, LPCWSTR params, LPCWSTR dir, INT show) {
  g_calls.push_back({hwnd, verb ? verb : L"<null>", file ? file : L"<null>", params ? params : L"<null>",
                     dir ? dir : L"<null>", show});
  return reinterpret_cast<HINSTANCE>(42);
}

int g_paints = 0;
WNDPROC g_next = nullptr;
LRESULT CALLBACK CountPaints(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) ++g_paints;
  return CallWindowProcW(g_next, hwnd, msg, wp, lp);
}

class URLLink : public ::testing::Test {
protected:
  void SetUp() override {
    g_calls.clear();
    TURLLink::ShellExecuteFn = RecordShell;
    form = new vcl::TForm(nullptr, L"MorvikURLLinkTest");
    form->ClientSize(300, 100);
    link = new TURLLink(form, form);
    link->SetBounds(8, 48, 101, 13);
    link->Caption(L"https://morvik.example.org/");
    form->Show();
  }
  void TearDown() override {
    if (g_next) SetWindowLongPtrW(link->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_next));
    g_next = nullptr;
    delete form;
    TURLLink::ShellExecuteFn = ::ShellExecuteW;
  }
  void Send(UINT msg, WPARAM wp = 0, LPARAM lp = 0) { SendMessageW(link->Handle(), msg, wp, lp); }
  bool TipVisible() { return IsWindowVisible(link->HintWindow()) != FALSE; }

  vcl::TForm* form = nullptr;
  TURLLink* link = nullptr;
};

TEST_F(URLLink, ValuesAfterConstruction) {
  EXPECT_EQ(link->URLType(), morvik::tpURL);
  EXPECT_EQ(link->Link(), L"http://");
  EXPECT_TRUE(link->EnableShowHint());
  EXPECT_EQ(link->HintFormColor(), 0xFF000018u);
  EXPECT_EQ(link->HintOffsetX(), 15);
  EXPECT_EQ(link->HintOffsetY(), 15);
  EXPECT_EQ(link->LinkColor(), 0x0000FFu);
  EXPECT_EQ(link->Font().Color, 0xFF0000u);
  EXPECT_FALSE(link->HintShown());
  ASSERT_NE(link->HintWindow(), nullptr);
  EXPECT_FALSE(TipVisible());
  EXPECT_EQ(GetWindow(link->HintWindow(), GW_OWNER), nullptr);
  Send(WM_SETCURSOR, reinterpret_cast<WPARAM>(link->Handle()), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), LoadCursor(nullptr, IDC_HAND));
}

TEST_F(URLLink, LeftPressOpensTheTargetThroughTheShell) {
  link->Link(L"ftp://any.scheme/as-is");
  Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  link->URLType(morvik::tpMAIL);
  link->Link(L"");
  Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  link->Link(L"info@morvik.example.org");
  Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_EQ(g_calls[0].file, L"ftp://any.scheme/as-is");
  EXPECT_EQ(g_calls[1].file, L"mailto:");
  EXPECT_EQ(g_calls[2].file, L"mailto:info@morvik.example.org");
  for (const auto& c : g_calls) {
    EXPECT_EQ(c.hwnd, nullptr);
    EXPECT_EQ(c.verb, L"OPEN");
    EXPECT_EQ(c.params, L"");
    EXPECT_EQ(c.dir, L"");
    EXPECT_EQ(c.show, SW_SHOW);
  }
}

TEST_F(URLLink, OtherButtonsRunThePressEventOnly) {
  std::vector<morvik::TMouseButton> presses;
  link->OnMouseDown = [&](vcl::TObject*, morvik::TMouseButton b, int, int) { presses.push_back(b); };
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  ASSERT_TRUE(TipVisible());
  Send(WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(3, 3));
  Send(WM_MBUTTONDOWN, MK_MBUTTON, MAKELPARAM(3, 3));
  EXPECT_TRUE(g_calls.empty());
  EXPECT_TRUE(TipVisible()) << "a right or middle press leaves the tip";
  Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  EXPECT_EQ(presses, (std::vector<morvik::TMouseButton>{morvik::mbRight, morvik::mbMiddle, morvik::mbLeft}));
  EXPECT_EQ(g_calls.size(), 1u);
  EXPECT_FALSE(TipVisible()) << "a left press hides the tip";
  EXPECT_FALSE(link->HintShown());
}

TEST_F(URLLink, HoverColourAndRestoreOnLeave) {
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(link->Font().Color, link->LinkColor());
  link->Font().Color = 0x00FF00;  // changed while the pointer is over it
  Send(WM_MOUSELEAVE);
  EXPECT_EQ(link->Font().Color, 0xFF0000u);
}

TEST_F(URLLink, TipShowsOnceAtThePointerSizedToTheLink) {
  HWND active = GetActiveWindow();
  link->Link(L"https://morvik.example.org/very/long/address");
  POINT at;
  GetCursorPos(&at);
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  ASSERT_TRUE(TipVisible());
  EXPECT_TRUE(link->HintShown());
  RECT r;
  GetWindowRect(link->HintWindow(), &r);
  EXPECT_EQ(r.left, at.x + 15);
  EXPECT_EQ(r.top, at.y + 15);
  // Sized to the link text in the tip font: wider than the short caption box.
  EXPECT_GT(r.right - r.left, 150);
  EXPECT_EQ(GetActiveWindow(), active) << "the tip never takes activation";
  SetCursorPos(at.x + 40, at.y + 40);
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
  RECT again;
  GetWindowRect(link->HintWindow(), &again);
  EXPECT_EQ(again.left, r.left) << "further moves leave the tip where it is";
  Send(WM_MOUSELEAVE);
  EXPECT_FALSE(TipVisible());
  EXPECT_FALSE(link->HintShown());
}

TEST_F(URLLink, NoTipWhenDisabledButColoursStillRestore) {
  link->EnableShowHint(false);
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  EXPECT_FALSE(TipVisible());
  Send(WM_MOUSELEAVE);
  EXPECT_EQ(link->Font().Color, 0xFF0000u);
}

TEST_F(URLLink, SettersRepaintOnlyOnAChange) {
  g_next = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(link->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountPaints)));
  g_paints = 0;
  link->Link(L"http://");
  link->URLType(morvik::tpURL);
  link->LinkColor(0x0000FF);
  link->HintFormColor(0xFF000018);
  link->HintOffsetX(15);
  link->HintOffsetY(15);
  link->EnableShowHint(true);
  EXPECT_EQ(g_paints, 0);
  link->LinkColor(0x00FF00);
  EXPECT_GE(g_paints, 1);
  const int before = g_paints;
  link->HintOffsetY(20);
  EXPECT_GT(g_paints, before);
}

}  // namespace
