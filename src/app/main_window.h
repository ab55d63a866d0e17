#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/autostart.h"
#include "bridge/bridge.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QSlider;
class QSpinBox;
class QToolButton;
class QVBoxLayout;

namespace tessaryn {

class ActivityLight;
class Collapsible;

// The one window: serial settings and start/stop, status and monitor, pad voice, routing,
// learned controls. It observes the bridge and redraws from it; every control writes a bridge
// property, a bridge operation, or one of the window's own preference keys.
class MainWindow : public QWidget {
    Q_OBJECT
  public:
    using PortLister = std::function<std::vector<std::string>()>;
    MainWindow(Bridge& bridge, Autostart autostart, PortLister listPorts, QString formHost,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    static QString velocityCaption(double curve);
    // The form address for "bug" or "feature".
    QString formAddress(const QString& kind) const;

    // What tests and the screenshot tool reach for.
    QPushButton* startButton() const { return startButton_; }
    QComboBox* portPicker() const { return portPicker_; }
    QWidget* settingsGroup() const { return settingsGroup_; }
    Collapsible* routingGroup() const { return routing_; }
    Collapsible* learnedGroup() const { return learned_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QWidget* buildPadSection();
    QWidget* buildRoutingSection();
    QWidget* buildConnectionSection();
    QWidget* buildStatusSection();
    QWidget* buildLearnedSection();
    QWidget* buildReportRow();

    void scheduleRefresh();
    void refresh();
    void refreshPorts();
    void refreshMonitor();
    void refreshRoutes();
    void fillMIDIPicker(QComboBox* picker, const std::vector<MIDIPortChoice>& choices,
                        std::int64_t current);
    void toggleBridge();
    void openAtLoginChanged(bool on);
    void openForm(const QString& kind);

    Bridge& bridge_;
    Preferences& prefs_;
    Autostart autostart_;
    PortLister listPorts_;
    QString formHost_;
    int observer_ = 0;
    bool refreshPending_ = false;
    bool suppressLoginWrite_ = false;
    std::vector<std::string> ports_;
    std::optional<Uuid> lastMonitorLine_;

    // pad
    QCheckBox* remap_ = nullptr;
    std::vector<QPushButton*> voiceButtons_;
    QSpinBox* noteStepper_ = nullptr;
    QLabel* noteVoice_ = nullptr;
    QCheckBox* forceChannel_ = nullptr;
    QLabel* lastMapped_ = nullptr;
    // routing
    Collapsible* routing_ = nullptr;
    QComboBox* sendTo_ = nullptr;
    QComboBox* listenTo_ = nullptr;
    QCheckBox* dropClock_ = nullptr;
    QCheckBox* dropSensing_ = nullptr;
    QCheckBox* blockEcho_ = nullptr;
    QCheckBox* paceSysex_ = nullptr;
    QCheckBox* holdDTR_ = nullptr;
    QCheckBox* reconnects_ = nullptr;
    QCheckBox* openAtLogin_ = nullptr;
    // connection
    QWidget* settingsGroup_ = nullptr;
    QComboBox* portPicker_ = nullptr;
    QComboBox* baudPicker_ = nullptr;
    QComboBox* dataBitsPicker_ = nullptr;
    QComboBox* parityPicker_ = nullptr;
    QCheckBox* twoStop_ = nullptr;
    QCheckBox* hwFlow_ = nullptr;
    QPushButton* startButton_ = nullptr;
    // status
    ActivityLight* light_ = nullptr;
    QLabel* statusIcon_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* counters_ = nullptr;
    QScrollArea* monitorArea_ = nullptr;
    QVBoxLayout* monitorLines_ = nullptr;
    // learned
    Collapsible* learned_ = nullptr;
    QSlider* curve_ = nullptr;
    QLabel* curveCaption_ = nullptr;
    QPushButton* learnButton_ = nullptr;
    QLabel* learnHint_ = nullptr;
    QWidget* pendingRow_ = nullptr;
    QSpinBox* destinationStepper_ = nullptr;
    QVBoxLayout* routeRows_ = nullptr;
};

// A titled group that folds its content away; starts folded.
class Collapsible : public QWidget {
    Q_OBJECT
  public:
    Collapsible(const QString& title, QWidget* content, QWidget* parent = nullptr);
    void setExpanded(bool on);
    bool expanded() const;
    QToolButton* toggle() const { return toggle_; }

  private:
    QToolButton* toggle_;
    QWidget* content_;
};

// A 12-point circle: orange with a glow when lit.
class ActivityLight : public QWidget {
    Q_OBJECT
  public:
    explicit ActivityLight(QWidget* parent = nullptr);
    void setLit(bool lit);
    bool lit() const { return lit_; }
    QSize sizeHint() const override { return {24, 24}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    bool lit_ = false;
};

}  // namespace tessaryn
