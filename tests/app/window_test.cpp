// The real window and tray over a bridge on the loopback MIDI service (offscreen: no tray).
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>

#include "app/main_window.h"  // with the widgets and the bridge
#include "app/qt_main_queue.h"
#include "app/tray.h"  // with the icons
#include "midi/loopback/loopback_midi.h"
#include "serial/pty.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

using namespace tessaryn;
using tessaryn::testing::readFile;
namespace fs = std::filesystem;

namespace {

QStringList items(QComboBox* c) {
    QStringList out;
    for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
    return out;
}

class Window : public tessaryn::testing::TempDirTest {
  protected:
    // Opens the window; expanded: with its collapsible groups open.
    void open(bool expanded = false) {
        window = std::make_unique<MainWindow>(
            *bridge, Autostart(dir / "xdg", "Halvenor"), [this] { return ports; }, "forms.example",
            "Kit2");
        tray = std::make_unique<Tray>(
            *bridge, "Kit2", [this] { window->bringForward(); }, [this] { ++quits; });
        pairWithTray(*window, *tray);
        window->show();
        for (Collapsible* group : {window->routingGroup(), window->learnedGroup()})
            group->setExpanded(expanded);
        settle();
    }
    // Long enough for the window's next redraw (they come at most every 33 ms).
    void settle() { QTest::qWait(50); }
    void startOnPty() {
        prefs->setText("port", pty.path);
        bridge->startFromSaved();
        ASSERT_TRUE(bridge->running()) << bridge->status();
    }
    QWidget* focusOn(QWidget* w) {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        w->setFocus();
        return w;
    }
    // Replaces what the field holds with typed text, as a user would.
    template <typename Field>
    void type(Field* field, const char* text) {
        focusOn(field);
        field->selectAll();
        QTest::keyClicks(field, text);
    }
    // The window's first widget of type W that `pred` holds for.
    template <typename W, typename Pred>
    W* find(Pred pred) {
        for (W* w : window->findChildren<W*>())
            if (pred(w)) return w;
        return nullptr;
    }
    template <typename W>
    W* byText(const QString& text) {
        return find<W>([&](W* w) { return QString(w->text()).remove('&') == text; });
    }
    bool hasLabel(const QString& text) {
        return find<QLabel>(
            [&](QLabel* l) { return l->text() == text && l->isVisibleTo(window.get()); });
    }

    QtMainQueue main;
    std::shared_ptr<LoopbackHub> hub = std::make_shared<LoopbackHub>();
    std::vector<std::string> ports;
    std::shared_ptr<Preferences> prefs = std::make_shared<Preferences>(dir / "config");
    std::shared_ptr<Bridge> bridge = Bridge::create(main, prefs, hub->factory(), [this] {
        std::vector<SerialDevice> devices;
        for (const auto& p : ports) devices.push_back({p, "", true});
        return devices;
    });
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Tray> tray;
    int quits = 0;
    tessaryn::testing::Pty pty;  // the board
};

}  // namespace

