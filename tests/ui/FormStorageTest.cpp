#include "ui/FormStorage.h"
#include "platform/RegistryStore.h"
#include "support/Sandbox.h"
#include "ui/Components.h"

#include <gtest/gtest.h>

#include <memory>

using namespace ui;

namespace {
const char* const Key = "\\Software\\Vorlin\\Placement";

std::unique_ptr<TForm> formWithStorage() {
    auto form = std::make_unique<TForm>(QStringLiteral("Form1"));
    auto* storage = new TlgFormStorage(form.get());
    storage->SetSubKey(QString::fromLatin1(Key));
    storage->Loaded();
    return form;
}
} // namespace

TEST(FormStorage, PlacementSurvivesAndAMaximizedFormKeepsTheLastNormalOne) {
    testing_support::Sandbox sandbox;
    auto form = formWithStorage();
    form->move(40, 30);
    form->resize(320, 240);
    form.reset();

    form = formWithStorage();
    EXPECT_EQ(form->pos(), QPoint(40, 30));
    EXPECT_EQ(form->size(), QSize(320, 240));
    form->setWindowState(Qt::WindowMaximized);
    form.reset();

    platform::RegistryKey key(platform::RegistryBranch::User);
    ASSERT_TRUE(key.OpenKey(Key, false));
    EXPECT_EQ(key.ReadString("State"), "Maximized");
    EXPECT_EQ(key.ReadInteger("Top"), 30);
    EXPECT_EQ(key.ReadInteger("Left"), 40);
    EXPECT_EQ(key.ReadInteger("Height"), 240);
    EXPECT_EQ(key.ReadInteger("Width"), 320);
    form = formWithStorage();
    EXPECT_TRUE(form->windowState() & Qt::WindowMaximized);
    form.reset();

    // A value that cannot be read leaves the form as it was.
    key.WriteString("State", "Normal");
    key.DeleteValue("Width");
    TForm plain(QStringLiteral("Form1"));
    plain.move(5, 6);
    TlgFormStorage storage(&plain);
    storage.SetSubKey(QString::fromLatin1(Key));
    storage.SetMyActive(true);
    storage.Loaded();
    EXPECT_EQ(plain.pos(), QPoint(5, 6));
    storage.SetMyActive(false);
}
