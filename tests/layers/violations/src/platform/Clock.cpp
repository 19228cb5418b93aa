#include <QDateTime>

QDateTime now() {
    return QDateTime::currentDateTime();
}
