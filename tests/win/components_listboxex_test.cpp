// TListBoxEx against a real list box under Wine. A subclass in front of the
// control counts what the class sends to its own window: the extents
// (LB_SETHORIZONTALEXTENT) and the lines fetched for measuring (LB_GETTEXT).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Forms.h"
#include "Listboxex.h"

using morvik::TListBoxEx;

namespace {

struct Counts {
  std::vector<int> extents;
  int fetches = 0;
};
Counts g_counts;
WNDPROC g_next = nullptr;

LRESULT CALLBACK Counting(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == LB_SETHORIZONTALEXTENT) g_counts.extents.push_back(static_cast<int>(wp));
  if (msg == LB_GETTEXT) ++g_counts.fetches;
  return CallWindowProcW(g_next, hwnd, msg, wp, lp);
}

class ListBoxEx : public ::testing::Test {
protected:
  void SetUp() override {
    form = new vcl::TForm(nullptr, L"MorvikListBoxExTest");
    list = new TListBoxEx(form, form);
    list->SetBounds(0, 0, 200, 100);
    g_next = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(list->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Counting)));
    Reset();
  }
  void TearDown() override {
    SetWindowLongPtrW(list->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_next));
    delete form;
  }
  static void Reset() { g_counts = Counts(); }
  int Extent() { return static_cast<int>(SendMessageW(list->Handle(), LB_GETHORIZONTALEXTENT, 0, 0)); }
  int Add(const std::wstring& s) {
    return static_cast<int>(SendMessageW(list->Handle(), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.c_str())));
  }
  void Delete(int i) { SendMessageW(list->Handle(), LB_DELETESTRING, i, 0); }
  // Width of a text as the list box measures it, without counting.
  int Width(const std::wstring& s) {
    int i = Add(s);
    int w = list->GetTextWidth(i);
    SendMessageW(g_next ? list->Handle() : nullptr, LB_RESETCONTENT, 0, 0);
    Reset();
    return w;
  }

  vcl::TForm* form = nullptr;
  TListBoxEx* list = nullptr;
};

TEST_F(ListBoxEx, StartsWithSpaceFiveAndSendsNothing) {
  EXPECT_NE(SendMessageW(list->Handle(), WM_GETFONT, 0, 0), 0) << "the list box shows its form's font";
  EXPECT_EQ(list->Space(), 5);
  EXPECT_TRUE(g_counts.extents.empty());
}

TEST_F(ListBoxEx, AddsSendOnlyWhenAWiderLineArrives) {
  const int shortW = Width(L"ab"), longW = Width(L"abcdefghijklmnop");
  ASSERT_LT(shortW, longW);
  Add(L"ab");
  Add(L"abcdefghijklmnop");
  Add(L"abc");
  Add(L"abcdefghijklmnop");  // exactly as wide as the widest
  EXPECT_EQ(g_counts.extents, (std::vector<int>{shortW + 5, longW + 5}));
  EXPECT_EQ(g_counts.fetches, 4) << "an add measures the added line only";
  EXPECT_EQ(Extent(), longW + 5);
}

TEST_F(ListBoxEx, InsertIsTreatedAsAdd) {
  const int w = Width(L"inserted line");
  SendMessageW(list->Handle(), LB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(L"inserted line"));
  EXPECT_EQ(g_counts.extents, std::vector<int>{w + 5});
  EXPECT_EQ(Extent(), w + 5);
}

