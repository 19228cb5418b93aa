#include "clients/Klient.h"

#include <gtest/gtest.h>

namespace {

class KlientTest : public ::testing::Test {
  protected:
    void TearDown() override { UsunWszystkichKlientow(); }
};

TEST_F(KlientTest, NewestRecordWinsAndCountFollowsTheList) {
    auto* first = new Klient("10.0.0.5", "a", nullptr, 1);
    first->SetIDFB("7");
    auto* second = new Klient("10.0.0.5", "b", nullptr, 2);
    second->SetIDFB("8");
    EXPECT_EQ(IloscKlientow, 2);
    EXPECT_EQ(Klient::Znajdz("10.0.0.5", 0, nullptr), second);
    EXPECT_EQ(Klient::Znajdz("10.0.0.5", 0, "7"), first);
    EXPECT_EQ(Klient::Znajdz("10.0.0.6", 0, nullptr), nullptr);
    EXPECT_EQ(Klient::DajIPy("7"), std::vector<std::string>{"10.0.0.5"});
    EXPECT_EQ(Klient::ZnajdzID(nullptr), nullptr);
    delete second;
    EXPECT_EQ(KlientList, first);
    EXPECT_EQ(first->Poprzedni, nullptr);
    EXPECT_EQ(IloscKlientow, 1);
}

TEST_F(KlientTest, VersionsAndCapabilities) {
    auto* k = new Klient("10.0.0.1", "k", nullptr, 0);
    k->UstawWersje("2.4.0.0");
    EXPECT_TRUE(k->ObslugaPocztyGlosowej && k->Wersja2017 && k->ObslugaSms && k->Wersja24a && k->Wersja24b);
    k->UstawWersje("2.0.21.9");
    EXPECT_TRUE(k->ObslugaPocztyGlosowej && k->Wersja2017);
    EXPECT_FALSE(k->ObslugaSms || k->Wersja24a || k->Wersja24b);
    k->UstawWersje("2.0.22");
    EXPECT_EQ(k->Wersja[0], 0u);
    EXPECT_TRUE(k->Wersja2017); // flags keep their values
    k->UstawWersje("2.4.10.3");
    EXPECT_EQ(k->WersjaTekst(), "2.04.10.03");
}

TEST_F(KlientTest, LongFieldsAreCutToTheirLimits) {
    auto* k = new Klient("10.0.0.1", std::string(200, 'n'), nullptr, 0);
    k->SetIDFB(std::string(50, '9'));
    EXPECT_EQ(k->Nazwa.size(), Klient::NazwaLimit);
    EXPECT_EQ(k->IDFB.size(), Klient::IdfbLimit);
    k->SetNazwa(std::string(100, 'x') + "óó");
    EXPECT_EQ(k->Nazwa, std::string(64, 'x'));
    k->SetNazwa(std::string(63, 'x') + "óó"); // limits count characters, not bytes
    EXPECT_EQ(k->Nazwa, std::string(63, 'x') + "ó");
}

TEST_F(KlientTest, PendingCommandsGoWithTheRecord) {
    auto* k = new Klient("10.0.0.1", "k", nullptr, 0);
    k->Komendy.emplace_back("X\r", 3, 0);
    delete k; // frees its chain under the lock; nothing leaks (checked under ASan)
    EXPECT_EQ(KlientList, nullptr);
}

} // namespace
