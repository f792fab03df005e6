// The about dialog: the application's title with its version stamp, the
// maker's name, a web and a mail link, and the banner.
#pragma once

#include "Controls.h"
#include "Forms.h"
#include "URLLink.h"

class TMV_ABOUT : public vcl::TForm {
public:
  explicit TMV_ABOUT(vcl::TComponent* AOwner);

  vcl::TLabel* L_AppName;
  vcl::TLabel* Label2;
  morvik::TURLLink* L_URL;
  morvik::TURLLink* L_EMail;
  vcl::TImage* Image2;
};

// The application's title with its version stamp: the main window's caption
// and the first line of the dialog. Tests read it from here too.
inline constexpr wchar_t kApplicationTitle[] = L"Morvik 141104";

// The maker's name and addresses shown in the dialog.
extern const wchar_t* const kMakerName;
extern const wchar_t* const kMakerURL;
extern const wchar_t* const kMakerEMail;
