// Message boxes and file dialogs behind one small interface, so that tests replace them
// and no test ever waits on a modal window.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace korva {

// The program's title: the main window's caption and the title of its own message boxes.
inline constexpr char kProgramTitle[] = "Vexholme KORVA726EVAL Video AFE Evaluation Software";

class Prompts {
  public:
    enum class Icon { None, Information, Warning, Critical };
    struct FileRequest {
        QString caption;
        QString fileName; // suggested name (may include a folder)
        // Description|pattern pairs, each ended by '|' ("Text File (*.TXT) |*.txt |"); a
        // text without '|' is taken as Qt's own form (entries separated by ";;").
        QString filter;
        QString selectedFilter;
        QString defaultSuffix; // added when the user types a name without extension
    };

    virtual ~Prompts() = default;
    // A modal box with one OK button.
    virtual void message(QWidget* parent, Icon icon, const QString& title, const QString& text) = 0;
    // A modal box with OK and Cancel and no icon; true for OK.
    virtual bool confirm(QWidget* parent, const QString& title, const QString& text) = 0;
    // File dialogs; an empty result means the user cancelled.
    virtual QString saveFileName(QWidget* parent, const FileRequest& request) = 0;
    virtual QString openFileName(QWidget* parent, const FileRequest& request) = 0;
    // A modal list to pick one entry from, `preselected` first selected; the index chosen,
    // or -1 when the user cancelled.
    virtual int choose(QWidget* parent, const QString& title, const QString& text,
                       const QStringList& entries, int preselected) = 0;
};

// Asks for a name to save to; a name typed without a suffix gets the request's default one
// (some platform dialogs ignore it). Empty when the user cancelled.
QString SaveFileNameWithSuffix(Prompts& prompts, QWidget* parent,
                               const Prompts::FileRequest& request);
// Asks before an existing file is replaced ("File exists.  Press OK to overwrite, Cancel to
// abort."): true when the file does not exist or the user pressed OK.
bool ConfirmReplace(Prompts& prompts, QWidget* parent, const QString& name);

// Qt's name filters for a description|pattern filter text. Patterns match without regard
// to case, and "*.*" also matches names without a dot, as users of such filters expect.
QStringList QtNameFilters(const QString& filter);

// The real thing: QMessageBox and QFileDialog.
class QtPrompts : public Prompts {
  public:
    void message(QWidget* parent, Icon icon, const QString& title, const QString& text) override;
    bool confirm(QWidget* parent, const QString& title, const QString& text) override;
    QString saveFileName(QWidget* parent, const FileRequest& request) override;
    QString openFileName(QWidget* parent, const FileRequest& request) override;
    int choose(QWidget* parent, const QString& title, const QString& text,
               const QStringList& entries, int preselected) override;
};

} // namespace korva
