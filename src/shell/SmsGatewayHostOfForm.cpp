#include "shell/SmsGatewayHostOfForm.h"

#include "admin/AdminForms.h"
#include "db/MainDatabase.h"

#include "clients/Bufor.h"
#include "clients/ClientService.h"
#include "clients/Klient.h"
#include "pbx/PbxLink.h"
#include "platform/WireCodePage.h"
#include "shell/MainForm.h"
#include "sms/SmsGateway.h"
#include "ui/Dialogs.h"

namespace shell {

cCallbackLog& SmsGatewayHostOfForm::LogCallback() {
    return form_.LogCallback;
}

cCallbackGetUserName& SmsGatewayHostOfForm::UserNameCallback() {
    return form_.UserNameCallback;
}

db::ConnectionSettings SmsGatewayHostOfForm::MainConnection() {
    return db::MainConnection();
}

bool SmsGatewayHostOfForm::MainDatabaseOpen() {
    return MainDbHandleExists();
}

void SmsGatewayHostOfForm::StartReconnectTimer() {
    form_.trmReconnect->SetEnabled(true);
}

void SmsGatewayHostOfForm::RoutingRulesChanged() {
    form_.lvRoutingRules->Rows().SetItemCount(int(form_.Sms().SmsEngine.RoutingRules.size()));
}

void SmsGatewayHostOfForm::RoutingRuleRemoved(int row) {
    ui::TVirtualListView& list = *form_.lvRoutingRules;
    list.clearSelection();
    list.selectionModel()->clearCurrentIndex();
    list.Rows().RowRemoved(row);
}

bool SmsGatewayHostOfForm::IsKnownUser(std::int32_t userId) {
    const QString wanted = QString::number(userId);
    for (int row = 0; row < form_.UserLV->topLevelItemCount(); ++row)
        if (form_.UserLV->topLevelItem(row)->text(0) == wanted)
            return true;
    return false;
}

std::string SmsGatewayHostOfForm::Text(const char* key) {
    return form_.Text(key);
}

// The users list's columns: 0 id, 1 last name, 2 first name, 5 group.
int SmsGatewayHostOfForm::RunRoutingRuleDialog(sms::RoutingRuleDialogData& data, bool keepPriority) {
    TfrmSmsRoutingRule* dialog = frmSmsRoutingRule;
    if (!dialog)
        return ui::mrCancel;
    std::vector<QStringList> users;
    for (int row = 0; row < form_.UserLV->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* user = form_.UserLV->topLevelItem(row);
        users.push_back({user->text(0), user->text(5), user->text(1) + QLatin1Char(' ') + user->text(2)});
    }
    dialog->FillAvailableRecipients(users);
    if (!keepPriority)
        dialog->edPriority->setText(QString::fromStdString(data.priority));
    dialog->edSourcePattern->setText(QString::fromStdString(data.sender));
    dialog->edLinePattern->setText(QString::fromStdString(data.line));
    dialog->SetRuleDialogData(data.recipients);
    const int result = dialog->ShowModal();
    data.priority = dialog->edPriority->text().toStdString();
    data.sender = dialog->edSourcePattern->text().toStdString();
    data.line = dialog->edLinePattern->text().toStdString();
    data.recipients = dialog->GetRuleDialogData();
    return result;
}

void SmsGatewayHostOfForm::ShowNotice(const std::string& text) {
    ui::dialogs().MessageBox(text, form_.Caption().toStdString(), ui::MB_OK | ui::MB_ICONINFORMATION,
                             ui::IDOK);
}

void SmsGatewayHostOfForm::ShowError(const std::string& text) {
    ui::dialogs().MessageBox(text, form_.Text("IDS_21"), ui::MB_OK | ui::MB_ICONWARNING, ui::IDOK);
}

namespace {

// The connected client of the user when it handles SMS.
Klient* smsClientOf(std::int32_t userId) {
    Klient* client = Klient::ZnajdzID(std::to_string(userId).c_str());
    return client && client->ObslugaSms ? client : nullptr;
}

} // namespace

bool SmsGatewayHostOfForm::WyslijSmsDodaj(const sms::SMSMSG& msg) {
    Klient* client = smsClientOf(msg.nUserId);
    if (client)
        form_.Clients().WyslijSmsDodaj(msg, client->IP, client->IDFB);
    return client != nullptr;
}

void SmsGatewayHostOfForm::SendSmsChg(std::int32_t userId) {
    if (Klient* client = smsClientOf(userId))
        form_.Clients().SendSmsChg(client->IP, client->IDFB);
}

void SmsGatewayHostOfForm::SendSmsForward(std::int32_t userId, const std::string& notice) {
    if (Klient* client = smsClientOf(userId))
        form_.Clients().Powiadom(0, platform::toWire(notice), client->IDFB.c_str(), 0, client->IP);
}

static_assert(sms::SmsGatewayHost::NeverStale == Bufor::NeverStale);

void SmsGatewayHostOfForm::QueueExchangeLine(const std::string& line, int timeToLiveMs) {
    form_.Pbx().WyslijLinie(platform::toWire(line), timeToLiveMs);
}

void SmsGatewayHostOfForm::EnablePollingTimer(bool on) {
    form_.tmrPabxSynchronize->SetEnabled(on);
}

void SmsGatewayHostOfForm::SendGsmListToClients(const std::vector<sms::S_GSMLINE>& lines) {
    form_.Clients().WyslijListeGSMKlientom(lines);
}

} // namespace shell
