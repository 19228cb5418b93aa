// The database page: a plain browser of the main database that lists its
// tables and shows the rows of one of them in one list.
#pragma once

#include "admin/ConsoleHost.h"

#include <map>
#include <string>

namespace admin {

class DatabaseBrowser {
  public:
    explicit DatabaseBrowser(ConsoleHost& host) : host_(host) {}

    // The user tables of the database.
    void DBInfoClick();
    // The rows of the users' table.
    void Wyswietlzawartosctabeli1Click();
    // On a table of the list of tables, that table's rows; on anything
    // else (a data row, no selection) nothing.
    void ListView1DblClick();
    // Creates the users' table.
    void Test1Click();

  private:
    // Fills the list with every row of `table`, written as the statement
    // takes it.
    void showRows(const std::string& table);

    ConsoleHost& host_;
    // The captions of the table list now shown, with each table's name as
    // the database gives it; empty while rows of a table are shown.
    std::map<std::string, std::string> tableNames_;
};

} // namespace admin
