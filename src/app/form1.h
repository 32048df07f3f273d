// The main window: owns the device link and every panel, and carries the program's
// public operations (ErrMsg, board operations through board(), ShowHiddenModes, ...).
#pragma once

#include "device/board.h"
#include "device/board_connection.h"
#include "device/exchange.h"
#include "ui/prompts.h"
#include "video/widgets/mode_dialog_host.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLocalServer;
class QLockFile;
class QTabWidget;
class QAction;
class QPushButton;
class QLineEdit;

namespace korva {

class RegisterPanels;
class FpgaGrid;
class DeGenerator;
class CscControl;
class ModeDialog;
class DumpCommands;
class DebugControls;
class AboutBox;
class SystemInfo;
class SessionTools;

struct Form1Options {
    QString configDir; // folder that holds Config.ini (default: the executable's folder)
    // What Config.ini's [USB] section holds that cannot be used, as read with the board's
    // identifiers when the connection was made; Form_Load shows it.
    std::vector<std::string> usbProblems;
    // Where the single-instance locks go, one for each board (default: the user's runtime
    // folder).
    QString lockDir;
    QString workingDir; // where mode_table.dat and the bitstream are looked up ("" = cwd)
    SystemInfo* systemInfo = nullptr; // the About box's system lookups (null: this host)
    // The register boxes' delay between a key release and its write (empty: the 0.5 s of
    // the panels; tests shorten it).
    std::optional<std::chrono::milliseconds> registerWriteDelay;
    // How the program ends after an ErrMsg box: the default closes everything and exits
    // the process; tests record it instead.
    std::function<void()> endProgram;
};

class Form1 : public QMainWindow, public ErrorSink, public ModeDialogHost {
    Q_OBJECT
  public:
    // The window drives the connection's board (chosen before), which it opens when it
    // first becomes active and closes when it goes.
    Form1(BoardConnection& connection, Prompts& prompts, Form1Options options = {},
          QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up after creation: reads the flag, takes the single-instance guard of the
    // board (a lock that cannot be created is reported, and the program runs without it;
    // windows on the simulated board take none), shows the USB identifiers of Config.ini
    // that could not be used (Form1Options::usbProblems),
    // sets the tabs and loads the mode table. False when another copy drives the same
    // board (the warning has been shown and that copy's window brought to the front, and
    // the caller ends the program without showing anything).
    bool Form_Load();
    // USB start-up; runs when the window first becomes active.
    void Form_Activate();

    // Public operations.
    void ErrMsg(std::int16_t err) { connection_.link().ErrMsg(err); }
    QString GetIniString(const QString& section, const QString& key) const;
    void ShowHiddenModes();
    void UnloadAllForms();
    bool HiddenModesShown() const { return hiddenModesShown_; }

    // Register panels (boxes, Read All, individual read/write, ganging).
    RegisterPanels& panels() { return *panels_; }
    QLineEdit* reg_KORVA726(int index) const;
    void ReadAllRegisterButton_Click();

    // Video mode setup.
    // The grid, the debug controls and the mode dialog are built when first needed.
    FpgaGrid& fpgaGrid();
    DeGenerator& deGenerator() { return *deGenerator_; }
    ModeDialog& dialog();
    void CSC_Enable();
    void CSC_Disable();
    void nVideoModeInput_Click();

    // Register dump files, debug controls, About box.
    void nFileSaveRegisterAs_Click();
    void nFileLoadRegisterFrom_Click();
    void nFileAbout_Click();
    DumpCommands& dumpCommands() { return *dump_; }
    DebugControls& debugControls();
    AboutBox* about() const;
    // The write log, undo and redo, compare with a file and the settings kept between runs.
    SessionTools& sessionTools() { return *tools_; }

    // What the mode dialog reaches of the window.
    [[nodiscard]] bool setDeWindow(const DeWindow& window) override;
    DeWindow deWindow() const override;
    RegisterView& registers() override;
    void showConverter(bool on) override;

    Board& board() override { return connection_.board(); }
    CommandLink& link() { return connection_.link(); }
    DeviceContext& deviceContext() { return connection_.context(); }
    BoardConnection& connection() { return connection_; }
    Prompts& prompts() override { return prompts_; }
    QTabWidget* tabs() const { return tabs_; }

  signals:
    // Another copy was started for this window's board and brought this window forward.
    void anotherCopyStarted();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void errMsg(std::int16_t code) override; // ErrorSink: the box, then the end
    void buildMenus();
    void LoadModeTable();
    void buildTabs();
    void buildBottomStrip(QWidget* central);
    void shutdownUsb();
    QString configPath() const;
    void tabStripKey(const QString& text);
    void updateTitle(); // says which board the window drives, and whether it is there
    bool takeInstanceLock(const QString& path);
    void showTestTab();            // puts "Test Registers" in the strip (once)
    QWidget* offWindowPage(int i); // the page of a tab not in the strip, made when first asked
    class GridOnDemand;

    static constexpr int kPages = 6;
    static const char* const kPageCaptions[kPages];

    BoardConnection& connection_;
    Prompts& prompts_;
    Form1Options options_;
    bool usbStarted_ = false;
    bool attachedOnce_ = false; // the board has been attached since the program started
    bool hiddenModesShown_ = false;
    QString tabKeyBuffer_;
    std::unique_ptr<QLockFile> instanceLock_;
    QLocalServer* instanceServer_ = nullptr; // a second copy for the board knocks here
    QTabWidget* tabs_ = nullptr;
    QWidget* pages_[kPages] = {};
    // The pages of tabs not in the strip, which belong to no window.
    std::array<std::unique_ptr<QWidget>, kPages> offWindowPages_;
    QWidget* frame5_ = nullptr;
    QWidget* frame1_ = nullptr;
    RegisterPanels* panels_ = nullptr;
    QPushButton* csc_ = nullptr;
    QPushButton* command1_ = nullptr;
    QPushButton* downloadFpga_ = nullptr;
    FpgaGrid* grid_ = nullptr;
    std::unique_ptr<GridOnDemand> gridView_;
    DeGenerator* deGenerator_ = nullptr;
    CscControl* cscControl_ = nullptr;
    std::vector<std::string> modeLines_; // the mode table's lines, until the dialog is built
    ModeDialog* dialog_ = nullptr;
    std::unique_ptr<DumpCommands> dump_;
    DebugControls* debug_ = nullptr;
    QPointer<AboutBox> about_;
    // Last, so that it goes first: it listens on link_ and reads the panels.
    std::unique_ptr<SessionTools> tools_;
};

} // namespace korva
