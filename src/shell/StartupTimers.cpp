// The chain of start-up timers: attach the database, load the lists, then
// open the client service once the database is there.
#include "shell/MainForm.h"

#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "base/TraceLabel.h"
#include "shell/ConsoleHostOfForm.h"
#include "sms/SmsGateway.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

namespace {

void hideColumns(ui::TListView* view, std::initializer_list<int> columns) {
    for (int column : columns)
        if (auto* c = view->Columns()[column])
            c->SetWidth(0);
}

} // namespace

void TForm1::tmrStartupTimer() {
    if (IsClosing())
        return;
    update();
    if (!StartupOneShotDone) {
        hideColumns(UserLV, {4, 6});
        hideColumns(lvKlienci, {6, 7, 8, 9, 10, 12, 13, 14, 16, 18, 19, 20, 22});
        if (SecondInstance)
            return;
        StartupOneShotDone = true;
        Database().AttachAtStartup();
        // Without a display nobody can see or close the settings dialog:
        // shown there, it would hold the reconnect timer for good and put
        // its own changes in force (the calendar service off for a language
        // other than Polish), so a first start would differ from the next.
        if (SettingsDefaulted) {
            if (!ui::IsHeadless())
                ShowConfigTimer->SetEnabled(true);
            SettingsDefaulted = false;
        }
    }
    if (Database().MainDbReady && MainDbHandleExists()) {
        tmrStartup->SetEnabled(false);
        Admin().LoadUsers();
        Sms().LoadSmsRouting();
        Sms().RecallEarlierRunsReceived();
        if (auto* column = lvRoutingRules->Columns()[0])
            column->SetImageIndex(1);
        SortListView(*lvRoutingRules);
    }
}

void TForm1::ShowConfigTimerTimer() {
    ShowConfigTimer->SetEnabled(false);
    if (IsClosing())
        return;
    Poka1Click();
    if (Konfiguracja)
        Konfiguracja->show();
}

void TForm1::tmrServerEnableStartupTimer() {
    if (IsClosing() || !Database().MainDbReady)
        return;
    tmrServerEnableStartup->SetEnabled(false);
    WlaczSerwer->setEnabled(true);
    WlaczSerwer->trigger();
    tmrRCP->SetEnabled(true);
}

void TForm1::trmReconnectTimer() {
    if (IsClosing() || (Konfiguracja && Konfiguracja->isVisible()))
        return;
    trmReconnect->SetEnabled(false);
    Database().Reconnect();
    consoleHost_->ReloadIfPending();
}