TEST_F(Window, LearnedControlsTheVelocityCurveAndTheTray) {
    open();
    window->learnedGroup()->setExpanded(true);
    settle();
    EXPECT_TRUE(hasLabel("No saved mappings."));
    QPushButton* learn = byText<QPushButton>("Learn next control");
    for (const bool listening : {true, false}) {
        QTest::mouseClick(learn, Qt::LeftButton);
        settle();
        EXPECT_EQ(bridge->learning(), listening);
    }

    const int height = window->height();
    bridge->setPendingLearn(PendingLearn{true, 7});
    bridge->setLearnDestination(20);
    // The captured control's row grows the window.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->height() > height; }));
    QPushButton* save = byText<QPushButton>("Save mapping");
    ASSERT_TRUE(save && save->isVisible());
    QTest::mouseClick(save, Qt::LeftButton);
    settle();
    EXPECT_TRUE(!save->isVisible() && hasLabel("CC 7 → CC 20"));
    QTest::mouseClick(window->findChild<QToolButton*>("removeRoute"), Qt::LeftButton);
    settle();
    EXPECT_TRUE(bridge->routes().empty() && hasLabel("No saved mappings."));

    auto* slider = window->findChild<QSlider*>();
    // A drag writes the preferences file once, when it ends, with the last value.
    slider->setSliderDown(true);
    slider->setValue(1200);
    slider->setValue(1400);
    EXPECT_DOUBLE_EQ(bridge->velocityCurve(), 1.4);
    EXPECT_NE(Preferences(dir / "config").real("velocityCurve"), 1.4);
    slider->setSliderDown(false);
    EXPECT_EQ(Preferences(dir / "config").real("velocityCurve"), 1.4);
    settle();
    EXPECT_TRUE(hasLabel("Light hits stay quiet."));
    // A screen reader hears and sets the exponent itself.
    auto* curve = QAccessible::queryAccessibleInterface(slider);
    EXPECT_EQ(curve->text(QAccessible::Value), "1.40");
    curve->valueInterface()->setCurrentValue(0.5);
    EXPECT_DOUBLE_EQ(bridge->velocityCurve(), 0.5);

    // The tray.
    QAction *status = tray->statusAction(), *startStop = tray->startStopAction();
    EXPECT_EQ(tray->shownLook(), TrayLook::stopped);
    startStop->trigger();  // no saved port
    EXPECT_EQ(status->text(), "Choose a serial port in the window.");
    EXPECT_EQ(tray->shownLook(), TrayLook::trouble);
    settle();  // the window's icon wears the same badge
    EXPECT_EQ(window->windowIcon().pixmap(32).toImage(), troubleIcon().pixmap(32).toImage());
    // The launcher's PNGs were drawn from the SVG as it is now (scripts/screenshot.sh).
    EXPECT_EQ(QImage(TESSARYN_SOURCE_DIR "/packaging/icons/48/tessaryn.png"),
              applicationIcon().pixmap(48).toImage().convertToFormat(QImage::Format_ARGB32));

    prefs->setText("port", pty.path);
    startStop->trigger();
    EXPECT_TRUE(startStop->text() == "Stop" && tray->shownLook() == TrayLook::bridging);
    // Hits light the light; the panel fetches the icon only when its look changes.
    int looksChanged = 0;
    bool lit = false;
    QString litText;
    const int counting = bridge->observe([&](BridgeProperty p) {
        if (p != BridgeProperty::activityLit || bridge->activityLit() == lit) return;
        ++looksChanged;
        lit = !lit;
        if (lit) litText = tray->hoverText();
    });
    const int looks = tray->looksShown();
    for (int i = 0; i < 200; ++i, QTest::qWait(1)) pty.send({0x99, 0x26, 0x64});
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge->bytesIn() == 600; }));
    EXPECT_EQ(tray->looksShown() - looks, looksChanged);
    EXPECT_TRUE(litText.startsWith("MIDI is moving\nBridging"));
    bridge->unobserve(counting);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return tray->hoverText().startsWith("Tessaryn · Kit2\nBridging"); }));
    // Quit, here by Ctrl+Q in the window, stops the bridge, so held notes go, before it quits.
    QTest::keyClick(focusOn(window->portPicker()), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(quits == 1 && !bridge->running());

    // Autostart can run before the panel: the icon comes with the tray, and until then closing
    // the window never quits; once no tray can come, it quits unless started minimized.
    bool panel = false;
    for (bool minimized : {false, true}) {
        tray->showWhenAvailable([&] { return panel; }, minimized, std::chrono::milliseconds(1), 3);
        EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tray->waiting(); }));  // tried 3 times
        EXPECT_EQ(QGuiApplication::quitOnLastWindowClosed(), !minimized);
    }
    QTest::keyClick(window.get(), Qt::Key_Escape);  // no tray to come back through
    EXPECT_TRUE(window->isVisible());
    panel = true;
    window->close();  // a panel that came after the last retry is seen here
    // It says where it went, once ever: kept with the preferences.
    EXPECT_TRUE(tray->shown() && Preferences(dir / "config").boolean("toldAboutTray") == true);
    EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());

    window->show();
    QTest::keyClick(window.get(), Qt::Key_Escape);  // the window goes to the tray
    EXPECT_FALSE(window->isVisible());
    window->showMinimized();
    emit tray->icon()->activated(QSystemTrayIcon::Trigger);  // and comes back restored
    EXPECT_TRUE(window->isVisible() && !window->isMinimized());
    emit tray->icon()->activated(QSystemTrayIcon::Trigger);  // a second click puts it away
    EXPECT_FALSE(window->isVisible());
}

