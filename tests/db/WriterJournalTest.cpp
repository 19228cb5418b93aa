// The road's writer opens a connection of its own to the row journal. The
// journal file is made immutable (as root) for a moment right after the
// journal thread opened it, while the writer is still in its first attach:
// the writer's opening fails. It is said, tried again after a pause, and
// every row is written once: none is written a second time by the next road
// on the same journal.
#include "base/DiagnosticLog.h"
#include "db/RowRoad.h"
#include "support/JournalPeek.h"
#include "support/MainFormFixture.h"
#include "support/PrivateFirebirdServer.h"

#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Sets or clears the file's immutable flag; 0, or errno's value.
int setImmutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int flags = 0;
    int error = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        error = errno;
    } else {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
            error = errno;
    }
    ::close(fd);
    return error;
}

// The flag goes with the test, whatever ends it.
struct Immutable {
    explicit Immutable(std::string file) : path(std::move(file)), error(setImmutable(path, true)) {}
    ~Immutable() { lift(); }
    void lift() {
        if (error == 0 && !lifted)
            lifted = setImmutable(path, false) == 0;
    }
    std::string path;
    int error;
    bool lifted = false;
};

// A listener on 127.0.0.1 that takes one connection and answers nothing.
struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(); }
    // Waits (at most a minute) for a connection.
    bool accepted() {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 60000) != 1)
            return false;
        peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        return peer >= 0;
    }
    void close() {
        for (int* open : {&peer, &fd})
            if (*open >= 0)
                ::close(std::exchange(*open, -1));
    }
    int fd = -1;
    int peer = -1;
    int port = 0;
};

class WriterJournal : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        testfb::UseEmbeddedEngine();
        ASSERT_TRUE(server.prepared()) << server.error();
        ASSERT_TRUE(server.start()) << server.error();
        c = server.connection("RovaZAD.fdb");
        ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
        bool created = false;
        testfb::Isql(c, "CREATE TABLE ROADROWS (N INTEGER);\nCOMMIT;\n", &created);
        ASSERT_TRUE(created);
        base::Switches().LogInfo = true;
    }
    void TearDown() override {
        base::Switches().LogInfo = false;
        MainFormFixture::TearDown();
    }

    static std::string row(int n) { return "INSERT INTO ROADROWS (N) VALUES (" + std::to_string(n) + ")"; }

    // "<rows>/<distinct rows>" in the table.
    std::string stored() {
        const std::string text =
            testfb::Isql(c, "SELECT 'STORED=' || COUNT(*) || '/' || COUNT(DISTINCT N) FROM ROADROWS;");
        const auto at = text.find("STORED=");
        return at == std::string::npos ? text : text.substr(at + 7, text.find_first_of(" \r\n", at) - at - 7);
    }

    // Waits (at most a minute) until `done` holds.
    static bool await(const std::function<bool()>& done) {
        QDeadlineTimer deadline(60000);
        while (!done() && !deadline.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    }

    db::ConnectionSettings database() const { return {c.host, c.path, c.user, c.password}; }

    testfb::PrivateServer server;
    testfb::Connection c;
};

} // namespace

TEST_F(WriterJournal, AConnectionThatFailsToOpenIsOpenedAgainAndEveryRowIsWrittenOnce) {
    constexpr int Rows = 40;
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    std::string said;
    {
        db::RowRoad road([](const std::string&) {});
        // The writer is held in its attach (to a server that answers
        // nothing) while the journal opens.
        Listener silent;
        ASSERT_NE(silent.port, 0);
        road.Connect({"127.0.0.1/" + std::to_string(silent.port), c.path, c.user, c.password});
        road.Hand(db::PlainRoadRows({row(1)}));
        ASSERT_TRUE(silent.accepted());
        ASSERT_TRUE(road.OpenJournal(journal));
        Immutable locked(journal);
        if (locked.error == EPERM || locked.error == ENOTTY || locked.error == EOPNOTSUPP) {
            silent.close();
            GTEST_SKIP() << "the journal cannot be made immutable here: " << std::strerror(locked.error);
        }
        ASSERT_EQ(locked.error, 0) << std::strerror(locked.error);
        testing::internal::CaptureStderr();
        // The attach fails; the writer opens its connection to the journal.
        silent.close();
        const bool failureSaid = await([&] {
            return mainLogText().find("Zapis do bazy danych nie może otworzyć dziennika zapisów " +
                                      journal) != std::string::npos;
        });
        locked.lift();
        EXPECT_TRUE(failureSaid) << mainLogText();
        road.Connect(database());
        for (int n = 2; n <= Rows; ++n)
            road.Hand(db::PlainRoadRows({row(n)}));
        EXPECT_TRUE(await([&] {
            return stored() == "40/40" && testing_support::JournalRowsWhere(journal) == 0;
        })) << "stored "
            << stored() << ", in the journal " << testing_support::JournalRowsWhere(journal) << "\n"
            << mainLogText();
        EXPECT_TRUE(road.Stop(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
        said = testing::internal::GetCapturedStderr();
    }
    EXPECT_NE(said.find("Halvex: the row writer cannot open the row journal " + journal), std::string::npos)
        << said;
    EXPECT_NE(said.find("Halvex: the row writer has opened the row journal " + journal + " again"),
              std::string::npos)
        << said;

    // The next road on the journal finds nothing to write again.
    {
        db::RowRoad next([](const std::string&) {});
        ASSERT_TRUE(next.OpenJournal(journal));
        next.Connect(database());
        EXPECT_TRUE(await([&] { return next.Idle(); }));
    }
    EXPECT_EQ(stored(), "40/40");
}
