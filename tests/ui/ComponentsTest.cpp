#include "ui/Components.h"
#include "ui/Dialogs.h"
#include "ui/PropInfoList.h"

#include <QLabel>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace ui;

TEST(Components, PublishedPropertiesAreReachableByTheirNames) {
    TForm form(QStringLiteral("Form"));
    auto* box = new TCheckBox(QStringLiteral("chb"), QStringLiteral("Caption"), &form);
    EXPECT_TRUE(box->setProperty("Hint", QStringLiteral("tip")));
    EXPECT_TRUE(box->setProperty("Caption", QStringLiteral("Nowy")));
    EXPECT_TRUE(box->setProperty("Checked", true));
    EXPECT_EQ(box->toolTip(), QStringLiteral("tip"));
    EXPECT_EQ(box->text(), QStringLiteral("Nowy"));
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(form.FindComponent(QStringLiteral("chb")), box);
}

TEST(Components, CollectionsAreObjectsWithItems) {
    TForm form(QStringLiteral("Form"));
    auto* bar = new TStatusBar(QStringLiteral("StatusBar"), &form, 8);
    auto* panels = bar->property("Panels").value<QObject*>();
    ASSERT_NE(panels, nullptr);
    EXPECT_EQ(panels->property("Count").toInt(), 8);
    QObject* seventh = nullptr;
    QMetaObject::invokeMethod(panels, "Item", Q_RETURN_ARG(QObject*, seventh), Q_ARG(int, 7));
    ASSERT_NE(seventh, nullptr);
    seventh->setProperty("Text", QStringLiteral("Centrala"));
    const auto labels = bar->findChildren<QLabel*>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                            [](QLabel* l) { return l->text() == QStringLiteral("Centrala"); }));
    EXPECT_EQ(bar->Panels().Item(8), nullptr);
}

TEST(Components, AListColumnOfWidthZeroIsHidden) {
    TForm form(QStringLiteral("Form"));
    auto* view = new TListView(QStringLiteral("lv"), &form);
    view->AddColumn(QStringLiteral("A"));
    view->AddColumn(QStringLiteral("B"));
    view->Columns()[1]->SetWidth(0);
    EXPECT_TRUE(view->isColumnHidden(1));
    view->Columns()[0]->setProperty("Caption", QStringLiteral("Adres"));
    EXPECT_EQ(view->headerItem()->text(0), QStringLiteral("Adres"));
}

TEST(Components, AModalFormEndsWithTheResultOfItsButton) {
    TForm form(QStringLiteral("Dialog"));
    auto* ok = new TButton(QStringLiteral("OK"), QStringLiteral("OK"), &form);
    ok->SetModalResult(mrOk);
    QTimer::singleShot(0, ok, &QPushButton::click);
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_FALSE(form.isVisible());
}

// Enabling a running timer leaves its countdown alone; switching it off and
// on, or a new interval, starts the countdown over.
TEST(Components, TimersStartAndStopThroughEnabled) {
    TTimer timer(QStringLiteral("t"), 10000, false, nullptr);
    timer.setTimerType(Qt::PreciseTimer);
    EXPECT_FALSE(timer.Enabled());
    timer.setProperty("Enabled", true);
    EXPECT_TRUE(timer.isActive());
    const int whole = timer.remainingTime();
    const auto countedDown = [&] { return timer.remainingTime() <= whole - 300; };
    ASSERT_TRUE(QTest::qWaitFor(countedDown, 60000));
    timer.setProperty("Enabled", true);
    timer.SetEnabled(true);
    EXPECT_TRUE(countedDown()) << "enabled again, the countdown started over";
    timer.setProperty("Interval", 10000);
    EXPECT_TRUE(countedDown()) << "the same interval again, the countdown started over";
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.isActive());
    timer.SetEnabled(true);
    EXPECT_FALSE(countedDown()) << "switched off and on, it did not start over";
    ASSERT_TRUE(QTest::qWaitFor(countedDown, 60000));
    timer.setProperty("Interval", 20000);
    EXPECT_GT(timer.remainingTime(), whole) << "a new interval did not start a new countdown";
}

TEST(Dialogs, ScriptedAnswersAreUsedInOrderThenTheSafeOne) {
    ScriptedDialogs dialogs;
    dialogs.QueueAnswer(IDYES);
    dialogs.QueueText("typed");
    EXPECT_EQ(dialogs.MessageBox("a", "c", MB_YESNO, IDNO), IDYES);
    EXPECT_EQ(dialogs.MessageBox("b", "c", MB_YESNO, IDNO), IDNO);
    std::string value;
    EXPECT_TRUE(dialogs.InputQuery("c", "p", value));
    EXPECT_EQ(value, "typed");
    EXPECT_FALSE(dialogs.InputQuery("c", "p", value));
    ASSERT_EQ(dialogs.Calls().size(), 4u);
    EXPECT_EQ(dialogs.Calls()[1].text, "b");
}

TEST(Dialogs, HeadlessDialogsReportAndGiveTheSafeAnswer) {
    std::string logged;
    HeadlessDialogs dialogs([&logged](const std::string& text) { logged = text; });
    EXPECT_EQ(dialogs.MessageBox("Serwer działa", "Halvex", MB_YESNO, IDNO), IDNO);
    EXPECT_EQ(logged, "Halvex: Serwer działa");
    std::string value = "kept";
    EXPECT_FALSE(dialogs.InputQuery("c", "p", value));
    EXPECT_EQ(value, "kept");
}

TEST(Components, PropertyListsByKindNameAndIntersection) {
    TForm form(QStringLiteral("Form"));
    auto* box = new TCheckBox(QStringLiteral("chb"), QStringLiteral("Caption"), &form);
    auto* label = new TLabel(QStringLiteral("lbl"), QStringLiteral("Caption"), &form);
    TlgPropInfoList texts(box, {QMetaType::QString});
    ASSERT_GE(texts.Count(), 3);
    for (int i = 1; i < texts.Count(); ++i)
        EXPECT_LE(qstricmp(texts.Get(i - 1).name(), texts.Get(i).name()), 0);
    ASSERT_NE(texts.Find("CAPTION"), nullptr);
    EXPECT_STREQ(texts.Find("CAPTION")->name(), "Caption");
    EXPECT_NE(texts.Find("objectName"), nullptr); // inherited
    EXPECT_EQ(texts.Find("Checked"), nullptr);    // another kind
    EXPECT_EQ(texts.Find("Capt"), nullptr);

    TlgPropInfoList flags(box, {QMetaType::Bool});
    EXPECT_NE(flags.Find("checked"), nullptr);
    EXPECT_FALSE(texts.Contains(*flags.Find("Checked")));

    TlgPropInfoList labelTexts(label, {QMetaType::QString});
    const int before = texts.Count();
    texts.Intersect(labelTexts);
    EXPECT_LE(texts.Count(), before);
    for (int i = 0; i < texts.Count(); ++i)
        EXPECT_TRUE(labelTexts.Contains(texts.Get(i))) << texts.Get(i).name();
    EXPECT_NE(texts.Find("Caption"), nullptr);
    const int count = texts.Count();
    texts.Delete(0);
    EXPECT_EQ(texts.Count(), count - 1);
}
