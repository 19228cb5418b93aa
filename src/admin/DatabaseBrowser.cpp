#include "admin/DatabaseBrowser.h"

#include "admin/ListViewRows.h"
#include "db/InterfaceDB.h"
#include "db/MainDatabase.h"
#include "db/SqlText.h"
#include "ui/Components.h"

#include <QHeaderView>

namespace admin {
namespace {

InterfaceDB& connected(InterfaceDB& front) {
    const db::ConnectionSettings c = db::MainConnection();
    front.SetConnection(c.host, c.path, c.user, c.password);
    return front;
}

// The table list as the list shows it, keeping each name as the database
// holds it (trailing blanks of the name column are not part of it).
class TableNameRows : public db::RowSink {
  public:
    TableNameRows(ui::TListView* view, std::map<std::string, std::string>& names)
        : shown_(view), names_(names) {}
    void columns(const std::vector<db::ResultColumn>& columns) override { shown_.columns(columns); }
    void row(const db::ResultRow& row) override {
        std::string name = row.text(0);
        name.erase(name.find_last_not_of(' ') + 1);
        names_.emplace(row.trimmed(0), name);
        shown_.row(row);
    }

  private:
    ListViewRows shown_;
    std::map<std::string, std::string>& names_;
};

// The list leaves its plain list style for columns with a header.
void reportStyle(ui::TListView* view) {
    view->header()->setVisible(true);
}

} // namespace

void DatabaseBrowser::DBInfoClick() {
    ui::TListView* view = host_.Lists().ListView1;
    tableNames_.clear();
    InterfaceDB front;
    TableNameRows rows(view, tableNames_);
    connected(front).SetResultList(&rows);
    front.RefreshTableList();
    reportStyle(view);
}

void DatabaseBrowser::Wyswietlzawartosctabeli1Click() {
    showRows("CTIusers");
}

void DatabaseBrowser::ListView1DblClick() {
    const QTreeWidgetItem* selected = host_.Lists().ListView1->currentItem();
    if (!selected || !selected->isSelected())
        return;
    const auto table = tableNames_.find(selected->text(0).toStdString());
    if (table == tableNames_.end())
        return;
    showRows(QuoteIdentifier(table->second));
}

void DatabaseBrowser::Test1Click() {
    InterfaceDB front;
    connected(front).CreateUsersTable();
}

void DatabaseBrowser::showRows(const std::string& table) {
    ui::TListView* view = host_.Lists().ListView1;
    tableNames_.clear();
    InterfaceDB front;
    ListViewRows rows(view);
    connected(front).SetResultList(&rows);
    front.WyswietlBazeDB(table, "0", "0", "");
    reportStyle(view);
}

} // namespace admin
