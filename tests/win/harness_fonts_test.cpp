// Checks the Wine prefix the tests run in: Japanese text in the fonts the
// program's forms use must draw as real glyphs. A missing glyph draws as the
// same box for every character, so two different characters drawing
// identically means the font setup is broken.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Rendering {
  std::vector<DWORD> pixels;
  int ink = 0;  // pixels that are not background
};

Rendering Render(const wchar_t* face, int height, const wchar_t* text) {
  const int w = 64, h = 64;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ oldBmp = SelectObject(dc, bmp);
  HFONT font = CreateFontW(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                           DEFAULT_PITCH, face);
  HGDIOBJ oldFont = SelectObject(dc, font);
  RECT r = {0, 0, w, h};
  FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  SetTextColor(dc, RGB(0, 0, 0));
  SetBkMode(dc, TRANSPARENT);
  DrawTextW(dc, text, -1, &r, DT_LEFT | DT_TOP | DT_NOPREFIX);
  GdiFlush();
  Rendering out;
  const DWORD* p = static_cast<const DWORD*>(bits);
  out.pixels.assign(p, p + w * h);
  for (DWORD px : out.pixels) out.ink += (px & 0xFFFFFF) != 0xFFFFFF;
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBmp);
  DeleteObject(font);
  DeleteObject(bmp);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return out;
}

class JapaneseGlyphs : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(JapaneseGlyphs, DifferentCharactersDrawDifferently) {
  const wchar_t* face = GetParam();
  // The characters of 圧縮設定 (the options dialog's caption).
  const wchar_t* chars[] = {L"圧", L"縮", L"設", L"定"};
  std::vector<Rendering> r;
  for (const wchar_t* c : chars) {
    r.push_back(Render(face, 24, c));
    EXPECT_GT(r.back().ink, 10) << "nothing drawn for a character in this font";
  }
  for (size_t i = 1; i < r.size(); ++i) {
    EXPECT_NE(r[0].pixels, r[i].pixels) << "two characters draw as the same box: glyphs are missing";
  }
}

INSTANTIATE_TEST_SUITE_P(Fonts, JapaneseGlyphs,
                         ::testing::Values(L"Tahoma", L"ＭＳ Ｐゴシック", L"MS UI Gothic"));

}  // namespace
