#include "ui/Dialogs.h"

#include "ui/MessageForm.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <algorithm>
#include <atomic>
#include <cstdio>

namespace ui {
namespace {

std::shared_ptr<Dialogs>& current() {
    static std::shared_ptr<Dialogs> implementation = std::make_shared<HeadlessDialogs>();
    return implementation;
}

QMessageBox::StandardButtons buttonsFor(unsigned flags) {
    switch (flags & 0x0F) {
    case MB_OKCANCEL:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MB_YESNOCANCEL:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MB_YESNO:
        return QMessageBox::Yes | QMessageBox::No;
    default:
        return QMessageBox::Ok;
    }
}

QMessageBox::Icon iconFor(unsigned flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int answerFor(int button) {
    switch (button) {
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    case QMessageBox::Cancel:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// Filters come as "name|pattern|name|pattern"; Qt's file dialog wants
// "name (pattern);;name (pattern)".
QString fileFilter(const std::string& filter) {
    const QStringList parts = q(filter).split(QLatin1Char('|'));
    if (parts.size() < 2)
        return q(filter);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i] + QStringLiteral(" (") +
                       QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) + QLatin1Char(')');
    return filters.join(QStringLiteral(";;"));
}

// The window a dialog belongs to. Unparented, a dialog opened by a window kept
// on top of the others would show beneath it, out of reach.
QWidget* ownerWindow(QWidget* owner) {
    if (!owner)
        owner = QApplication::activeModalWidget();
    if (!owner)
        owner = QApplication::activeWindow();
    return owner ? owner->window() : nullptr;
}

// A message box is at least as wide as its caption, so that the window
// manager shows the whole caption with its buttons beside it.
void widenToCaption(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    QFont bold = box.font();
    bold.setBold(true);
    const int titleButtons = 4 * box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box);
    const int wanted = QFontMetrics(bold).horizontalAdvance(box.windowTitle()) + titleButtons;
    grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0,
                  1, grid->columnCount());
}

// Set once the program stops; cleared when the dialogs are set.
std::atomic<bool> endedForStop{false};

} // namespace

Dialogs& dialogs() {
    return *current();
}

void EndDialogsForStop() {
    endedForStop = true;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible())
            dialog->reject();
}

bool DialogsEndedForStop() {
    return endedForStop;
}

void setDialogs(std::shared_ptr<Dialogs> implementation) {
    current() = std::move(implementation);
    endedForStop = false;
}

int Dialogs::MessageDialog(const std::string& text, const std::string& caption, unsigned iconFlags,
                           const std::vector<DialogButton>&, int, int, int headlessAnswer,
                           const DialogPlacement&, const QWidget*) {
    return MessageBox(text, caption, iconFlags, headlessAnswer);
}

std::string Dialogs::OpenFile(const FileRequest& request, QWidget* owner) {
    return OpenFileName(request.caption.empty() ? request.fileName : request.caption, request.filter, owner);
}

namespace {

// Shows a dialog form modally above the window the user works in; its modal result.
int showModal(TForm& form) {
    const QPoint at = form.pos();
    if (QWidget* owner = ownerWindow(nullptr))
        form.setParent(owner, form.windowFlags());
    form.move(at);
    return form.ShowModal();
}

} // namespace

int InteractiveDialogs::MessageDialog(const std::string& text, const std::string& caption, unsigned iconFlags,
                                      const std::vector<DialogButton>& buttons, int defaultResult,
                                      int cancelResult, int, const DialogPlacement& placement,
                                      const QWidget* fontSource) {
    MessageFormSpec spec;
    spec.text = q(text);
    spec.caption = q(caption);
    spec.iconFlags = iconFlags;
    spec.defaultResult = defaultResult;
    spec.cancelResult = cancelResult;
    spec.fontSource = fontSource;
    spec.helpContext = placement.helpContext;
    spec.helpFile = q(placement.helpFile);
    for (const auto& button : buttons)
        spec.buttons.push_back({q(button.name), q(button.caption), button.result});
    std::unique_ptr<TMessageForm> form(CreateMessageForm(spec));
    form->move(placement.x >= 0 ? placement.x : form->x(), placement.y >= 0 ? placement.y : form->y());
    return showModal(*form);
}

int InteractiveDialogs::MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                                   int headlessAnswer, QWidget* owner) {
    if (DialogsEndedForStop())
        return headlessAnswer;
    QMessageBox box(iconFor(flags), q(caption), q(text), buttonsFor(flags), ownerWindow(owner));
    widenToCaption(box);
    const int answer = answerFor(box.exec());
    return DialogsEndedForStop() ? headlessAnswer : answer;
}

