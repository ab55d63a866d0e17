#pragma once

#include <QPlainTextEdit>
#include <QWidget>
#include <bitset>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>

#include "app/autostart.h"
#include "bridge/bridge.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QVBoxLayout;

namespace tessaryn {

class ActivityLight;
class VoiceButton;

// The bridge properties that changed since a section last drew.
class Changes {
  public:
    void add(BridgeProperty p) { bits_.set(static_cast<std::size_t>(p)); }
    void addAll() { bits_.set(); }
    bool any(std::initializer_list<BridgeProperty> ps) const {
        for (auto p : ps)
            if (bits_.test(static_cast<std::size_t>(p))) return true;
        return false;
    }
    bool empty() const { return bits_.none(); }

  private:
    std::bitset<static_cast<std::size_t>(BridgeProperty::routes) + 1> bits_;
};

// A part of the window that owns its widgets and redraws only for the properties it shows.
class Section : public QWidget {
    Q_OBJECT
  public:
    explicit Section(Bridge& bridge) : bridge_(bridge) {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    }
    virtual void redraw(const Changes& changes) = 0;

  protected:
    Bridge& bridge_;
};

// The drum voice chooser and its switches.
class PadSection : public Section {
    Q_OBJECT
  public:
    explicit PadSection(Bridge& bridge);
    void redraw(const Changes& changes) override;

  private:
    void showVoice();
    QCheckBox* remap_;
    std::vector<VoiceButton*> voices_;
    QSpinBox* note_;
    QLabel* noteVoice_;
    QCheckBox* forceChannel_;
    QLabel* lastMapped_;
};

// Hardware MIDI ports, filters and what happens when the port opens.
class RoutingSection : public Section {
    Q_OBJECT
  public:
    RoutingSection(Bridge& bridge, Autostart& autostart);
    void redraw(const Changes& changes) override;
    // The desktop's answer wins over the stored preference, without writing it back.
    void followAutostart();

  private:
    void openAtLoginChanged(bool on);
    void addStartSettings(QVBoxLayout* l);
    Autostart& autostart_;
    QComboBox* sendTo_;
    QComboBox* listenTo_;
    std::vector<std::pair<QCheckBox*, bool (Bridge::*)() const>> toggles_;
    QCheckBox* openAtLogin_;
    QComboBox* midiSystem_;
    QLineEdit* instanceName_;
    bool suppressLoginWrite_ = false;
};

// The serial device, its line settings and Start/Stop.
class ConnectionSection : public Section {
    Q_OBJECT
  public:
    using PortLister = std::function<std::vector<std::string>()>;
    ConnectionSection(Bridge& bridge, PortLister listPorts);
    void redraw(const Changes& changes) override;
    // Picks the first device when none is saved and shows the stored line settings.
    void windowShown();

    QPushButton* startButton() const { return start_; }
    QComboBox* portPicker() const { return portPicker_; }
    QWidget* settingsGroup() const { return settings_; }

  private:
    // The saved port, or else the one offered on the first run.
    std::string port() const;
    void showSettings();
    void showRunning();
    void toggleBridge();
    Preferences& prefs_;
    std::string proposed_;
    PortLister listPorts_;
    std::vector<std::string> ports_;
    QWidget* settings_;
    QComboBox* portPicker_;
    QComboBox* baud_;
    QComboBox* dataBits_;
    QComboBox* parity_;
    QCheckBox* twoStop_;
    QCheckBox* hwFlow_;
    QPushButton* start_;
};

// The last messages, oldest first, the newest always in view. The bridge keeps its newest few;
// the view keeps a longer history of its own, so a control moved before a run of hits can still
// be scrolled to, and shows as much of it as the window has room for.
class MonitorView : public QPlainTextEdit {
    Q_OBJECT
  public:
    static constexpr int kHistory = 500;
    explicit MonitorView(QWidget* parent = nullptr);
    void showLines(const std::vector<MonitorLine>& lines);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override { return minimumSizeHint(); }

  private:
    std::optional<std::uint64_t> last_;
    bool atEnd_ = true;
    // The font and margin the lines were last measured in, and the height they took.
    mutable std::pair<QFont, qreal> measured_;
    mutable int textHeight_ = 0;
};

// The activity light, the status line, the counters and the monitor.
class StatusSection : public Section {
    Q_OBJECT
  public:
    // `name` is the instance's: the virtual ports are "<name> In" and "<name> Out".
    StatusSection(Bridge& bridge, const QString& name);
    void redraw(const Changes& changes) override;
    MonitorView* monitor() const { return monitor_; }

  private:
    ActivityLight* light_;
    QLabel* statusIcon_;
    QLabel* status_;
    QLabel* counters_;
    MonitorView* monitor_;
};

// The velocity curve, MIDI learn and the saved mappings.
class LearnedSection : public Section {
    Q_OBJECT
  public:
    explicit LearnedSection(Bridge& bridge);
    ~LearnedSection() override;
    void redraw(const Changes& changes) override;
    static QString velocityCaption(double curve);

  private:
    void showRoutes();
    QSlider* curve_;
    // Held while the slider is dragged, so the preferences are written once when it is let go.
    std::unique_ptr<Preferences::Batch> drag_;
    QLabel* curveCaption_;
    QPushButton* learn_;
    QLabel* learnHint_;
    QWidget* pendingRow_;
    QSpinBox* destination_;
    QVBoxLayout* routeRows_;
};

}  // namespace tessaryn
