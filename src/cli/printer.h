#pragma once

#include <string>

#include "bridge/bridge.h"
#include "cli/journal.h"
#include "cli/line_writer.h"

namespace tessaryn {

// Prints what a person watching the window would see change: a connection that failed for good
// as a problem, once, on stderr; everything else, waiting included, on stdout, through a writer
// that never holds up the bridge. An observer of the bridge, on the main thread.
class Printer {
  public:
    Printer(Bridge& b, bool quiet, bool wait, const Journal& log, LineWriter& out)
        : bridge_(b), quiet_(quiet), wait_(wait), log_(log), out_(out) {}
    void operator()(BridgeProperty p);

  private:
    void showStatus() const;
    void line(Journal::Level level, const std::string& text) const;

    Bridge& bridge_;
    bool quiet_, wait_;
    const Journal& log_;
    LineWriter& out_;
    std::string lastStatus_ = "Stopped";
};

}  // namespace tessaryn
