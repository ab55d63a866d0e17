#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

class QPainter;

namespace tessaryn {

// Icons of our own, drawn so that they follow the palette and any scale.
QIcon circleIcon(bool filled, const QColor& color);
QIcon refreshIcon(const QColor& color);
QIcon removeIcon(const QColor& color);
QIcon checkIcon(const QColor& color);
QIcon warningIcon();
// What the tray icon shows: a dark disc with a grey rim when stopped, an orange rim when
// bridging, all orange while MIDI moves, and a red badge on the grey rim in trouble (failed,
// waiting for the device, not reading).
enum class TrayLook { stopped, bridging, lit, trouble };
// The tray's, the window's and the maker's pictures all come from packaging/tessaryn.svg.
QIcon trayIcon(TrayLook look);
// The application's icon, and the same with the red badge, for the window while the bridge is
// in trouble; sharp at any screen scale.
QIcon applicationIcon();
QIcon troubleIcon();
// The maker's mark for the report row, three times as wide as it is high.
void drawMark(QPainter& p, const QRectF& target);

}  // namespace tessaryn
