#include "shell/DatabaseHostOfForm.h"

#include "admin/Console.h"
#include "shell/MainForm.h"
#include "shell/ProgressWindow.h"
#include "sms/SmsGateway.h"
#include "ui/Dialogs.h"

namespace shell {

namespace {

unsigned flagsOf(db::DatabaseHost::MessageKind kind) {
    switch (kind) {
    case db::DatabaseHost::MessageKind::Information:
        return ui::MB_ICONINFORMATION;
    case db::DatabaseHost::MessageKind::Warning:
        return ui::MB_ICONWARNING;
    case db::DatabaseHost::MessageKind::Error:
        return ui::MB_ICONERROR;
    case db::DatabaseHost::MessageKind::Plain:
        break;
    }
    return ui::MB_OK;
}

} // namespace

void ShowDatabaseMessage(const std::string& text, const std::string& caption,
                         db::DatabaseHost::MessageKind kind, QWidget* owner) {
    ui::dialogs().MessageBox(text, caption, flagsOf(kind), ui::IDOK, owner);
}

bool AskDatabaseOkCancel(const std::string& text, const std::string& caption, QWidget* owner) {
    // A server without a display creates the file: it cannot run without it.
    return ui::dialogs().MessageBox(text, caption, ui::MB_OKCANCEL, ui::IDOK, owner) == ui::IDOK;
}

std::string DatabaseHostOfForm::Text(const char* key) {
    return form_.Text(key);
}

db::ConnectionSettings DatabaseHostOfForm::MainConnectionSettings() {
    return {settings_.IPFBaseText, settings_.NameFBText, settings_.UserFB, settings_.PasswordFB};
}

std::string DatabaseHostOfForm::MainCaption() {
    return form_.Caption().toStdString();
}

bool DatabaseHostOfForm::IsClosing() {
    return form_.IsClosing();
}

void DatabaseHostOfForm::RestartReconnectTimer() {
    if (!form_.IsClosing()) {
        form_.trmReconnect->SetEnabled(false);
        form_.trmReconnect->SetEnabled(true);
    }
}

void DatabaseHostOfForm::EnsureReconnectTimer() {
    if (!form_.IsClosing() && !form_.trmReconnect->Enabled())
        form_.trmReconnect->SetEnabled(true);
}

void DatabaseHostOfForm::MainDatabaseReady() {
    form_.Sms().RecallEarlierRunsReceived();
    form_.Admin().Maintenance().DatabaseAttached();
}

void DatabaseHostOfForm::SmsRowChanged(const std::string& userId) {
    bool ok = false;
    const int user = QString::fromStdString(userId).toInt(&ok);
    if (ok)
        form_.Sms().TellRowChanged(user);
}

bool DatabaseHostOfForm::IsConnectAborted() {
    return form_.IsDbConnectAborted();
}

void DatabaseHostOfForm::SetConnectAborted(bool aborted) {
    form_.SetDbConnectAborted(aborted);
}

int DatabaseHostOfForm::ShowAttachProgress() {
    if (!OknoInfo)
        return -1;
    OknoInfo->Label1->setText(QString::fromStdString(form_.Text("IDS_818")));
    OknoInfo->Start();
    OknoInfo->raise();
    OknoInfo->repaint();
    const int result = OknoInfo->ShowModal();
    OknoInfo->Stop();
    return result;
}

void DatabaseHostOfForm::CloseAttachProgress() {
    if (OknoInfo)
        OknoInfo->SetModalResult(ui::mrOk);
}

bool DatabaseHostOfForm::HasDisplay() {
    return ui::dialogs().HasDisplay();
}

void DatabaseHostOfForm::ShowMessage(const std::string& text, const std::string& caption, MessageKind kind) {
    ShowDatabaseMessage(text, caption, kind, BoxOwner);
}

bool DatabaseHostOfForm::AskOkCancel(const std::string& text, const std::string& caption) {
    return AskDatabaseOkCancel(text, caption, BoxOwner);
}

} // namespace shell
