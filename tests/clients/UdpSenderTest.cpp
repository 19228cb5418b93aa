// The broadcast sender with its thread and a receiving socket on 127.0.0.1:
// what happens when more datagrams wait than the sender may hold.
#include "clients/UdpSender.h"
#include "support/LinkTestSupport.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

namespace {

// The sender is held while a burst fills its queue, as a long step on the GUI
// thread holds it: the queue stops at its cap and says so in the log, a
// call-state notice still gets in, and it is the first to leave once the
// sender writes again.
TEST(UdpSender, AFullQueueStaysAtItsCapLogsItsLossesAndLetsACallStateNoticeGoFirst) {
    linktest::LogCapture log;
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    auto sender = std::make_unique<TNMUDP>(nullptr);
    sender->SetRemoteHost("127.0.0.1");
    sender->SetRemotePort(receiver.localPort());
    {
        TNMUDP::HeldBatch held(sender.get());
        for (std::size_t i = 0; i < TNMUDP::WaitingLimit; ++i)
            ASSERT_TRUE(sender->SendBuffer("!UP&" + std::to_string(i) + "&1\r\n"));
        EXPECT_FALSE(sender->SendBuffer("!UP&late&1\r\n"));
        EXPECT_TRUE(sender->SendBuffer("!DZ&201&\r\n", TNMUDP::Turn::Ahead));
        EXPECT_EQ(sender->Waiting(), TNMUDP::WaitingLimit);
        EXPECT_TRUE(log.WaitForLine("UDP: kolejka pełna (limit 65536)"));
    }
    ASSERT_TRUE(receiver.waitForReadyRead(30000));
    EXPECT_EQ(receiver.receiveDatagram().data().toStdString(), "!DZ&201&\r\n");
    // The sender keeps up again: the queue takes datagrams and counts its losses.
    ASSERT_TRUE(linktest::WaitFor([&] { return sender->Waiting() < TNMUDP::WaitingLimit; }));
    EXPECT_TRUE(sender->SendBuffer("!UP&next&1\r\n"));
    EXPECT_TRUE(log.WaitForLine("UDP: kolejka znów przyjmuje, pominięto komunikatów: 2"));
    // Going while datagrams still wait is no fault.
    sender.reset();
}

} // namespace
