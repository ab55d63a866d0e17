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
// The tray item: a ring, filled while MIDI moves, outlined so that it reads on light and dark
// panels alike.
QIcon trayIcon(bool lit);
QPixmap markPixmap(int height);  // the maker's mark for the report row
QIcon applicationIcon();

}  // namespace tessaryn
