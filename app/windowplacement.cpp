#include "windowplacement.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Keeps [start, start + length) inside [low, high) where it fits; where it does not, the start
// stays at low so the title bar and the left edge remain reachable.
int clampSpan(int start, int length, int low, int high)
{
    if (length >= high - low)
        return low;
    return std::clamp(start, low, high - length);
}

} // namespace

QSize minimumClientSize()
{
    // The top row ends at 1200 (the pause and stop buttons) and its group boxes are 65 high; below
    // them the log's label, and then at least a dozen lines of log and list.
    return {1215, 560};
}

bool usableSavedRect(const QRect &rect)
{
    constexpr int far = 100000;
    return rect.width() > 0 && rect.height() > 0 && rect.width() < far && rect.height() < far &&
           std::abs(rect.x()) < far && std::abs(rect.y()) < far;
}

QRect placeWindow(const QRect &available, const QMargins &frame, const QSize &minimum, const QSize &preferred,
                  const std::optional<QRect> &saved)
{
    const bool useSaved = saved && usableSavedRect(*saved);
    const QSize wanted = useSaved ? saved->size() : preferred;
    // The client room the area leaves once the frame is around it.
    const int roomWidth = available.width() - frame.left() - frame.right();
    const int roomHeight = available.height() - frame.top() - frame.bottom();
    const QSize size(std::max(minimum.width(), std::min(wanted.width(), roomWidth)),
                     std::max(minimum.height(), std::min(wanted.height(), roomHeight)));
    const QSize outer(size.width() + frame.left() + frame.right(), size.height() + frame.top() + frame.bottom());

    QPoint outerTopLeft;
    if (useSaved) {
        outerTopLeft = saved->topLeft() - QPoint(frame.left(), frame.top());
    } else {
        outerTopLeft = QPoint(available.x() + (available.width() - outer.width()) / 2,
                              available.y() + (available.height() - outer.height()) / 2);
    }
    outerTopLeft.setX(clampSpan(outerTopLeft.x(), outer.width(), available.left(), available.x() + available.width()));
    outerTopLeft.setY(clampSpan(outerTopLeft.y(), outer.height(), available.top(), available.y() + available.height()));
    return {outerTopLeft + QPoint(frame.left(), frame.top()), size};
}
