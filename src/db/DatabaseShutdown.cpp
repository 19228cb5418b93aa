// The database closed to new attachments and opened again, through the
// server's service manager (the embedded engine has its own).
#include "base/DiagnosticLog.h"
#include "db/CallWatchdog.h"
#include "db/ParameterBlocks.h"
#include "db/SessionDB.h"
#include "platform/WireCodePage.h"

#include <QFile>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <ibase.h>

namespace {

// A server that takes the connection and never answers ends the attach
// after as long as a call on the main connection may wait.
constexpr auto ServiceConnectTimeoutSeconds =
    std::uint32_t(std::chrono::duration_cast<std::chrono::seconds>(db::DefaultCallBound).count());

// Runs one change of the database's properties and waits for its end: the
// service reports a failure of the change only when its output is read.
int changeProperties(const db::ConnectionSettings& database, const std::string& change, const char* what,
                     int logLevel) {
    std::array<ISC_STATUS, 20> status{};
    isc_svc_handle service = 0;
    const std::string manager = database.host.empty() ? "service_mgr" : database.host + ":service_mgr";
    std::string attach{char(isc_spb_version), char(isc_spb_current_version)};
    db::blocks::AppendText(attach, isc_spb_user_name, platform::toWire(database.user));
    db::blocks::AppendText(attach, isc_spb_password, platform::toWire(database.password));
    db::blocks::AppendNumberItem(attach, isc_spb_connect_timeout, ServiceConnectTimeoutSeconds);
    const QByteArray path = QFile::encodeName(QString::fromStdString(database.path));
    std::string request{char(isc_action_svc_properties), char(isc_spb_dbname)};
    request += char(path.size() & 0xFF);
    request += char((path.size() >> 8) & 0xFF);
    request.append(path.constData(), std::size_t(path.size()));
    request += change;
    bool failed = isc_service_attach(status.data(), 0, manager.c_str(), &service, short(attach.size()),
                                     attach.data()) != 0;
    if (!failed)
        failed =
            isc_service_start(status.data(), &service, nullptr, short(request.size()), request.data()) != 0;
    while (!failed) {
        const char items[] = {isc_info_svc_line};
        char answer[1024] = {};
        failed = isc_service_query(status.data(), &service, nullptr, 0, nullptr, sizeof(items), items,
                                   sizeof(answer), answer) != 0;
        if (failed || answer[0] != isc_info_svc_line ||
            (static_cast<unsigned char>(answer[1]) | static_cast<unsigned char>(answer[2])) == 0)
            break;
    }
    const int code = failed ? int(status[1]) : 0;
    if (failed)
        base::WriteLog(logLevel, "Baza danych %s: %s nie powiodło się: %s", database.path.c_str(), what,
                       db::blocks::StatusWords(status.data()).c_str());
    if (service) {
        std::array<ISC_STATUS, 20> detached{};
        isc_service_detach(detached.data(), &service);
    }
    return code;
}

} // namespace

int SessionDB::CloseToAttachments(const db::ConnectionSettings& database) {
    // A full shutdown that waits for nobody: refused while anyone is attached.
    std::string change{char(isc_spb_prp_shutdown_mode), char(isc_spb_prp_sm_full),
                       char(isc_spb_prp_attachments_shutdown)};
    db::blocks::AppendNumber(change, 0);
    return changeProperties(database, change, "zamknięcie dla nowych połączeń", 2);
}

int SessionDB::OpenToAttachments(const db::ConnectionSettings& database) {
    // Refused also for a database that is open: information, not an error.
    return changeProperties(database, {char(isc_spb_prp_online_mode), char(isc_spb_prp_sm_normal)},
                            "otwarcie dla połączeń", 1);
}
