// The rule editor's form: up to 20 recipients, recipients set by id, and
// acceptance only with a priority and two non-blank patterns.
#include "admin/AdminForms.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <gtest/gtest.h>

namespace {

void type(QWidget* edit, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(edit, &press);
    }
}

class RoutingRuleForm : public ::testing::Test {
  protected:
    void SetUp() override {
        ui::setDialogs(dialogs);
        std::vector<QStringList> users;
        for (int id = 1; id <= 22; ++id)
            users.push_back({QString::number(id), QStringLiteral("G"), QStringLiteral("User %1").arg(id)});
        form.FillAvailableRecipients(users);
    }
    std::shared_ptr<ui::ScriptedDialogs> dialogs = std::make_shared<ui::ScriptedDialogs>();
    TfrmSmsRoutingRule form;
};

} // namespace

TEST_F(RoutingRuleForm, TwentyRecipientsAtMostAndIdsWithoutAUserDropped) {
    form.SetRuleDialogData({3, 99, 1});
    EXPECT_EQ(form.GetRuleDialogData(), (std::vector<std::int32_t>{3, 1}));
    EXPECT_EQ(form.lvAvailableRecipients->topLevelItemCount(), 20);

    form.lvAvailableRecipients->selectAll();
    form.btnAddRecipientsClick();
    EXPECT_EQ(form.lvRecipients->topLevelItemCount(), TfrmSmsRoutingRule::MaxRecipients);
    EXPECT_EQ(form.lvAvailableRecipients->topLevelItemCount(), 2);
    ASSERT_EQ(dialogs->Calls().size(), 1u);

    form.lvRecipients->topLevelItem(0)->setSelected(true);
    form.btnRemoveRecipientsClick();
    EXPECT_EQ(form.GetRuleDialogData().front(), 1);
    EXPECT_EQ(form.lvAvailableRecipients->topLevelItem(2)->text(2), QStringLiteral("User 3"));
}

TEST_F(RoutingRuleForm, AcceptsOnlyAPriorityAndTwoPatternsAndFiltersKeys) {
    form.edPriority->clear();
    form.btnAcceptClick();
    EXPECT_EQ(form.ModalResult(), ui::mrNone);
    form.edPriority->setText(QStringLiteral("0"));
    form.edLinePattern->setText(QStringLiteral("   "));
    form.btnAcceptClick();
    EXPECT_EQ(form.ModalResult(), ui::mrNone);
    EXPECT_EQ(dialogs->Calls().size(), 2u);
    form.edLinePattern->setText(QStringLiteral("_"));
    form.btnAcceptClick();
    EXPECT_EQ(form.ModalResult(), ui::mrOk) << "priority 0 is the main window's to refuse";

    form.edSourcePattern->clear();
    type(form.edSourcePattern, QStringLiteral("6a0_?b"));
    EXPECT_EQ(form.edSourcePattern->text(), QStringLiteral("60_?"));
    form.edPriority->clear();
    type(form.edPriority, QStringLiteral("1x2"));
    EXPECT_EQ(form.edPriority->text(), QStringLiteral("12"));
}
