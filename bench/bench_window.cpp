// Costs of user actions on a shown main window, on the simulated board: what the user
// waits for after a click. Each window is shown and exposed before it is measured, so
// painting is part of the figure; events pending after an action are handled outside the
// timed part.
//
// Run from a Release build, under Xvfb or on the offscreen platform, with XDG_RUNTIME_DIR on
// a RAM disk as in a desktop session (the program's lock file goes there):
//   xvfb-run -a bench_window --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include "afe/widgets/register_panels.h"
#include "app/form1.h"
#include "device/sim_board.h"
#include "sim_stack.h"
#include "tools/write_log.h"
#include "video/widgets/mode_dialog.h"

#include <benchmark/benchmark.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <type_traits>

using namespace korva;

namespace {

BoardSelection simulated() {
    BoardSelection s;
    s.simulate = true;
    return s;
}

// Answers nothing and shows nothing: no modal window may stop a measurement.
struct SilentPrompts : Prompts {
    QString file;
    void message(QWidget*, Icon, const QString&, const QString&) override {}
    bool confirm(QWidget*, const QString&, const QString&) override { return true; }
    QString saveFileName(QWidget*, const FileRequest&) override { return file; }
    QString openFileName(QWidget*, const FileRequest&) override { return file; }
    int choose(QWidget*, const QString&, const QString&, const QStringList&, int) override {
        return 0;
    }
};

// The program's window on the simulated board, shown, exposed and started. Without the log,
// nothing listens on its command link: no write log, no undo history.
struct ShownWindow {
    QTemporaryDir dir;
    BoardConnection connection{simulated()};
    SimBoard& sim = *connection.simulatedBoard();
    SilentPrompts prompts;
    std::unique_ptr<Form1> form;

    explicit ShownWindow(bool logged = true) {
        Form1Options o;
        o.configDir = dir.path();
        o.lockDir = dir.path();
        o.workingDir = QDir::currentPath();
        o.endProgram = [] {};
        form = std::make_unique<Form1>(connection, prompts, o);
        form->Form_Load();
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get())) std::abort();
        form->Form_Activate();
        QApplication::processEvents();
        if (!logged) form->link().setObserver(nullptr);
    }
};

void settle() {
    QApplication::processEvents();
}

void BM_ReadAllShownWindow(benchmark::State& state) {
    ShownWindow w;
    for (auto _ : state) {
        w.form->ReadAllRegisterButton_Click();
        state.PauseTiming();
        settle();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ReadAllShownWindow)->Unit(benchmark::kMicrosecond);

// The first OK after start: the grid is empty and every DE register changes.
void BM_FirstModeOk(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<ShownWindow>();
        w->form->nVideoModeInput_Click();
        settle();
        state.ResumeTiming();
        w->form->dialog().OKButton_Click();
        state.PauseTiming();
        settle();
        w.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FirstModeOk)->Unit(benchmark::kMicrosecond)->Iterations(50);

// What the write log and the undo history add to a user action: the action on a window with
// them listening, as the program runs, and on one with nothing listening on its command
// link, the two taking turns at going first so that a busy machine slows both alike.
// Reports the mean time of each (microseconds) and their ratio; the budget is 1.10.
struct LogCost {
    void (*prepare)(ShownWindow&); // untimed, before the first turn (every turn when fresh)
    void (*act)(ShownWindow&);
    bool fresh; // new windows for every turn: the first OK after start
};
void BM_LogCost(benchmark::State& state, LogCost cost) {
    using Clock = std::chrono::steady_clock;
    std::unique_ptr<ShownWindow> windows[2]; // logged, unlogged
    double micros[2] = {};
    int first = 0;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k)
            if (cost.fresh || !windows[k]) {
                windows[k] = std::make_unique<ShownWindow>(k == 0);
                cost.prepare(*windows[k]);
                settle();
            }
        for (int turn = 0; turn < 2; ++turn) {
            const int k = (first + turn) % 2;
            const auto t0 = Clock::now();
            cost.act(*windows[k]);
            micros[k] += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            settle();
        }
        first ^= 1;
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["logged_us"] = micros[0] / n;
    state.counters["unlogged_us"] = micros[1] / n;
    state.counters["ratio"] = micros[0] / micros[1];
}
BENCHMARK_CAPTURE(BM_LogCost, ReadAll,
                  LogCost{[](ShownWindow&) {},
                          [](ShownWindow& w) { w.form->ReadAllRegisterButton_Click(); }, false})
    ->Iterations(2000);
