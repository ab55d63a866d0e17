#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace tessaryn {

// Icons of our own, drawn so that they follow the palette and any scale.
QIcon circleIcon(bool filled, const QColor& color);
QIcon refreshIcon(const QColor& color);
QIcon removeIcon(const QColor& color);
QIcon checkIcon(const QColor& color);
QIcon warningIcon();
// What the tray icon shows: stopped (a grey ring), bridging (a dark ring, filled while MIDI
// moves) or in trouble (a red badge on the ring: failed, waiting for the device, not reading).
enum class TrayLook { stopped, bridging, lit, trouble };
// Outlined so that it reads on light and dark panels alike.
QIcon trayIcon(TrayLook look);
// The application's icon with the same red badge, for the window while the bridge is in trouble.
QIcon troubleIcon();
QPixmap markPixmap(int height);  // the maker's mark for the report row
QIcon applicationIcon();

}  // namespace tessaryn
