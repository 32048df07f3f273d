// Progress shown on a bar without a synchronous repaint at every step.
//
// QProgressBar::setValue repaints at once. A loop of board exchanges that finishes in a
// few milliseconds would spend most of its time painting a bar nobody can follow. While a
// pacer lives, the bar takes every value (its valueChanged signal and value() stay exact)
// but paints only when the last paint is older than the interval, so a slow operation still
// shows the bar moving; when the pacer ends, one ordinary (queued) update shows the final
// state.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QProgressBar>

namespace korva {

class ProgressPacer {
  public:
    static constexpr int kIntervalMs = 40;

    explicit ProgressPacer(QProgressBar* bar, int intervalMs = kIntervalMs)
        : bar_(bar), intervalMs_(intervalMs) {
        if (bar_) bar_->setUpdatesEnabled(false);
        clock_.start();
    }
    ~ProgressPacer() {
        if (bar_) bar_->setUpdatesEnabled(true);
    }
    ProgressPacer(const ProgressPacer&) = delete;
    ProgressPacer& operator=(const ProgressPacer&) = delete;

    void setValue(int value) {
        if (!bar_) return;
        bar_->setValue(value);
        if (clock_.elapsed() >= intervalMs_) {
            bar_->setUpdatesEnabled(true);
            bar_->repaint();
            bar_->setUpdatesEnabled(false);
            clock_.restart();
        }
    }

  private:
    QPointer<QProgressBar> bar_;
    int intervalMs_;
    QElapsedTimer clock_;
};

} // namespace korva
