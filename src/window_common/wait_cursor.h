// The hourglass while a long step runs (a sort, a compression, a profile switch).
#pragma once

#include <QApplication>

namespace tavik {

// Shows the wait cursor for its lifetime; restored however the step ends, before any message.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace tavik
