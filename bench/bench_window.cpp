// Costs of user actions on a shown main window, on the simulated board: what the user
// waits for after a click. Each window is shown and exposed before it is measured, so
// painting is part of the figure; events pending after an action are handled outside the
// timed part.
//
// Run from a Release build, under Xvfb or on the offscreen platform:
//   xvfb-run -a bench_window --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include "afe/widgets/register_panels.h"
#include "app/form1.h"
#include "device/sim_board.h"
#include "video/widgets/mode_dialog.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <sys/resource.h>

#include <cstdio>
#include <memory>

using namespace korva;

namespace {

// Answers nothing and shows nothing: no modal window may stop a measurement.
struct SilentPrompts : Prompts {
    QString file;
    void message(QWidget*, Icon, const QString&, const QString&) override {}
    bool confirm(QWidget*, const QString&, const QString&) override { return true; }
    QString saveFileName(QWidget*, const FileRequest&) override { return file; }
    QString openFileName(QWidget*, const FileRequest&) override { return file; }
};

// The program's window on the simulated board, shown, exposed and started.
struct ShownWindow {
    QTemporaryDir dir;
    SimBoard sim;
    SilentPrompts prompts;
    std::unique_ptr<Form1> form;

    ShownWindow() {
        Form1Options o;
        o.configDir = dir.path();
        o.lockFile = dir.filePath("instance.lock");
        o.workingDir = QDir::currentPath();
        o.endProgram = [] {};
        form = std::make_unique<Form1>(sim, prompts, o);
        form->Form_Load();
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get())) std::abort();
        form->Form_Activate();
        QApplication::processEvents();
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
