// The systemd service control against a stand-in `systemctl` that records
// its arguments and answers with the unit's state from a file.
#include "platform/ServiceControl.h"
#include "support/Sandbox.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

using testing_support::readFile;
using testing_support::writeFile;

TEST(SystemdServiceControl, AsksForTheUnitAndStartsAndStopsItWithoutWaiting) {
    testing_support::Sandbox sandbox;
    const std::string program = sandbox.file("systemctl");
    writeFile(program, "#!/bin/sh\necho \"$*\" >> '" + sandbox.file("calls") + "'\n" +
                           "case \"$1\" in show) cat '" + sandbox.file("unit") + "';; esac\n");
    QFile::setPermissions(QString::fromStdString(program),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    platform::SystemdServiceControl control(QString::fromStdString(program));

    writeFile(sandbox.file("unit"), "Id=ormbell.service\nLoadState=loaded\nActiveState=active\n");
    EXPECT_TRUE(control.Install("Ormbell"));
    const platform::ServiceStatus running = control.Query("Ormbell");
    EXPECT_TRUE(running.installed);
    EXPECT_EQ(running.state, platform::ServiceRunning);
    EXPECT_TRUE(control.Stop("Ormbell"));
    writeFile(sandbox.file("unit"), "LoadState=loaded\nActiveState=inactive\n");
    EXPECT_EQ(control.Query("Ormbell").state, platform::ServiceStopped);
    EXPECT_TRUE(control.Start("Ormbell"));
    const std::string show = "show --property=LoadState,ActiveState ormbell.service\n";
    EXPECT_EQ(readFile(sandbox.file("calls")), show + show + show + "--no-block stop ormbell.service\n" +
                                                   show + show + "--no-block start ormbell.service\n");

    // A unit that is not there is neither installed nor started.
    writeFile(sandbox.file("unit"), "LoadState=not-found\nActiveState=inactive\n");
    EXPECT_FALSE(control.Install("Ormbell"));
    EXPECT_FALSE(control.Start("Ormbell"));
    EXPECT_EQ(control.Query("Ormbell").state, 0);
    // Nor is anything when the program is missing.
    platform::SystemdServiceControl missing(QString::fromStdString(sandbox.file("nothing")));
    EXPECT_FALSE(missing.Query("Ormbell").installed);
    EXPECT_FALSE(missing.Stop("Ormbell"));
}

} // namespace
