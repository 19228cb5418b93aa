// The main window as the database access sees it: texts in the language in
// force, the connection settings, the reconnect timer, the progress window
// and the message boxes of the dialogs in force.
#pragma once

#include "db/DatabaseHost.h"

#include <QPointer>
#include <QWidget>

class TForm1;

namespace shell {

struct ServerSettings;

class DatabaseHostOfForm : public db::DatabaseHost {
  public:
    DatabaseHostOfForm(TForm1& form, ServerSettings& settings) : form_(form), settings_(settings) {}

    std::string Text(const char* key) override;
    db::ConnectionSettings MainConnectionSettings() override;
    std::string MainCaption() override;
    bool IsClosing() override;
    void RestartReconnectTimer() override;
    void EnsureReconnectTimer() override;
    void MainDatabaseReady() override;
    void SmsRowChanged(const std::string& userId) override;
    bool IsConnectAborted() override;
    void SetConnectAborted(bool aborted) override;
    int ShowAttachProgress() override;
    void CloseAttachProgress() override;
    bool HasDisplay() override;
    void ShowMessage(const std::string& text, const std::string& caption, MessageKind kind) override;
    bool AskOkCancel(const std::string& text, const std::string& caption) override;

    // The window the database's boxes belong to while it is set (the
    // settings dialog at a restore's end); none otherwise.
    QPointer<QWidget> BoxOwner;

  private:
    TForm1& form_;
    ServerSettings& settings_;
};

// The database's messages and questions through the dialogs in force
// (ui::dialogs()), with the flags and safe answers they always had.
void ShowDatabaseMessage(const std::string& text, const std::string& caption,
                         db::DatabaseHost::MessageKind kind, QWidget* owner = nullptr);
bool AskDatabaseOkCancel(const std::string& text, const std::string& caption, QWidget* owner = nullptr);

} // namespace shell
