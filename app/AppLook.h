// The look both windows share: the design font and the drawn pictures (banner and icons).
#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>

// A sans font of 10 pixels. The windows are laid out for an 8 pt (11 pixel) face narrower than
// today's sans fonts; at 11 pixels "Address" would run into its field, at 10 every label keeps
// clear of the control beside it.
QFont DesignFont();

// The 287 x 70 banner across the top of the main window, transparent around the drawing.
QPixmap BannerPicture();

// 32 x 32 icons of the main window and of the status window.
QIcon MainIcon();
QIcon CaptionIcon();
