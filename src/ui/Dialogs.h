// Every message box, question, input box and file dialog goes through this
// interface: interactive (Qt dialogs), headless (the text goes to the log and
// stderr and the stated safe answer is returned) or scripted (tests queue the
// answers and read back what was asked).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QWidget;

namespace ui {

// Message-box flags and answers as the original system numbers them.
enum MessageBoxFlags : unsigned {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_YESNOCANCEL = 0x03,
    MB_YESNO = 0x04,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
};
enum MessageBoxAnswer : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDABORT = 3,
    IDRETRY = 4,
    IDIGNORE = 5,
    IDYES = 6,
    IDNO = 7
};

// A button of a message dialog built at run time: its caption and the answer it gives.
struct DialogButton {
    std::string caption;
    int result = IDOK; // 0: a help button, which leaves the dialog open
    std::string name;  // the button's component name
};

// Where a message dialog shows (-1: in the middle of the screen) and which
// help its help button opens.
struct DialogPlacement {
    int x = -1, y = -1;
    int helpContext = 0;
    std::string helpFile;
};

// What a file dialog opens with: the filter as "name|pattern|name|pattern",
// the file name it offers, the extension a name typed without one gets, and
// the folder it starts in.
struct FileRequest {
    std::string caption;
    std::string filter;
    std::string fileName;
    std::string defaultExt;
    std::string initialDir;
};

// `owner` is the window that opens a dialog: the dialog belongs to it and
// shows above it, also above a window kept on top of the others. Without one
// the dialog belongs to the window the user is working in.
class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // False where nobody sees a box: its text becomes a line on stderr.
    virtual bool HasDisplay() const { return true; }
    // A message box with buttons of given captions (translated dialogs), in
    // the font of `fontSource` when given. Without a display it behaves as
    // MessageBox with the stated safe answer.
    virtual int MessageDialog(const std::string& text, const std::string& caption, unsigned iconFlags,
                              const std::vector<DialogButton>& buttons, int defaultResult, int cancelResult,
                              int headlessAnswer, const DialogPlacement& placement = {},
                              const QWidget* fontSource = nullptr);
    // Shows a message box; `headlessAnswer` is what a server without a
    // display answers, and must be the safe answer.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                           int headlessAnswer, QWidget* owner = nullptr) = 0;
    // Asks for a text of at most 255 characters; false when cancelled.
    virtual bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) = 0;
    // Asks for a file name; empty when cancelled.
    virtual std::string OpenFileName(const std::string& caption, const std::string& filter,
                                     QWidget* owner = nullptr) = 0;
    virtual std::string SaveFileName(const std::string& caption, const std::string& filter,
                                     QWidget* owner = nullptr) = 0;
    // Asks for a file to open, as the request says; empty when cancelled. A
    // name that does not exist yet may be given.
    virtual std::string OpenFile(const FileRequest& request, QWidget* owner = nullptr);
    // Asks for a folder, starting at `start`; empty when cancelled.
    virtual std::string SelectDirectory(const std::string& caption, const std::string& start,
                                        QWidget* owner = nullptr) = 0;
};

class InteractiveDialogs : public Dialogs {
  public:
    int MessageDialog(const std::string& text, const std::string& caption, unsigned iconFlags,
                      const std::vector<DialogButton>& buttons, int defaultResult, int cancelResult,
                      int headlessAnswer, const DialogPlacement& placement = {},
                      const QWidget* fontSource = nullptr) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags, int headlessAnswer,
                   QWidget* owner = nullptr) override;
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
    std::string OpenFileName(const std::string& caption, const std::string& filter,
                             QWidget* owner = nullptr) override;
    std::string SaveFileName(const std::string& caption, const std::string& filter,
                             QWidget* owner = nullptr) override;
    std::string OpenFile(const FileRequest& request, QWidget* owner = nullptr) override;
    std::string SelectDirectory(const std::string& caption, const std::string& start,
                                QWidget* owner = nullptr) override;
};

class HeadlessDialogs : public Dialogs {
  public:
    using Sink = std::function<void(const std::string&)>;
    // `logSink` receives each text for the log; stderr always gets it.
    explicit HeadlessDialogs(Sink logSink = {}) : logSink_(std::move(logSink)) {}
    bool HasDisplay() const override { return false; }
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags, int headlessAnswer,
                   QWidget* owner = nullptr) override;
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
    std::string OpenFileName(const std::string& caption, const std::string& filter,
                             QWidget* owner = nullptr) override;
    std::string SaveFileName(const std::string& caption, const std::string& filter,
                             QWidget* owner = nullptr) override;
    std::string SelectDirectory(const std::string& caption, const std::string& start,
                                QWidget* owner = nullptr) override;

  private:
    void report(const std::string& text) const;
    Sink logSink_;
};

// For tests: answers come from a queue (the headless answer when it is
// empty); every call is recorded.
class ScriptedDialogs : public Dialogs {
  public:
    struct Call {
        // "MessageBox", "InputQuery", "OpenFileName", "OpenFile", "SaveFileName", "SelectDirectory"
        std::string kind;
        std::string text; // the file dialogs' filter, the folder dialog's start
        std::string caption;
        unsigned flags = 0;
        FileRequest file;               // what OpenFile was asked with
        const QWidget* owner = nullptr; // the message box's owner as given
    };
    void QueueAnswer(int answer);
    void QueueText(std::string text); // answers for InputQuery, the file and folder dialogs
    std::vector<Call> Calls() const;

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags, int headlessAnswer,
                   QWidget* owner = nullptr) override;
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
    std::string OpenFileName(const std::string& caption, const std::string& filter,
                             QWidget* owner = nullptr) override;
    std::string SaveFileName(const std::string& caption, const std::string& filter,
                             QWidget* owner = nullptr) override;
    std::string OpenFile(const FileRequest& request, QWidget* owner = nullptr) override;
    std::string SelectDirectory(const std::string& caption, const std::string& start,
                                QWidget* owner = nullptr) override;

  private:
    std::string nextText();
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::deque<std::string> texts_;
    std::vector<Call> calls_;
};

// The program stops: every box, question and file dialog open is ended
// with its safe answer, and those asked from now on get it at once.
void EndDialogsForStop();
bool DialogsEndedForStop();

// The dialogs in force for the process (headless until set).
Dialogs& dialogs();
void setDialogs(std::shared_ptr<Dialogs> implementation);

} // namespace ui