// The computer's own UARTs are never offered by themselves; a plug-in board is, and it is saved
// only when the user starts with it.
TEST_F(Window, FirstRunOffersOnlyAPlugInBoardThenTheUserComesFirst) {
    ports = {"/dev/ttyAMA0", "/dev/ttyS0", pty.path};
    hub->addDestination("Synth");
    open();
    EXPECT_TRUE(window->portPicker()->currentText() == "Select…" &&
                !window->startButton()->isEnabled());
    fs::create_symlink(pty.path, dir / "ttyACM0");  // a board another instance has open
    const int held = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ports.insert(ports.end(), {(dir / "ttyACM0").string(), "/dev/ttyACM7"});
    window->findChild<QToolButton*>("rescanPorts")->click();
    window->hide();
    window->show();  // shown again: offers the board
    settle();
    EXPECT_TRUE(window->portPicker()->currentText() == "ttyACM7" && !prefs->text("port"));
    ::close(held);
    QTest::keyClick(window.get(), Qt::Key_Return);  // the default button
    EXPECT_EQ(prefs->text("port"), "/dev/ttyACM7");

    // Then updates and the Return key leave what the user is doing alone.
    startOnPty();
    QComboBox* sendTo = window->findChild<QComboBox*>("sendTo");  // lists "Synth"
    QSignalSpy refills(sendTo->model(), &QAbstractItemModel::rowsInserted);

    auto* note = window->findChildren<QSpinBox*>().front();
    type(note, "42");
    for (int i = 0; i < 20; ++i) {
        pty.send({0x99, 0x26, 0x64, 0x89, 0x26, 0x00});
        bridge->setTargetNote(38);   // changed elsewhere while the user types
        bridge->refreshMIDIPorts();  // the same list again
        QTest::qWait(10);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge->bytesIn() == 120; }));
    settle();
    EXPECT_TRUE(note->text() == "42" && refills.count() == 0);
    QTest::keyClick(note, Qt::Key_Return);  // commits the number, not Start/Stop
    EXPECT_EQ(bridge->targetNote(), 42);
    EXPECT_TRUE(bridge->running() && !window->settingsGroup()->isEnabled());

    // Hidden, the window draws nothing; shown again, it catches up at once.
    window->hide();
    auto* counters = find<QLabel>([](QLabel* l) { return l->text().startsWith("Serial → MIDI"); });
    pty.send({0xB0, 0x07, 0x40});
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge->bytesIn() == 123; }));
    settle();
    EXPECT_EQ(counters->text(), "Serial → MIDI: 120 bytes   ·   MIDI → Serial: 0 bytes");
    window->show();
    EXPECT_EQ(counters->text(), "Serial → MIDI: 123 bytes   ·   MIDI → Serial: 0 bytes");

    // A focused button presses itself; a control with no use for Return leaves it to Stop.
    QTest::keyClick(focusOn(window->findChild<QPushButton*>("voice36")), Qt::Key_Return);
    settle();
    EXPECT_TRUE(bridge->targetNote() == 36 && bridge->running());
    auto* channel = byText<QCheckBox>("Send on channel 10");
    QTest::keyClick(focusOn(channel), Qt::Key_Enter);
    settle();
    EXPECT_TRUE(!bridge->running() && window->settingsGroup()->isEnabled() &&
                !channel->isChecked());
}

