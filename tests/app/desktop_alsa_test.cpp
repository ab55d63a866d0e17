// The desktop program on a real ALSA sequencer (inside the test VM), offscreen: ended by a signal
// as a session logout or `kill` ends it, and launched a second time.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <algorithm>
#include <future>
#include <thread>

#include "app/desktop.h"
#include "bridge/preferences.h"
#include "cli/process.h"
#include "midi/alsa_peer.h"
#include "serial/pty.h"

using namespace tessaryn;
using namespace tessaryn::testing;
namespace fs = std::filesystem;

namespace {

// Asked to start bridging when it opens, it is bridging once its event loop runs: the tray menu
// offers Stop. Qt must not have seen our options (its X11 --name would rename the window class).
std::promise<bool> started;

void seeStartedWhenShown() {
    QTimer::singleShot(0, [] {
        started.set_value(QCoreApplication::arguments().size() == 1 &&
                          std::ranges::any_of(QApplication::allWidgets(), [](QWidget* w) {
                              auto* menu = qobject_cast<QMenu*>(w);
                              return menu && menu->actions().size() > 1 &&
                                     menu->actions()[1]->text() == "Stop";
                          }));
    });
}
Q_COREAPP_STARTUP_FUNCTION(seeStartedWhenShown)

struct Desktop : TempDirTest {};

}  // namespace

// A second launch shows the first one's window and exits 0; SIGTERM releases held notes and
// exits 0.
TEST_F(Desktop, SigtermAndASecondLaunch) {
    fs::permissions(dir, fs::perms::owner_all);  // as Qt wants a runtime folder
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir / "xdg").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Pty pty;
    Preferences(dir / "config").setText("port", pty.path);
    Preferences(dir / "config").setBoolean("startOnOpen", true);

    std::thread user([&] {
        ASSERT_TRUE(started.get_future().get());
        Peer listener("Listener");
        listener.subscribeTo("Halvenor Out");
        pty.send({0x99, 0x3C, 0x64});
        ASSERT_TRUE(listener.inbox.waitBytes(3));

        Process second({"--config-dir", (dir / "config").string()});
        EXPECT_EQ(second.wait(), 0) << second.err();

        ::kill(::getpid(), SIGTERM);
        ASSERT_TRUE(listener.inbox.waitBytes(6));
        EXPECT_EQ(listener.inbox.joined(), (Bytes{0x99, 0x26, 0x64, 0x89, 0x26, 0x00}));
    });
    DesktopOptions options{.configDir = dir / "config"};
    char name[] = "tessaryn", option[] = "--name", value[] = "Halvenor";
    char* argv[] = {name, option, value, nullptr};
    EXPECT_EQ(runDesktop(3, argv, options), 0);
    user.join();
}

int main(int argc, char** argv) {
    return tessaryn::testing::runAlsaTests(argc, argv);
}