// A stepping key released in a register box: the step, the write and its read-back, shown.
BENCHMARK_CAPTURE(BM_LogCost, BoxWrite,
                  LogCost{[](ShownWindow& w) { w.form->ReadAllRegisterButton_Click(); },
                          [](ShownWindow& w) { w.form->panels().KeyUp(0x10, Qt::Key_Up); }, false})
    ->Iterations(5000);
BENCHMARK_CAPTURE(BM_LogCost, FirstModeOk,
                  LogCost{[](ShownWindow& w) { w.form->nVideoModeInput_Click(); },
                          [](ShownWindow& w) { w.form->dialog().OKButton_Click(); }, true})
    ->Iterations(50);

// The write log's memory when full: 100,000 register writes, each its own user action (as
// box writes are), on the simulated board's command link; the heap in use before and after.
void BM_WriteLogMemory(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        bench::Stack stack;
        const std::size_t before = mallinfo2().uordblks;
        state.ResumeTiming();
        WriteLog log;
        stack.link->setObserver(&log);
        for (int i = 0; i < static_cast<int>(WriteLog::kDefaultCapacity); ++i) {
            const ActionScope action(*stack.link, {"Red Gain (0x06) stepped up",
                                                   ActionKind::Registers, "Red Gain 0x81"});
            (void)stack.board->WriteByte_AFE(0x06, i & 0xFF);
        }
        state.PauseTiming();
        const auto bytes = static_cast<double>(mallinfo2().uordblks - before);
        state.counters["entries"] = static_cast<double>(log.entries().size());
        state.counters["MiB"] = bytes / (1 << 20);
        state.counters["bytes_per_entry"] = bytes / static_cast<double>(log.entries().size());
        stack.link->setObserver(nullptr);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_WriteLogMemory)->Unit(benchmark::kMillisecond)->Iterations(3);

// Save and Load of a dump through the File menu's commands, the file on a RAM disk so that
// the figure is the program's own work (the file system excluded).
void BM_SaveDump(benchmark::State& state) {
    ShownWindow w;
    w.prompts.file = "/dev/shm/korva-bench-dump.txt";
    w.form->ReadAllRegisterButton_Click();
    for (auto _ : state) {
        w.form->nFileSaveRegisterAs_Click();
        state.PauseTiming();
        settle();
        state.ResumeTiming();
    }
    std::remove(qPrintable(w.prompts.file));
}
BENCHMARK(BM_SaveDump)->Unit(benchmark::kMicrosecond);

void BM_LoadDump(benchmark::State& state) {
    ShownWindow w;
    w.prompts.file = "/dev/shm/korva-bench-dump.txt";
    w.form->ReadAllRegisterButton_Click();
    w.form->nFileSaveRegisterAs_Click();
    for (auto _ : state) {
        w.form->nFileLoadRegisterFrom_Click();
        state.PauseTiming();
        settle();
        state.ResumeTiming();
    }
    std::remove(qPrintable(w.prompts.file));
}
BENCHMARK(BM_LoadDump)->Unit(benchmark::kMicrosecond);

// Shows `window` and runs the event loop until it has been exposed and painted whole (the
// top level's paint starts the one pass that paints every child and flushes).
void showUntilPainted(QWidget* window) {
    struct PaintWatch : QObject {
        bool painted = false;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) painted = true;
            return false;
        }
    } watch;
    window->installEventFilter(&watch);
    window->show();
    QElapsedTimer waited;
    waited.start();
    while (!watch.painted) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (waited.elapsed() > 10000) std::abort(); // never exposed: no display to measure on
    }
    window->removeEventFilter(&watch);
}

// The program's window as it starts: created, loaded, shown, painted.
struct StartedWindow {
    BoardConnection connection{simulated()};
    SilentPrompts prompts;
    std::unique_ptr<Form1> form;
    explicit StartedWindow(const QTemporaryDir& dir) {
        Form1Options o;
        o.configDir = dir.path();
        o.workingDir = QDir::currentPath();
        o.endProgram = [] {};
        form = std::make_unique<Form1>(connection, prompts, o);
        form->Form_Load();
        showUntilPainted(form.get());
    }
};

