#include "i18n/ExtendedItems.h"
#include "i18n/LangComponent.h"
#include "ui/Components.h"

#include <gtest/gtest.h>

namespace {

TEST(ExtendedItems, IdentifierFindCopyAndKinds) {
    ui::TForm form(QStringLiteral("Form1"));
    auto* label = new ui::TLabel(QStringLiteral("Label1"), QStringLiteral("Tekst"), &form);
    TlgLang lang(&form);
    lang.SetOwnerNames("TForm1", "Form1");
    TlgExtendedItems& items = lang.ExtendedTranslations();
    EXPECT_EQ(items.GetOwner(), &lang);

    TlgExtendedItem& font = items.Add();
    font.SetIdentifier("Label1.Font.Name");
    font.SetRelatedComponent(label);
    label->setObjectName(QStringLiteral("lblTitle"));
    EXPECT_EQ(font.Identifier(), "lblTitle.Font.Name");
    EXPECT_FALSE(font.IsRoot());

    TlgExtendedItem& caption = items.Add();
    caption.SetIdentifier("TForm1.Caption");
    caption.Values = std::string("Okno\1Window\1\1\1");
    caption.PropertyType = ui::TypeKindByName("tkLString");
    EXPECT_TRUE(caption.IsRoot());
    EXPECT_EQ(items.Find("tform1.CAPTION"), &caption);
    EXPECT_EQ(items.Find("TForm1.Hint"), nullptr);
    EXPECT_EQ(caption.Piece(2, 1), "Window");
    EXPECT_EQ(caption.Piece(3, 1), "");
    // A Values beginning with a delimiter has an empty first language.
    caption.Values = std::string("\1Window\1");
    EXPECT_EQ(caption.Piece(1, 1), "");
    EXPECT_EQ(caption.Piece(2, 1), "Window");

    TlgExtendedItems copy = items;
    items.Items(1).Values = "changed";
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.Items(1).Values, std::string("\1Window\1"));
    EXPECT_EQ(copy.Items(1).PropertyType, tkLString);

    TlgLang other(nullptr);
    other.SetExtendedTranslations(items);
    EXPECT_EQ(other.ExtendedTranslations().GetOwner(), &other);
    EXPECT_EQ(other.ExtendedTranslations().Items(0).StoredIdentifier(), "Label1.Font.Name");
    other.ExtendedTranslations().SetItems(0, items.Items(1));
    EXPECT_EQ(other.ExtendedTranslations().Items(0).Identifier(), "TForm1.Caption");

    EXPECT_STREQ(ui::TypeKindName(tkInt64), "tkInt64");
    EXPECT_STREQ(ui::TypeKindName(tkDynArray), "tkDynArray");
    EXPECT_EQ(ui::TypeKindByName("tkSet"), tkSet);
    EXPECT_EQ(ui::TypeKindByName("tkNothing"), tkUnknown);
}

} // namespace