TEST_F(Window, ControlsWriteTheBridgeAndThePreferences) {
    bridge->setHardwareOutID(777);  // a device that is not plugged in
    const auto synth = hub->addDestination("Synth");
    open(true);
    // The switch, its preference and the bridge's property (none: read when the port opens).
    const std::tuple<const char*, const char*, bool (Bridge::*)() const> switches[] = {
        {"Drop clock", "dropClock", &Bridge::dropClock},
        {"Drop active sensing", "dropSensing", &Bridge::dropSensing},
        {"Block echo", "blockEcho", &Bridge::blockEcho},
        {"Pace system exclusive", "paceSysex", &Bridge::paceSysex},
        {"Do not reset the board", "holdDTR", &Bridge::holdDTR},
        {"Reconnect when the device returns", "reconnects", &Bridge::reconnects},
        {"Send on channel 10", "forceDrumChannel", &Bridge::forceDrumChannel},
        {"2 stop bits", "twoStop", nullptr},
        {"Hardware flow control (RTS/CTS)", "hwFlow", nullptr},
        {"Start bridging when Tessaryn opens", "startOnOpen", nullptr},
        {"Open at login", "openAtLogin", nullptr},
    };
    for (const auto& [text, key, property] : switches) {
        QCheckBox* box = byText<QCheckBox>(text);
        ASSERT_TRUE(box && box->isVisible()) << text;
        const bool before = box->isChecked();
        box->click();
        settle();
        EXPECT_NE(box->isChecked(), before) << text;
        EXPECT_EQ(Preferences(dir / "config").boolean(key), !before) << text;
        EXPECT_TRUE(!property || ((*bridge).*property)() != before) << text;
    }
    QComboBox* baud = find<QComboBox>([](QComboBox* c) { return items(c).contains("31250"); });
    emit baud->activated(2);
    EXPECT_EQ(Preferences(dir / "config").integer("baud"), 31250);

    QComboBox* sendTo = window->findChild<QComboBox*>("sendTo");
    EXPECT_EQ(items(sendTo), (QStringList{"Virtual port only", "Saved port", "Synth"}));
    EXPECT_EQ(sendTo->currentText(), "Saved port");
    emit sendTo->activated(0);
    settle();
    EXPECT_EQ(bridge->hardwareOutID(), 0);
    EXPECT_EQ(items(sendTo), (QStringList{"Virtual port only", "Synth"}));
    emit sendTo->activated(1);
    EXPECT_EQ(bridge->hardwareOutID(), synth);

    // The lit voice button follows the note and the switch.
    auto lit = [&] {
        QStringList on;
        for (auto* b : window->findChildren<VoiceButton*>())
            if (b->isChecked()) on << b->objectName();
        return on;
    };
    EXPECT_EQ(lit(), QStringList{"voice38"});
    QTest::mouseClick(window->findChild<QPushButton*>("voice36"), Qt::LeftButton);
    settle();
    EXPECT_TRUE(lit() == QStringList{"voice36"} && hasLabel("Kick"));
    bridge->setTargetNote(40);
    settle();
    EXPECT_TRUE(lit().isEmpty());
    bridge->setTargetNote(38);
    byText<QCheckBox>("Change the note")->click();
    settle();
    EXPECT_TRUE(lit().isEmpty());
    QTest::mouseClick(window->findChild<QPushButton*>("voice56"), Qt::LeftButton);
    settle();
    EXPECT_TRUE(bridge->targetNote() == 56 && lit().isEmpty());  // remapping stays off

    // Open at login, the MIDI system and the instance name: what applies at the next start.
    const fs::path entry = dir / "xdg/autostart/tessaryn.desktop";
    EXPECT_TRUE(fs::exists(entry));  // turned on above
    QCheckBox* login = byText<QCheckBox>("Open at login");
    login->click();
    EXPECT_FALSE(fs::exists(entry));

    // The desktop says yes while the preference says no: the toggle follows without writing.
    std::ofstream(entry) << "[Desktop Entry]\nExec=elsewhere\n";
    window->hide();
    window->show();
    settle();
    EXPECT_TRUE(login->isChecked());
    EXPECT_EQ(readFile(entry), "[Desktop Entry]\nExec=elsewhere\n");

    auto* midi =
        find<QComboBox>([](QComboBox* c) { return c->count() == 2 && c->itemText(1) == "JACK"; });
    auto* name = byText<QLineEdit>("Halvenor");
    ASSERT_TRUE(midi && name);
    QTest::keyClick(focusOn(midi), Qt::Key_Down);
    EXPECT_EQ(prefs->text("midi"), "jack");

    for (const char* typed : {"Pads", "a/b"}) {  // a refused name leaves the kept one shown
        type(name, typed);
        QTest::keyClick(name, Qt::Key_Return);
        EXPECT_EQ(prefs->text("name"), "Pads") << typed;
        EXPECT_EQ(name->text(), "Pads") << typed;
    }
    EXPECT_EQ(bridge->status(), "Instance name: the name cannot contain '/'");

    // Each instance has its own entry, quoted for the desktop.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"Halvenor", "tessaryn.desktop", "tessaryn --minimized"},
        {"Pad 2", "tessaryn-Pad 2.desktop", "tessaryn --name \"Pad 2\" --minimized"},
        {"a\"b$c\\d%e", "tessaryn-a\"b$c\\d%e.desktop",
         "tessaryn --name \"a\\\\\"b\\\\$c\\\\\\\\d%%e\" --minimized"},
    };
    for (const auto& [name, file, exec] : cases) {
        Autostart entry(dir / "xdg", name);
        ASSERT_EQ(entry.setEnabled(true), std::nullopt);
        EXPECT_EQ(entry.file(), dir / "xdg/autostart" / file);
        const std::string text = readFile(entry.file());
        EXPECT_NE(text.find("\nExec=" + exec + "\n"), std::string::npos) << text;
    }
}

