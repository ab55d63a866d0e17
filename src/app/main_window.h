#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <string>
#include <vector>

#include "app/autostart.h"
#include "app/sections.h"
#include "app/widgets.h"
#include "bridge/bridge.h"

class QComboBox;
class QPushButton;
class QScrollArea;

namespace tessaryn {

// The one window: serial settings and start/stop, status and monitor, pad voice, routing,
// learned controls. Each section draws the bridge properties it shows; the window gathers the
// bridge's changes and hands them out at most about 30 times a second, and not at all while
// the window is hidden or minimized.
class MainWindow : public QWidget {
    Q_OBJECT
  public:
    using PortLister = ConnectionSection::PortLister;
    // `instanceName` tells several boards apart: in the title and the virtual ports' names.
    MainWindow(Bridge& bridge, Autostart autostart, PortLister listPorts, QString formHost,
               const std::string& instanceName, QWidget* parent = nullptr);
    ~MainWindow() override;

    static QString velocityCaption(double curve) { return LearnedSection::velocityCaption(curve); }
    // The form address for "bug" or "feature".
    QString formAddress(const QString& kind) const;
    // Shows the window, restored if minimized, in front and active.
    void bringForward();
    // With a tray icon to come back through, Escape puts the window away.
    void setHidesToTray(bool on) { hidesToTray_ = on; }

  signals:
    void quitRequested();
    void closing();

  public:
    // What tests and the screenshot tool reach for.
    QPushButton* startButton() const { return connection_->startButton(); }
    QComboBox* portPicker() const { return connection_->portPicker(); }
    QWidget* settingsGroup() const { return connection_->settingsGroup(); }
    Collapsible* routingGroup() const { return routing_; }
    Collapsible* learnedGroup() const { return learned_; }
    MonitorView* monitor() const { return status_->monitor(); }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget* buildReportRow();
    void changed(BridgeProperty p);
    void redraw();
    bool drawing() const;
    void fitToContent();
    void openForm(const QString& kind);

    Bridge& bridge_;
    Autostart autostart_;
    QString formHost_;
    int observer_ = 0;
    bool fitted_ = false;
    bool hidesToTray_ = false;
    bool growPending_ = false;
    Changes pending_;
    QTimer redrawTimer_;
    QElapsedTimer sinceRedraw_;
    QScrollArea* scroll_ = nullptr;
    QWidget* page_ = nullptr;
    PadSection* pad_ = nullptr;
    RoutingSection* routingSection_ = nullptr;
    ConnectionSection* connection_ = nullptr;
    StatusSection* status_ = nullptr;
    LearnedSection* learnedSection_ = nullptr;
    Collapsible* routing_ = nullptr;
    Collapsible* learned_ = nullptr;
    std::vector<Section*> sections_;
};

class Tray;
// Ctrl+Q in the window quits as the tray's Quit does; a tray that came after its last check
// still catches the window's close; Escape puts the window away once the icon is there.
void pairWithTray(MainWindow& window, Tray& tray);

}  // namespace tessaryn
