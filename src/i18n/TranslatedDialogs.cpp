// Message and input boxes whose window caption and button captions come from
// the component's dialog-caption list in the active language, shown through
// the program's one dialogs interface.
#include "i18n/LangComponent.h"

#include "ui/Dialogs.h"

#include <QCoreApplication>

namespace {

struct ButtonInfo {
    const char* key; // dialog-caption key: the control name with "_" as a blank
    int result;
};
const ButtonInfo Buttons[] = {{"Yes", 6},       {"No", 7},          {"OK", 1},     {"Cancel", 2},
                              {"Abort", 3},     {"Retry", 4},       {"Ignore", 5}, {"All", 8},
                              {"No To All", 9}, {"Yes To All", 10}, {"Help", 0}};

const char* const TypeCaptionKey[] = {"Warning", "Error", "Information", "Confirm", nullptr};
const unsigned TypeIcon[] = {ui::MB_ICONWARNING, ui::MB_ICONERROR, ui::MB_ICONINFORMATION,
                             ui::MB_ICONQUESTION, 0};

bool has(unsigned set, int button) {
    return (set & (1u << button)) != 0;
}

} // namespace

int TlgCustomLang::MessageDlg(const std::string& msg, TMsgDlgType type, unsigned buttons,
                              int headlessAnswer) const {
    const std::string caption = type == mtCustom ? QCoreApplication::applicationName().toStdString()
                                                 : DialogText(TypeCaptionKey[type]);
    std::vector<ui::DialogButton> list;
    for (int b = mbYes; b <= mbHelp; ++b)
        if (has(buttons, b))
            list.push_back({DialogText(Buttons[b].key), Buttons[b].result});
    const int defaultResult = has(buttons, mbOK) ? 1 : has(buttons, mbYes) ? 6 : 4;
    const int cancelResult = has(buttons, mbCancel) ? 2 : has(buttons, mbNo) ? 7 : 1;
    return ui::dialogs().MessageDialog(msg, caption, TypeIcon[type], list, defaultResult, cancelResult,
                                       headlessAnswer);
}

void TlgCustomLang::ShowMessage(const std::string& msg) const {
    MessageDlg(msg, mtCustom, 1u << mbOK, 1);
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