// A control moved before a run of hits stays in the monitor's history; the newest lines the
// bridge keeps are all in view, apart, under any style and font size set while it runs, and
// the monitor takes the room of a taller window.
TEST_F(Window, TheMonitorKeepsHistoryAndFitsAnyFont) {
    auto monitorLines = [&] {
        return window->monitor()->toPlainText().split('\n', Qt::SkipEmptyParts);
    };
    open();
    startOnPty();
    pty.send({0xB0, 0x07, 0x40});
    for (int hits = 0; hits <= 6; ++hits) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return monitorLines().size() == 1 + 2 * hits; }));
        pty.send({0x99, 0x26, 0x64, 0x89, 0x26, 0x00});
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitorLines().size() == 15; }));
    EXPECT_EQ(monitorLines().front(), "Pad  CC 7 · 64 · ch 1");
    auto* monitor = window->monitor();
    auto newestInViewApart = [&] {
        int top = INT_MAX;  // of the line below
        QTextBlock b = monitor->document()->lastBlock();
        for (int i = 0; i < 8; ++i, b = b.previous()) {
            const QRect r = monitor->cursorRect(QTextCursor(b));
            if (!monitor->viewport()->rect().contains(r) || r.bottom() >= top) return false;
            top = r.top();
        }
        return true;
    };
    const QFont font = QApplication::font();
    const QString style = QApplication::style()->name();
    for (const char* s : {"fusion", "windows"}) {
        QApplication::setStyle(s);
        for (int pt = 8; pt <= 16; pt += 4) {
            QApplication::setFont(QFont(font.family(), pt));
            EXPECT_TRUE(QTest::qWaitFor(newestInViewApart)) << s << pt;
        }
    }
    const int before = monitor->height();
    window->resize(window->width(), window->height() + 200);
    EXPECT_TRUE(QTest::qWaitFor([&] { return monitor->height() >= before + 150; }));
    QApplication::setFont(font);
    QApplication::setStyle(style);
}

// What a screen reader hears: every control in the accessibility tree is named (a picker, whose
// own name is its value on Linux, by its label) and the group headers say whether they are open.
// Tab goes round named controls only, from the port picker, with Start close behind it. Then what
// several boards and long refusals need.
TEST_F(Window, KeyboardScreenReaderAndSeveralBoards) {
    ports = {"/dev/serial/by-id/usb-Maker_Drum_Pad_0043_95736323632351F0E1-if00"};
    open(true);
    bridge->setPendingLearn(PendingLearn{true, 7});
    settle();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_EQ(QApplication::focusWidget(), window->portPicker());
    QMap<QObject*, QString> heard;  // focusable control: what it is called, as an AT hears it
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* a) {
        for (int i = 0; !a->state().focusable && i < a->childCount(); ++i) walk(a->child(i));
        if (!a->state().focusable || a->state().invisible) return;
        QString name = a->text(QAccessible::Name);
        const auto labels = a->relations(QAccessible::Label);
        if (name == a->text(QAccessible::Value))
            name = labels.empty() ? "" : labels.front().first->text(QAccessible::Name);
        EXPECT_FALSE((heard[a->object()] = name).isEmpty())
            << a->object()->metaObject()->className();
    };
    walk(QAccessible::queryAccessibleInterface(window.get()));
    int stops = 0, toStart = 99;
    for (QWidget* w = window->portPicker(); stops == 0 || w != window->portPicker(); ++stops) {
        ASSERT_LT(stops, 60);
        EXPECT_TRUE(heard.contains(w)) << w->metaObject()->className() << " " << stops;
        if (w == window->startButton()) toStart = stops;
        QTest::keyClick(w, Qt::Key_Tab);
        w = QApplication::focusWidget();
    }
    EXPECT_LE(toStart, 5);
    EXPECT_LE(window->height(), window->screen()->availableGeometry().height());
    window->learnedGroup()->setExpanded(false);
    for (Collapsible* group : {window->routingGroup(), window->learnedGroup()}) {
        const auto s = QAccessible::queryAccessibleInterface(group->toggle())->state();
        EXPECT_TRUE(s.expandable && s.expanded == group->expanded() && s.collapsed != s.expanded);
    }

    // The instance is named; a long status is shown whole.
    EXPECT_EQ(window->windowTitle(), "Tessaryn · Kit2");
    EXPECT_EQ(window->portPicker()->currentText(), "Maker Drum Pad 0043");
    EXPECT_EQ(window->portPicker()->itemData(0, Qt::ToolTipRole), QString::fromStdString(ports[0]));
    EXPECT_TRUE(hasLabel("Virtual ports: Kit2 In / Kit2 Out"));
    const QString text = "Cannot open /dev/ttyACM0: " + QString("Permission denied. ").repeated(10);
    bridge->setStatus(text.toStdString());
    auto* status = window->findChild<QLabel*>("status");
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return status->text() == text &&
               status->height() >= status->heightForWidth(status->width());
    }));
    EXPECT_GT(status->height(), 2 * status->fontMetrics().lineSpacing());
    QTest::mouseDClick(status, Qt::LeftButton, {}, QPoint(4, 4));  // selects a word to copy
    EXPECT_TRUE(status->hasSelectedText());
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    installAccessibility();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