TEST_F(ListBoxEx, DeletesRescanOnlyForAWidestLine) {
  const int wA = Width(L"aaaaaaaaaaaaaaaaaaaa"), wB = Width(L"bbbbbbbbbb");
  ASSERT_GT(wA, wB);
  Add(L"x");
  Add(L"bbbbbbbbbb");
  Add(L"aaaaaaaaaaaaaaaaaaaa");
  Add(L"aaaaaaaaaaaaaaaaaaaa");
  Reset();
  Delete(0);  // narrower than the widest
  EXPECT_TRUE(g_counts.extents.empty());
  EXPECT_EQ(g_counts.fetches, 1);
  Reset();
  Delete(1);  // one of two widest: rescan, same extent again
  EXPECT_EQ(g_counts.extents, std::vector<int>{wA + 5});
  EXPECT_EQ(g_counts.fetches, 1 + 2);
  Reset();
  Delete(1);  // the only widest: down to the next widest
  EXPECT_EQ(g_counts.extents, std::vector<int>{wB + 5});
  Reset();
  Delete(0);  // the last line (Wine's list box also clears itself then,
              // which sends the same extent once more)
  ASSERT_FALSE(g_counts.extents.empty());
  EXPECT_EQ(g_counts.extents.back(), 5);
  EXPECT_EQ(Extent(), 5);
}

TEST_F(ListBoxEx, ClearSendsSpaceEvenWhenEmptyAndMeasuresNothing) {
  list->Items().Clear();
  Add(L"some line");
  Reset();
  list->Items().Clear();
  EXPECT_EQ(g_counts.extents, std::vector<int>{5});
  EXPECT_EQ(g_counts.fetches, 0);
}

TEST_F(ListBoxEx, SpaceAssignmentAlwaysSends) {
  const int w = Width(L"the widest line here");
  Add(L"the widest line here");
  Reset();
  list->Space(10);
  list->Space(10);
  EXPECT_EQ(g_counts.extents, (std::vector<int>{w + 10, w + 10}));
  EXPECT_EQ(list->Space(), 10);
  Reset();
  Add(L"the widest line here, and longer");
  list->Items().Clear();
  EXPECT_EQ(g_counts.extents.back(), 10);
}

TEST_F(ListBoxEx, MessagesNamingNoLineMeasureNothing) {
  Add(L"one");
  Reset();
  Delete(7);
  Delete(-1);
  EXPECT_EQ(g_counts.fetches, 0);
  EXPECT_TRUE(g_counts.extents.empty());
  EXPECT_EQ(list->GetTextWidth(42), 0);
  EXPECT_EQ(list->Items().Count(), 1);
}

TEST_F(ListBoxEx, CostOnTenThousandLines) {
  for (int i = 0; i < 10000; ++i) Add(L"line " + std::to_wstring(i) + (i == 5000 ? L" the single widest line" : L""));
  EXPECT_EQ(g_counts.fetches, 10000);
  Reset();
  Delete(0);
  EXPECT_EQ(g_counts.fetches, 1);
  Reset();
  Delete(4999);  // the widest line, now at 4999
  EXPECT_EQ(g_counts.fetches, 1 + 9998);
  EXPECT_EQ(g_counts.extents.size(), 1u);
  Reset();
  list->Items().Clear();
  EXPECT_EQ(g_counts.fetches, 0);
}

TEST_F(ListBoxEx, LongLinesScrollIntoView) {
  std::wstring line = L"[FileOK] " + std::wstring(300, L'長');
  Add(line);
  EXPECT_GT(Extent(), 200) << "a line wider than the box widens the scroll range";
}

}  // namespace

namespace {

int DrawnWidth(HFONT font, const std::wstring& text) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  RECT r = {0, 0, 0, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return r.right - r.left;
}

TEST_F(ListBoxEx, MeasuresInTheFontTheLinesAreShownIn) {
  HFONT big = CreateFontW(-30, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");
  SendMessageW(list->Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(big), FALSE);
  for (const std::wstring line : {std::wstring(L"[FileOK] report.txt"), std::wstring(L"[FileOK] とても長い名前.txt")}) {
    list->Items().Clear();
    Reset();
    Add(line);
    ASSERT_EQ(g_counts.extents.size(), 1u);
    EXPECT_EQ(g_counts.extents[0], DrawnWidth(big, line) + 5);
  }
  SendMessageW(list->Handle(), WM_SETFONT, 0, FALSE);
  DeleteObject(big);
}

}  // namespace
