#include "i18n/HelpTopic.h"

#include "i18n/Warnings.h"
#include "platform/RegistryStore.h"
#include "ui/Dialogs.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace i18n {

void DisplayHelpTopic(const std::string& topic) {
    platform::RegistryKey key(platform::RegistryBranch::User);
    if (!key.OpenKey(HelpKey, false))
        return;
    std::string file;
    try {
        file = key.ReadString(HelpFileValue);
    } catch (const platform::RegistryError& e) {
        Warn(std::string("The help file's location cannot be read: ") + e.what());
    }
    if (!file.empty() && QFileInfo(QString::fromStdString(file)).isFile()) {
        QUrl url = QUrl::fromLocalFile(QString::fromStdString(file));
        url.setFragment(QString::fromStdString(topic));
        if (!QDesktopServices::openUrl(url))
            Warn("The help viewer cannot show " + url.toString().toStdString());
        return;
    }
    ui::dialogs().MessageBox("The help file \"" + file +
                                 "\" cannot be found.\nPlease check the installation.",
                             "Error", ui::MB_OK | ui::MB_ICONWARNING, ui::IDOK);
}

} // namespace i18n
