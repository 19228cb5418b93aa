// The main window's side of the database access: the hooks the logic classes
// call, and the attach, schema check and SMS clean-up of the start-up timers.
#include "db/DatabaseHooks.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "db/MessageTables.h"
#include "shell/MainForm.h"
#include "shell/ProgressWindow.h"
#include "ui/Dialogs.h"

namespace {

std::string formText(const char* key) {
    return Form1 ? Form1->Text(key) : std::string(key);
}

void markMainConnectionLost() {
    if (Form1)
        Form1->MainDbState = -1;
}

void restartReconnectTimer() {
    if (Form1 && !Form1->IsClosing()) {
        Form1->trmReconnect->SetEnabled(false);
        Form1->trmReconnect->SetEnabled(true);
    }
}

void checkStructureAfterAttach(const std::string& host, const std::string& path, const std::string& user,
                               const std::string& password) {
    if (Form1 && !Form1->IsClosing())
        Form1->EnsureDatabaseStructure(host, path, user, password);
}

void ensureReconnectTimer() {
    if (Form1 && !Form1->IsClosing() && !Form1->trmReconnect->Enabled())
        Form1->trmReconnect->SetEnabled(true);
}

bool isConnectAborted() {
    return Form1 && Form1->IsDbConnectAborted();
}

void setConnectAborted(bool aborted) {
    if (Form1)
        Form1->SetDbConnectAborted(aborted);
}

int showAttachProgress() {
    if (!OknoInfo)
        return -1;
    OknoInfo->Label1->setText(QString::fromStdString(formText("IDS_818")));
    OknoInfo->Start();
    OknoInfo->raise();
    OknoInfo->repaint();
    const int result = OknoInfo->ShowModal();
    OknoInfo->Stop();
    return result;
}

void closeAttachProgress() {
    if (OknoInfo)
        OknoInfo->SetModalResult(ui::mrOk);
}

} // namespace

void InstallDatabaseHooks() {
    db::Hooks& hooks = db::hooks();
    hooks.text = formText;
    hooks.mainConnectionLost = markMainConnectionLost;
    hooks.restartReconnectTimer = restartReconnectTimer;
    hooks.ensureReconnectTimer = ensureReconnectTimer;
    hooks.mainAttached = checkStructureAfterAttach;
    hooks.isConnectAborted = isConnectAborted;
    hooks.setConnectAborted = setConnectAborted;
    hooks.showAttachProgress = showAttachProgress;
    hooks.closeAttachProgress = closeAttachProgress;
}

int TForm1::AttachMainDatabase() {
    InstallDatabaseHooks();
    InterfaceDB front;
    front.SetConnection(IPFBaseText, NameFBText, UserFB, PasswordFB);
    const int checksBefore = StructureChecksRun;
    const int result = front.OpenDatabase(false);
    // An attach made just now was checked by its session; a database just
    // created, or a connection that was there already, is checked here.
    if (result == 0 && StructureChecksRun == checksBefore)
        EnsureDatabaseStructure(IPFBaseText, NameFBText, UserFB, PasswordFB);
    return result;
}

void TForm1::EnsureDatabaseStructure(const std::string& host, const std::string& path,
                                     const std::string& user, const std::string& password) {
    if (StructureCheckRunning || !MainDbHandleExists() || IsDbConnectAborted())
        return;
    const std::string name = host.empty() ? path : host + ":" + path;
    if (StructureCheckedDatabase != name) {
        StructureCheckRunning = true;
        ++StructureChecksRun;
        InterfaceDB front;
        front.SetConnection(host, path, user, password);
        int error = 0;
        const int created = front.CheckAndCreateTables(&error);
        StructureCheckRunning = false;
        if (created != 0) {
            const std::string caption = Caption().toStdString();
            if (error == 0)
                ui::dialogs().MessageBox(Text("IDS_819"), caption, ui::MB_ICONINFORMATION, ui::IDOK);
            else
                ui::dialogs().MessageBox(Text("IDS_820"), caption, ui::MB_ICONERROR, ui::IDOK);
        }
        // A connection lost during the check leaves it to the next attach.
        if (!MainDbHandleExists() || IsDbConnectAborted())
            return;
        StructureCheckedDatabase = name;
    }
    MainDbReady = true;
}

// Once per process, at the first attach, after the structure check and
// before users are loaded and the client service opens: nothing can be in
// progress yet in this run.
void TForm1::FailSmsLeftInProgress() {
    if (SmsLeftInProgressFailed || !MainDbReady || !MainDbHandleExists())
        return;
    SmsLeftInProgressFailed = true;
    ServiceSmsDB sms(IPFBaseText, NameFBText, UserFB, PasswordFB);
    if (sms.LastCode == 0)
        sms.CheckBadStatus();
}
