#include <QDateTime>

// Not QDate::currentDate() but the clock:
QDateTime stamp() {
    return QDateTime::currentDateTime();
}
