// The about dialog built in process: its window, its labels and links, the
// banner from the resources, and link captions that fit their boxes.
#include <windows.h>

#include <gtest/gtest.h>

#include "About.h"
#include "text_extent.h"

namespace {

int TextWidth(HWND control, const std::wstring& text) { return testutil::TextExtent(control, text).cx; }

LOGFONTW FontOf(HWND control) {
  LOGFONTW lf = {};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
  return lf;
}

class About : public ::testing::Test {
protected:
  void SetUp() override {
    app.Title = kApplicationTitle;
    about = new TMV_ABOUT(nullptr);
  }
  void TearDown() override { delete about; }
  vcl::TApplication app;
  TMV_ABOUT* about = nullptr;
};

TEST_F(About, WindowHasOnlyACloseBoxAndItsSize) {
  EXPECT_EQ(about->Caption(), L"バージョン情報");
  EXPECT_EQ(about->ClientWidth(), 217);
  EXPECT_EQ(about->ClientHeight(), 136);
  LONG style = GetWindowLongW(about->Handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
  EXPECT_EQ(about->Color(), vcl::clBlack);
  EXPECT_TRUE(about->ScreenSnap);
}

TEST_F(About, TitleAndMakerInWhiteTahoma) {
  EXPECT_EQ(about->L_AppName->Caption(), kApplicationTitle);
  EXPECT_GE(FontOf(about->L_AppName->Handle()).lfWeight, FW_BOLD);
  EXPECT_EQ(std::wstring(FontOf(about->L_AppName->Handle()).lfFaceName), L"Tahoma");
  EXPECT_EQ(about->Label2->Caption(), kMakerName);
  EXPECT_EQ(about->L_AppName->Left(), 8);
  EXPECT_EQ(about->Label2->Top(), 32);
}

TEST_F(About, LinksAsConfigured) {
  struct Case { morvik::TURLLink* link; morvik::TURLtype type; const wchar_t* address; int top, width; };
  for (const Case& c : {Case{about->L_URL, morvik::tpURL, kMakerURL, 48, 101},
                        Case{about->L_EMail, morvik::tpMAIL, kMakerEMail, 64, 120}}) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.link->URLType(), c.type);
    EXPECT_EQ(c.link->Link(), c.address);
    EXPECT_EQ(c.link->Caption(), c.address);
    EXPECT_FALSE(c.link->EnableShowHint());
    EXPECT_EQ(c.link->LinkColor(), vcl::clRed);
    EXPECT_EQ(c.link->Font().Color, vcl::clWhite);
    LOGFONTW lf = FontOf(c.link->Handle());
    EXPECT_TRUE(lf.lfUnderline);
    EXPECT_EQ(lf.lfCharSet, SHIFTJIS_CHARSET);
    EXPECT_EQ(c.link->HintFormFont().Name, L"ＭＳ Ｐゴシック");
    EXPECT_EQ(c.link->Left(), 8);
    EXPECT_EQ(c.link->Top(), c.top);
    EXPECT_EQ(c.link->Width(), c.width);
    EXPECT_EQ(c.link->Height(), 13);
    EXPECT_LE(TextWidth(c.link->Handle(), c.address), c.width) << "the address is cut off in its box";
  }
  EXPECT_EQ(about->L_EMail->Target(), std::wstring(L"mailto:") + kMakerEMail);
}

TEST_F(About, BannerIsThePalettedBitmap) {
  HBITMAP bmp = reinterpret_cast<HBITMAP>(SendMessageW(about->Image2->Handle(), STM_GETIMAGE, IMAGE_BITMAP, 0));
  ASSERT_NE(bmp, nullptr);
  DIBSECTION dib = {};
  ASSERT_EQ(GetObjectW(bmp, sizeof(dib), &dib), static_cast<int>(sizeof(dib)));
  EXPECT_EQ(dib.dsBm.bmWidth, 200);
  EXPECT_EQ(dib.dsBm.bmHeight, 40);
  EXPECT_EQ(dib.dsBm.bmBitsPixel, 8);
  EXPECT_EQ(about->Image2->Width(), 200);
  EXPECT_EQ(about->Image2->Height(), 40);
}

}  // namespace
