// The dialog-caption list every translation component starts with: the
// message-dialog captions and buttons, and on demand the standard dialogs' labels.
#include "i18n/LangComponent.h"

#include <algorithm>

namespace {

const char* const DialogEntries[] = {"Warning",
                                     "Error",
                                     "Information",
                                     "Confirm",
                                     "&Yes",
                                     "&No",
                                     "OK",
                                     "Cancel",
                                     "&Abort",
                                     "&Retry",
                                     "&Ignore",
                                     "&All",
                                     "N&o To All",
                                     "Y&es To All",
                                     "&Help",
                                     "&Open",
                                     "Look &in:",
                                     "File &name:",
                                     "Files of &type:",
                                     "&Read-only",
                                     "&Save",
                                     "&Drives:",
                                     "Save &in:",
                                     "Save as &type:",
                                     "&Basic colors:",
                                     "&Custom colors:",
                                     "&Define Custom Colors >>",
                                     "Color",
                                     "|S&olid",
                                     "Hu&e:",
                                     "&Sat:",
                                     "&Lum:",
                                     "&Red:",
                                     "&Green:",
                                     "Bl&ue:",
                                     "&Add to Custom Colors",
                                     "&Font:",
                                     "Font st&yle:",
                                     "Si&ze:",
                                     "&Color:",
                                     "&Apply",
                                     "Effects",
                                     "Stri&keout",
                                     "&Underline",
                                     "Sample",
                                     "Sc&ript:",
                                     "Printer",
                                     "&Name:",
                                     "&Properties",
                                     "Status:",
                                     "Type:",
                                     "Where:",
                                     "Comment:",
                                     "Paper",
                                     "&Source:",
                                     "Orientation",
                                     "P&ortrait",
                                     "L&andscape",
                                     "Print to f&ile",
                                     "Print",
                                     "Pa&ges",
                                     "&Selection",
                                     "&from:",
                                     "&to:",
                                     "Copies",
                                     "Number of &copies:",
                                     "C&ollate",
                                     "Fi&nd what:",
                                     "Match &whole words only",
                                     "Match &case",
                                     "Direction",
                                     "&Up",
                                     "&Down",
                                     "&Find Next",
                                     "&Replace",
                                     "Replace &All",
                                     "Re&place with:",
                                     "Picture:",
                                     "Preview",
                                     "New Folder",
                                     "Folder:",
                                     "(None)"};
constexpr int MessageDialogEntries = 15;
constexpr int AllDialogEntries = int(std::size(DialogEntries));

// The run time's own texts of the fifteen message-dialog entries.
const char* const MessageDialogDefaults[MessageDialogEntries] = {
    "Warning", "Error",  "Information", "Confirm", "&Yes",       "&No",         "OK",   "Cancel",
    "&Abort",  "&Retry", "&Ignore",     "&All",    "N&o to All", "Yes to &All", "&Help"};

std::string keyOfEntry(const char* entry) {
    return i18n::ReplaceStr(entry, "&", "", true);
}

} // namespace

void TlgCustomLang::FillDialogs() {
    for (int i = 0; i < MessageDialogEntries; ++i)
        DlgsCaptions.push_back(keyOfEntry(DialogEntries[i]) + LangDelim() + MessageDialogDefaults[i] +
                               LangDelim());
}

void TlgCustomLang::FillNewDialogs() {
    if (needAllDlgs_ && DlgsCaptions.size() == MessageDialogEntries) {
        for (int i = MessageDialogEntries; i < AllDialogEntries; ++i)
            DlgsCaptions.push_back(keyOfEntry(DialogEntries[i]) + LangDelim() + DialogEntries[i] +
                                   LangDelim());
    } else if (!needAllDlgs_ && DlgsCaptions.size() == std::size_t(AllDialogEntries)) {
        for (std::size_t i = DlgsCaptions.size(); i-- > 0;) {
            const std::string key = i18n::ExtractTranslation(DlgsCaptions[i], LangDelim(), 0);
            const bool messageEntry = std::any_of(DialogEntries, DialogEntries + MessageDialogEntries,
                                                  [&](const char* e) { return keyOfEntry(e) == key; });
            if (!messageEntry)
                DlgsCaptions.erase(DlgsCaptions.begin() + std::ptrdiff_t(i));
        }
    }
}

std::string TlgCustomLang::DialogText(const std::string& key) const {
    std::string text = GetTextFrom(DlgsCaptions, key, true);
    if (!text.empty())
        return text;
    // No translated dialog shows a blank caption or button.
    for (int i = 0; i < AllDialogEntries; ++i)
        if (i18n::EqualsIgnoreCase(keyOfEntry(DialogEntries[i]), key))
            return i < MessageDialogEntries ? MessageDialogDefaults[i] : DialogEntries[i];
    return key;
}
