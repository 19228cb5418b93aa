// The settings dialog: every setting of the server on seven pages, the
// database tools beside them. Built once at start, shown and hidden; each
// show loads the controls from the settings in force, OK applies and stores
// them.
#pragma once

#include "admin/ConsoleHost.h"
#include "base/SettingValue.h"
#include "ui/Components.h"

#include <functional>
#include <set>
#include <string>

class TlgLangLinked;

namespace admin {
class Console;
} // namespace admin

class TKonfiguracja : public ui::TForm {
    Q_OBJECT
  public:
    explicit TKonfiguracja(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;

    // The console whose settings and services the dialog works on; set by
    // the main window once it exists.
    admin::Console* console = nullptr;

    // Set when a restore from backup has been started; never cleared.
    int bazaOdtworzona = 0;
    int jezykPrzyOtwarciu = 0;
    int jezykWybrany = 0;

    void FormShow();
    void btnAcceptClick();
    void btnCancelClick();
    void TypCentraliChange();
    void NumPortChange();
    void CheckConnectClick();
    void btnCodeDefaultClick();
    void ZaawansowaneClick();
    void ComboBoxLangCloseUp();
    void CheckBoxSmsTrialsClick();
    void ButtonKasujKolejkiClick();
    void chbAutoBackupClick();
    void btnSetDatabasePathClick();
    void ZapiszKonfiguracjeKalendarza(const std::string& sendPort);
    void edCRMportChange();
    void edMaxCRMconnectionsChange();
    // The return-route validity list: the first entry that covers `seconds`
    // (the last one beyond it), and an entry's seconds.
    static int ValidityIndex(int seconds);
    static int ValiditySeconds(int index);
    // The database tools.
    void btnUstawGbakPathClick();
    void btnUstawBackupDirClick();
    // From the button: failures are shown as well as logged.
    void btnBackupClick();
    // Without a sender (the schedule) failures are only logged.
    void btnBackupClick(QObject* sender);
    // Deletes the history older than 90 days: 0, or the failing code.
    int CzyscBaze();
    void btnRestoreClick();
    void btnCleanDatabaseClick();
    void btnTestDbPerformanceClick();
    void btnImportPhonebookClick();
    void btnCheckRcpDBClick();

    ui::TPageControl* pcKonfiguracja = nullptr;
    ui::TButton* btnAccept = nullptr;
    ui::TButton* btnCancel = nullptr;

    // "Centrala"
    ui::TTabSheet* tabCentrala = nullptr;
    ui::TComboBox* TypCentrali = nullptr;
    ui::TComboBox* NumPort = nullptr;
    ui::TLabel* Label5 = nullptr;
    ui::TEdit* AdresTCPEdit = nullptr;
    ui::TLabel* Label6 = nullptr;
    ui::TEdit* PortTCPEdit = nullptr;
    ui::TCheckBox* AutomPrzyw = nullptr;
    ui::TCheckBox* CheckBox1 = nullptr;
    ui::TCheckBox* chbInsertIncomingForRingGroup = nullptr;
    ui::TCheckBox* chbUseVoiceMailPcti = nullptr;
    ui::TCheckBox* chbUsePctiClip = nullptr;
    ui::TEdit* PrefixMiedzy = nullptr;
    ui::TEdit* edPrefixMiedzynarodowy = nullptr;
    ui::TUpDown* UpDownUzNum = nullptr;
    ui::TEdit* EditUzNum = nullptr;
    ui::TEdit* edCodeRedial = nullptr;
    ui::TLabel* Label21 = nullptr;
    ui::TEdit* edCodeHold = nullptr;
    ui::TButton* btnCodeDefault = nullptr;

    // "Centrala - SMS"
    ui::TTabSheet* tabCentralaSms = nullptr;
    ui::TCheckBox* chbUseSms = nullptr;
    ui::TEdit* edSmsCountryCode = nullptr;
    ui::TEdit* edMinSmsNumberLength = nullptr;
    ui::TEdit* edMaxSmsNumberLength = nullptr;
    ui::TCheckBox* chbSmsNumberProcessingRemoveCountryCode = nullptr;
    ui::TCheckBox* chbDynamicRouting = nullptr;
    ui::TComboBox* cbRouteValidity = nullptr;
    ui::TCheckBox* chbForceSmsSynchronize = nullptr;
    ui::TUpDown* UpDownSmsTrials = nullptr;
    ui::TEdit* EditSmsTrials = nullptr;
    ui::TCheckBox* CheckBoxSmsTrials = nullptr;
    ui::TButton* ButtonKasujKolejki = nullptr;

    // "Sieć intranetowa"
    ui::TTabSheet* tabSiec = nullptr;
    ui::TEdit* AdrBroad = nullptr;
    ui::TEdit* PortTCP = nullptr;
    ui::TEdit* PortUDP = nullptr;
    ui::TCheckBox* chbSocketCRM = nullptr;
    ui::TEdit* edCRMport = nullptr;
    ui::TEdit* edMaxCRMconnections = nullptr;

    // "Baza danych"
    ui::TTabSheet* tabBaza = nullptr;
    ui::TEdit* DIPBEdit = nullptr;
    ui::TEdit* NameEdit = nullptr;
    ui::TButton* btnSetDatabasePath = nullptr;
    ui::TEdit* UserEdit = nullptr;
    ui::TEdit* PassEdit = nullptr;
    ui::TButton* CheckConnect = nullptr;
    ui::TButton* btnImportPhonebook = nullptr;
    ui::TButton* btnCleanDatabase = nullptr;
    ui::TGroupBox* gbBackup = nullptr;
    ui::TEdit* edGbakPath = nullptr;
    ui::TButton* btnUstawGbakPath = nullptr;
    ui::TEdit* edBackupPath = nullptr;
    ui::TButton* btnUstawBackupDir = nullptr;
    ui::TCheckBox* chbAutoBackup = nullptr;
    ui::TComboBox* cbBackupPeriod = nullptr;
    ui::TDateTimePicker* BackupDateTime = nullptr;
    ui::TButton* btnBackup = nullptr;
    ui::TButton* btnRestore = nullptr;
    ui::TCheckBox* chbCleanBeforeBackup = nullptr;

    // "RCP"
    ui::TTabSheet* tabRCP = nullptr;
    ui::TCheckBox* chbEnableRCP = nullptr;
    ui::TEdit* edRCP_IP = nullptr;
    ui::TEdit* edRCPpath = nullptr;
    ui::TEdit* edRCPuser = nullptr;
    ui::TEdit* edRCPpassword = nullptr;
    ui::TButton* btnCheckRcpDB = nullptr;

    // "Kalendarze"
    ui::TTabSheet* TabSheetCalendars = nullptr;
    ui::TCheckBox* CheckBoxCalEnabled = nullptr;
    ui::TEdit* PortTCPCalBrowse = nullptr;
    ui::TEdit* PortTCPCalSend = nullptr;

    // "Inne"
    ui::TTabSheet* tabInne = nullptr;
    ui::TCheckBox* PotwWych = nullptr;
    ui::TCheckBox* chbStartMinimized = nullptr;
    ui::TCheckBox* Zaawansowane = nullptr;
    ui::TComboBox* ComboBoxLang = nullptr;
    ui::TButton* btnTestDbPerformance = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    admin::ConsoleHost& host();
    std::string text(const char* key) const;
    bool flag(const char* name, base::SettingsSection section = base::SettingsSection::Main);
    int number(const char* name, base::SettingsSection section = base::SettingsSection::Main);
    QString setting(const char* name, base::SettingsSection section = base::SettingsSection::Main);
    void store(const char* name, const base::SettingValue& value,
               base::SettingsSection section = base::SettingsSection::Main);
    void installInputRules();
    void fillPortList(int type, int pbxPort);
    void showTypeFeatures(int type);
    bool inputAccepted();
    void storeFunctionCodes();
    void applySmsPage(int type);
    void warn(const std::string& message, const std::string& caption, unsigned icon);
    void settingsNotWritten(const std::string& file, const std::string& reason, const std::string& values);
    // Attaches the database tested: whether it opened, and what the
    // structure check made of it; or, in `keptAway`, why it was left alone.
    using ConnectionAttempt =
        std::function<bool(admin::ConsoleHost::StructureCheck& structure, std::string& keptAway)>;
    // `keptAway`, when given or found by the attempt, is shown in place of
    // the attempt's verdict.
    void testConnection(const ConnectionAttempt& attempt, const std::string& keptAway = {});
    void showConnectionVerdict(bool opened, admin::ConsoleHost::StructureCheck structure);
    // OK, Cancel and the database page out of use (or back in use) while a
    // restore holds the database.
    void holdDatabaseControls(bool held);
    // The folder part of a file's path ("" when it names none).
    static std::string folderOf(const std::string& file);
    void buildCentralaPage();
    void buildSmsPage();
    void buildNetworkPage();
    void buildDatabasePage();
    void buildAttendancePage();
    void buildCalendarPage();
    void buildOtherPage();
    void connectHandlers();

    // The exchange port in force when the dialog was shown.
    int pbxPortAtShow_ = 1;
    // Settings keys that could not be written in the running OK.
    std::set<base::SettingsSection> unwritableKeys_;
};
