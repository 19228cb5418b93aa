// The message dialog and the input dialog built at run time from a text, a
// caption and buttons, laid out in dialog units of the font's average
// character size, as the translated dialogs show them.
#pragma once

#include "ui/Components.h"

#include <QFontMetrics>
#include <QPointer>
#include <functional>
#include <vector>

namespace ui {

// a * b / c rounded to the nearest integer.
int MulDiv(int a, int b, int c);
// The average character width (of "A".."Z" and "a".."z") and the line height of a font.
QSize LgGetAveCharSize(const QFontMetrics& metrics);

// A form that answers Enter with its default button, Escape with its cancel
// button, and closing its window as the cancel button would (mrCancel without one).
class TDialogForm : public TForm {
    Q_OBJECT
  public:
    explicit TDialogForm(const QString& name);
    TButton* DefaultButton = nullptr;
    TButton* CancelButton = nullptr;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

struct MessageFormButton {
    QString name;    // "Yes", "No", "OK", "Cancel", "Abort", "Retry", "Ignore", "All", "No_To_All", ...
    QString caption; // shown, with its "&" accelerator
    int result = 0;  // modal result; 0 for the help button, which leaves the dialog open
};

struct MessageFormSpec {
    QString text;
    QString caption;
    unsigned iconFlags = 0; // MB_ICONWARNING, MB_ICONERROR, MB_ICONINFORMATION, MB_ICONQUESTION or 0
    std::vector<MessageFormButton> buttons;
    int defaultResult = 0;               // the button answering Enter (none when no button gives it)
    int cancelResult = 0;                // the button answering Escape (none when no button gives it)
    const QWidget* fontSource = nullptr; // the form whose font the dialog takes
    int helpContext = 0;
    QString helpFile;
};

// The message dialog window: "Image" (the type's icon, absent without one),
// "Message" (the wrapped text) and one button per answer.
class TMessageForm : public TDialogForm {
    Q_OBJECT
  public:
    TMessageForm();
    QLabel* Image = nullptr;
    TLabel* Message = nullptr;
    int HelpContext = 0;
    QString HelpFile;
};

// Builds the dialog, placed in the middle of the screen and not shown; the caller owns it.
TMessageForm* CreateMessageForm(const MessageFormSpec& spec);

// The input dialog: prompt "Prompt", edit box "Edit" (at most 255 characters,
// all selected) and the buttons "OK" and "Cancel"; the caller owns it.
TDialogForm* CreateInputQueryForm(const QString& caption, const QString& prompt, const QString& value);

// What a dialog's help button does: shows topic `context` of `helpFile`. The
// default opens the help file in the desktop's viewer.
using HelpHandler = std::function<void(int context, const QString& helpFile)>;
void SetHelpHandler(HelpHandler handler);
void ShowHelpContext(int context, const QString& helpFile);

} // namespace ui