bool InteractiveDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                                    std::string& value) {
    std::unique_ptr<TDialogForm> form(CreateInputQueryForm(q(caption), q(prompt), q(value)));
    if (showModal(*form) != mrOk)
        return false;
    value = form->findChild<TEdit*>(QStringLiteral("Edit"))->text().toStdString();
    return true;
}

std::string InteractiveDialogs::OpenFileName(const std::string& caption, const std::string& filter,
                                             QWidget* owner) {
    return QFileDialog::getOpenFileName(ownerWindow(owner), q(caption), QString(), fileFilter(filter))
        .toStdString();
}

std::string InteractiveDialogs::OpenFile(const FileRequest& request, QWidget* owner) {
    QFileDialog dialog(ownerWindow(owner), q(request.caption), q(request.initialDir),
                       fileFilter(request.filter));
    if (DialogsEndedForStop())
        return {};
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(q(request.defaultExt));
    if (!request.fileName.empty())
        dialog.selectFile(q(request.fileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst().toStdString();
}

std::string InteractiveDialogs::SaveFileName(const std::string& caption, const std::string& filter,
                                             QWidget* owner) {
    return QFileDialog::getSaveFileName(ownerWindow(owner), q(caption), QString(), fileFilter(filter))
        .toStdString();
}

std::string InteractiveDialogs::SelectDirectory(const std::string& caption, const std::string& start,
                                                QWidget* owner) {
    return QFileDialog::getExistingDirectory(ownerWindow(owner), q(caption), q(start)).toStdString();
}

// One line each on stderr: the journal shows a message as one entry. The
// blanks that set a window's caption apart (the version after the name)
// are one blank in a line.
void HeadlessDialogs::report(const std::string& text) const {
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    line.erase(std::unique(line.begin(), line.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
               line.end());
    std::fprintf(stderr, "%s\n", line.c_str());
    if (logSink_)
        logSink_(text);
}

int HeadlessDialogs::MessageBox(const std::string& text, const std::string& caption, unsigned,
                                int headlessAnswer, QWidget*) {
    report(caption + ": " + text);
    return headlessAnswer;
}

bool HeadlessDialogs::InputQuery(const std::string& caption, const std::string& prompt, std::string&) {
    report(caption + ": " + prompt + " (no display, cancelled)");
    return false;
}

std::string HeadlessDialogs::OpenFileName(const std::string& caption, const std::string&, QWidget*) {
    report(caption + " (no display, cancelled)");
    return {};
}

std::string HeadlessDialogs::SaveFileName(const std::string& caption, const std::string&, QWidget*) {
    report(caption + " (no display, cancelled)");
    return {};
}

std::string HeadlessDialogs::SelectDirectory(const std::string& caption, const std::string&, QWidget*) {
    report(caption + " (no display, cancelled)");
    return {};
}

void ScriptedDialogs::QueueAnswer(int answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

void ScriptedDialogs::QueueText(std::string text) {
    std::lock_guard lock(mutex_);
    texts_.push_back(std::move(text));
}

std::vector<ScriptedDialogs::Call> ScriptedDialogs::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::string ScriptedDialogs::nextText() {
    if (texts_.empty())
        return {};
    std::string text = std::move(texts_.front());
    texts_.pop_front();
    return text;
}

int ScriptedDialogs::MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                                int headlessAnswer, QWidget* owner) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"MessageBox", text, caption, flags, {}, owner});
    if (answers_.empty())
        return headlessAnswer;
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

bool ScriptedDialogs::InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"InputQuery", prompt, caption, 0, {}});
    if (texts_.empty())
        return false;
    value = nextText();
    return true;
}

std::string ScriptedDialogs::OpenFileName(const std::string& caption, const std::string& filter, QWidget*) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"OpenFileName", filter, caption, 0, {}});
    return nextText();
}

std::string ScriptedDialogs::OpenFile(const FileRequest& request, QWidget*) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"OpenFile", request.filter, request.caption, 0, request});
    return nextText();
}

std::string ScriptedDialogs::SaveFileName(const std::string& caption, const std::string& filter, QWidget*) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"SaveFileName", filter, caption, 0, {}});
    return nextText();
}

std::string ScriptedDialogs::SelectDirectory(const std::string& caption, const std::string& start, QWidget*) {
    std::lock_guard lock(mutex_);
    calls_.push_back({"SelectDirectory", start, caption, 0, {}});
    return nextText();
}

} // namespace ui
