#include "About.h"

const wchar_t* const kMakerName = L"Morvik Project";
const wchar_t* const kMakerURL = L"http://morvik.test/";
const wchar_t* const kMakerEMail = L"info@morvik.test";

namespace {

// Both links: white underlined Tahoma on the black ground, red under the
// pointer, no tip window (its font stays set for when it is enabled).
void SetUpLink(morvik::TURLLink& link, morvik::TURLtype type, const wchar_t* address,
               int left, int top, int width, int height) {
  link.SetBounds(left, top, width, height);
  link.URLType(type);
  link.Link(address);
  link.Caption(address);
  vcl::TFont& font = link.Font();
  font.Name = L"Tahoma";
  font.Height = -11;
  font.Charset = SHIFTJIS_CHARSET;
  font.Color = vcl::clWhite;
  font.Style = vcl::fsUnderline;
  link.FontChanged();
  link.FitHeight();
  link.LinkColor(vcl::clRed);
  link.EnableShowHint(false);
  vcl::TFont hint;
  hint.Name = L"ＭＳ Ｐゴシック";
  hint.Height = -12;
  hint.Charset = SHIFTJIS_CHARSET;
  hint.Color = vcl::clWindowText;
  link.HintFormFont(hint);
}

}  // namespace

TMV_ABOUT::TMV_ABOUT(vcl::TComponent* AOwner)
    : vcl::TForm(AOwner, L"TMV_ABOUT", vcl::bsDialog, vcl::biSystemMenu) {
  Caption(L"バージョン情報");
  ClientSize(217, 136);
  Color(vcl::clBlack);
  ScreenSnap = true;

  L_AppName = new vcl::TLabel(this, this);
  L_AppName->SetBounds(8, 8, 200, 13);
  L_AppName->Font().Style = vcl::fsBold;
  L_AppName->Font().Color = vcl::clWhite;
  L_AppName->FontChanged();
  // The form's placeholder; the application's title replaces it below.
  L_AppName->Caption(L"L_AppName");
  L_AppName->AutoSize();

  Label2 = new vcl::TLabel(this, this);
  Label2->SetBounds(8, 32, 200, 13);
  Label2->Font().Color = vcl::clWhite;
  Label2->FontChanged();
  Label2->Caption(kMakerName);
  Label2->AutoSize();

  L_URL = new morvik::TURLLink(this, this);
  SetUpLink(*L_URL, morvik::tpURL, kMakerURL, 8, 48, 101, 13);
  L_EMail = new morvik::TURLLink(this, this);
  SetUpLink(*L_EMail, morvik::tpMAIL, kMakerEMail, 8, 64, 120, 13);

  Image2 = new vcl::TImage(this, this);
  Image2->SetBounds(8, 88, 200, 40);
  Image2->LoadFromResourceName(L"BANNER");

  if (vcl::Application) L_AppName->Caption(vcl::Application->Title);
  L_AppName->AutoSize();
}
