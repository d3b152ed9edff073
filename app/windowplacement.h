#pragma once
// Where the window opens: at its own size, or the size and place it had when it last closed, made
// to fit the screen's available area (the taskbar and docks left out). Office laptops have screens
// of 1366 × 768 or 1280 × 720, smaller than the window's own 1215 × 853 with its frame, so the
// window gives up height first; below its minimum it would lose controls, so there it stops
// shrinking and keeps its title bar on the screen. Plain functions of rectangles, no widget.

#include <QMargins>
#include <QRect>
#include <QSize>
#include <optional>

// The smallest client area that keeps every control: the top row at its width, and a list and log
// still worth reading. With a frame and a taskbar it fits a 1280 × 720 screen.
QSize minimumClientSize();

// The client rectangle (inside the frame) for a window whose frame adds `frame` around it.
// preferred: the window's own size, centred on the area. saved: where it was when it last closed;
// its size and place are kept as far as the area allows, and a place off this screen (a monitor
// since unplugged) is brought back onto it. The frame lies within the area whenever the minimum
// allows; when even the minimum is too large, the frame's top left corner stays on the area.
QRect placeWindow(const QRect &available, const QMargins &frame, const QSize &minimum, const QSize &preferred,
                  const std::optional<QRect> &saved);

// A saved rectangle worth using: positive size, no absurd coordinates (a hand-edited file).
bool usableSavedRect(const QRect &rect);
