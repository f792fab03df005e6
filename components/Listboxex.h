// TListBoxEx: a list box whose horizontal scroll range follows its widest
// line, so that a line wider than the box can be scrolled into view. It
// watches the messages that add, delete and clear lines, lets the list box
// carry each out, then adjusts the extent. The widest width is cached: an
// added line costs one measurement, and only deleting a widest line costs a
// rescan.
#pragma once

#include "Controls.h"

namespace morvik {

class TListBoxEx : public vcl::TListBox {
public:
  TListBoxEx(vcl::TComponent* AOwner, vcl::TWinControl* AParent);

  // Margin in pixels added to the widest line's width to form the extent.
  int Space() const { return FSpace; }
  void Space(int value);

  // Pixel width of a line in the list box's font; 0 for an index that names
  // no line.
  int GetTextWidth(int index);

  void Dispatch(vcl::TMessage& message) override;

protected:
  virtual void LBAdd(vcl::TMessage& message);
  virtual void LBDelete(vcl::TMessage& message);
  virtual void LBResetContent(vcl::TMessage& message);
  // The font was made anew for another dpi: every line is measured again.
  void DpiChanged() override;

  int FMaxWidth = 0;  // width of the widest line as last measured

private:
  void SendExtent(int extent);
  void Remeasure();

  int FSpace = 5;
};

}  // namespace morvik
