#include "cli/printer.h"

namespace tessaryn {

using Level = Journal::Level;

void Printer::operator()(BridgeProperty p) {
    switch (p) {
        case BridgeProperty::status:
            if (bridge_.status() != lastStatus_) {
                lastStatus_ = bridge_.status();
                showStatus();
            }
            break;
        case BridgeProperty::monitor:
            if (quiet_) break;
            for (const auto& text : bridge_.monitorAdded()) line(Level::info, text);
            break;
        case BridgeProperty::lastMapped:
            if (!quiet_ && bridge_.lastMapped() != Bridge::kWaitingForHit)
                line(Level::info, bridge_.lastMapped());
            break;
        default:
            break;
    }
}

void Printer::showStatus() const {
    switch (bridge_.state()) {
        case BridgeState::stopped:
        case BridgeState::bridging:
            return line(Level::info, lastStatus_);
        case BridgeState::notReading:
        case BridgeState::waiting:
            return line(Level::warning, lastStatus_);
        case BridgeState::failed:
            // A board that is waited for (--wait) is no failure yet.
            if (wait_) return line(Level::warning, lastStatus_);
            return log_.say(Level::error, lastStatus_);
    }
}

void Printer::line(Level level, const std::string& text) const {
    out_.add(log_.format(Journal::Stream::out, level, text));
}

}  // namespace tessaryn
