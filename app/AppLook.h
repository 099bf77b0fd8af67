// The look both windows share: the design font and the drawn pictures (banner and icons).
#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>

// A sans font at 8 pt (11 pixels at 96 dpi), the size the windows are laid out for.
QFont DesignFont();

// The 287 x 70 banner across the top of the main window, transparent around the drawing.
QPixmap BannerPicture();

// 32 x 32 icons of the main window and of the status window.
QIcon MainIcon();
QIcon CaptionIcon();
