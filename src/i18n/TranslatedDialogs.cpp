// Message and input boxes whose window caption and button captions come from
// the component's dialog-caption list in the active language, shown through
// the program's one dialogs interface.
#include "i18n/LangComponent.h"

#include "ui/Dialogs.h"
#include "ui/MessageForm.h"

#include <QCoreApplication>
#include <cstdarg>
#include <cstdio>

namespace {

struct ButtonInfo {
    const char* name; // control name; its dialog-caption key has "_" as a blank
    const char* key;
    int result;
};
const ButtonInfo Buttons[] = {{"Yes", "Yes", 6},
                              {"No", "No", 7},
                              {"OK", "OK", 1},
                              {"Cancel", "Cancel", 2},
                              {"Abort", "Abort", 3},
                              {"Retry", "Retry", 4},
                              {"Ignore", "Ignore", 5},
                              {"All", "All", 8},
                              {"No_To_All", "No To All", 9},
                              {"Yes_To_All", "Yes To All", 10},
                              {"Help", "Help", 0}};

const char* const TypeCaptionKey[] = {"Warning", "Error", "Information", "Confirm", nullptr};
const unsigned TypeIcon[] = {ui::MB_ICONWARNING, ui::MB_ICONERROR, ui::MB_ICONINFORMATION,
                             ui::MB_ICONQUESTION, 0};

bool has(unsigned set, int button) {
    return (set & (1u << button)) != 0;
}

// What every message dialog of a component is made of.
struct MessageParts {
    std::string caption;
    std::vector<ui::DialogButton> buttons;
    int defaultResult, cancelResult;
};

MessageParts messageParts(const TlgCustomLang& lang, TlgCustomLang::TMsgDlgType type, unsigned buttons) {
    MessageParts parts;
    parts.caption = type == TlgCustomLang::mtCustom ? QCoreApplication::applicationName().toStdString()
                                                    : lang.DialogText(TypeCaptionKey[type]);
    for (int b = TlgCustomLang::mbYes; b <= TlgCustomLang::mbHelp; ++b)
        if (has(buttons, b))
            parts.buttons.push_back({lang.DialogText(Buttons[b].key), Buttons[b].result, Buttons[b].name});
    parts.defaultResult = has(buttons, TlgCustomLang::mbOK) ? 1 : has(buttons, TlgCustomLang::mbYes) ? 6 : 4;
    parts.cancelResult = has(buttons, TlgCustomLang::mbCancel) ? 2
                         : has(buttons, TlgCustomLang::mbNo)   ? 7
                                                               : 1;
    return parts;
}

} // namespace

ui::TMessageForm* TlgCustomLang::CreateMessageDialog(const std::string& msg, TMsgDlgType type,
                                                     unsigned buttons) const {
    const MessageParts parts = messageParts(*this, type, buttons);
    ui::MessageFormSpec spec;
    spec.text = QString::fromStdString(msg);
    spec.caption = QString::fromStdString(parts.caption);
    spec.iconFlags = TypeIcon[type];
    spec.defaultResult = parts.defaultResult;
    spec.cancelResult = parts.cancelResult;
    spec.fontSource = qobject_cast<QWidget*>(parent());
    for (const auto& button : parts.buttons)
        spec.buttons.push_back(
            {QString::fromStdString(button.name), QString::fromStdString(button.caption), button.result});
    return ui::CreateMessageForm(spec);
}

int TlgCustomLang::MessageDlgPosHelp(const std::string& msg, TMsgDlgType type, unsigned buttons, int helpCtx,
                                     int x, int y, const std::string& helpFile, int headlessAnswer) const {
    const MessageParts parts = messageParts(*this, type, buttons);
    return ui::dialogs().MessageDialog(msg, parts.caption, TypeIcon[type], parts.buttons, parts.defaultResult,
                                       parts.cancelResult, headlessAnswer, {x, y, helpCtx, helpFile},
                                       qobject_cast<QWidget*>(parent()));
}

int TlgCustomLang::MessageDlgPos(const std::string& msg, TMsgDlgType type, unsigned buttons, int helpCtx,
                                 int x, int y, int headlessAnswer) const {
    return MessageDlgPosHelp(msg, type, buttons, helpCtx, x, y, {}, headlessAnswer);
}

int TlgCustomLang::MessageDlg(const std::string& msg, TMsgDlgType type, unsigned buttons, int helpCtx,
                              int headlessAnswer) const {
    return MessageDlgPosHelp(msg, type, buttons, helpCtx, -1, -1, {}, headlessAnswer);
}

int TlgCustomLang::MessageDlg(const std::string& msg, TMsgDlgType type, unsigned buttons,
                              int headlessAnswer) const {
    return MessageDlg(msg, type, buttons, 0, headlessAnswer);
}

void TlgCustomLang::ShowMessagePos(const std::string& msg, int x, int y) const {
    MessageDlgPos(msg, mtCustom, 1u << mbOK, 0, x, y, 1);
}

void TlgCustomLang::ShowMessage(const std::string& msg) const {
    ShowMessagePos(msg, -1, -1);
}

void TlgCustomLang::ShowMessageFmt(const char* format, ...) const {
    va_list args, copy;
    va_start(args, format);
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(std::size_t(std::max(length, 0)), '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    ShowMessage(text);
}

bool TlgCustomLang::InputQuery(const std::string& caption, const std::string& prompt,
                               std::string& value) const {
    return ui::dialogs().InputQuery(caption, prompt, value);
}

std::string TlgCustomLang::InputBox(const std::string& caption, const std::string& prompt,
                                    const std::string& defaultValue) const {
    std::string value = defaultValue;
    return InputQuery(caption, prompt, value) ? value : defaultValue;
}