// The kinds of widget the bare window copies, each made with a short text; the plain
// QWidget last, as it matches every widget.
template <class W> bool isA(QWidget* w) {
    return qobject_cast<W*>(w) != nullptr;
}
template <class W> QWidget* make(QWidget* parent) {
    if constexpr (std::is_constructible_v<W, QString, QWidget*>)
        return new W("00", parent);
    else
        return new W(parent);
}
const struct {
    bool (*is)(QWidget*);
    QWidget* (*make)(QWidget*);
} kKinds[] = {{isA<QLineEdit>, make<QLineEdit>},         {isA<QLabel>, make<QLabel>},
              {isA<QCheckBox>, make<QCheckBox>},         {isA<QRadioButton>, make<QRadioButton>},
              {isA<QAbstractButton>, make<QPushButton>}, {isA<QProgressBar>, make<QProgressBar>},
              {isA<QGroupBox>, make<QGroupBox>},         {isA<QWidget>, make<QWidget>}};

// A bare QMainWindow of the program's size holding one widget of each kind listed, all shown.
std::unique_ptr<QMainWindow> bareWindow(const QSize& size, const std::vector<int>& kinds) {
    auto window = std::make_unique<QMainWindow>();
    auto* central = new QWidget;
    window->setCentralWidget(central);
    for (std::size_t i = 0; i < kinds.size(); ++i)
        kKinds[kinds[i]].make(central)->setGeometry(4 + int(i % 12) * 38, 4 + int(i / 12) * 22, 36,
                                                    20);
    window->resize(size);
    showUntilPainted(window.get());
    return window;
}

// The kind of each widget of the program's window with every part built (the hidden
// pages and the mode dialog included), for the bare window to hold as many of each.
std::vector<int> programWidgetKinds(QSize* size) {
    const QWidgetList before = QApplication::allWidgets();
    QTemporaryDir dir;
    StartedWindow w(dir);
    w.form->fpgaGrid();
    w.form->debugControls();
    w.form->dialog();
    *size = w.form->size();
    std::vector<int> kinds;
    for (QWidget* c : QApplication::allWidgets()) {
        if (c == w.form.get() || before.contains(c)) continue;
        int k = 0;
        while (!kKinds[k].is(c))
            ++k;
        kinds.push_back(k);
    }
    return kinds;
}

// First paint: from creating the main window (its start-up load included) until it is
// exposed and painted, against a bare QMainWindow of the same size holding as many widgets
// of each kind, measured alternately in the same run. Reports both times and their ratio.
void BM_FirstPaint(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    QSize size;
    const std::vector<int> kinds = programWidgetKinds(&size);
    QTemporaryDir dir;
    { StartedWindow warm(dir); } // fonts, style and platform caches, for both alike
    bareWindow(size, kinds);
    double program = 0, bare = 0;
    auto ms = [](auto from, auto to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    };
    bool programFirst = true; // the two take turns at going first
    for (auto _ : state) {
        std::unique_ptr<StartedWindow> w;
        std::unique_ptr<QMainWindow> b;
        for (int turn = 0; turn < 2; ++turn) {
            const auto t0 = Clock::now();
            if ((turn == 0) == programFirst) {
                w = std::make_unique<StartedWindow>(dir);
                program += ms(t0, Clock::now());
            } else {
                b = bareWindow(size, kinds);
                bare += ms(t0, Clock::now());
            }
        }
        programFirst = !programFirst;
        state.PauseTiming();
        w.reset();
        b.reset();
        settle();
        state.ResumeTiming();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["program_ms"] = program / n;
    state.counters["bare_ms"] = bare / n;
    state.counters["ratio"] = program / bare;
    state.counters["widgets"] = static_cast<double>(kinds.size());
}
BENCHMARK(BM_FirstPaint)->Unit(benchmark::kMillisecond)->Iterations(30);

long wakeUps() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

// Runs the event loop with nothing to do (QTest::qWait would poll every few milliseconds).
void idle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Context switches per second of an idle event loop with the window shown: the program's
// window against a bare Qt window of the same size.
template <bool Program> void BM_IdleWakeUps(benchmark::State& state) {
    std::unique_ptr<ShownWindow> program;
    std::unique_ptr<QMainWindow> bare;
    if (Program) {
        program = std::make_unique<ShownWindow>();
    } else {
        ShownWindow sized;
        bare = std::make_unique<QMainWindow>();
        bare->resize(sized.form->size());
        bare->show();
        if (!QTest::qWaitForWindowExposed(bare.get())) std::abort();
    }
    idle(200); // let start-up settle
    long total = 0;
    for (auto _ : state) {
        const long before = wakeUps();
        idle(1000);
        total += wakeUps() - before;
    }
    state.counters["wakeups_per_s"] =
        benchmark::Counter(static_cast<double>(total) / static_cast<double>(state.iterations()));
}
BENCHMARK_TEMPLATE(BM_IdleWakeUps, true)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_IdleWakeUps, false)->Iterations(2)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
