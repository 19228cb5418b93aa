#include "base/FormatSettings.h"

#include <QLocale>

namespace base {
namespace {

std::vector<std::string> namesOf(QLocale::FormatType format, bool months) {
    std::vector<std::string> names;
    const QLocale locale;
    for (int i = 1; i <= (months ? 12 : 7); ++i)
        names.push_back((months ? locale.monthName(i, format) : locale.dayName(i, format)).toStdString());
    return names;
}

} // namespace

TFormatSettings& FormatSettings() {
    static TFormatSettings settings = [] {
        const QLocale locale;
        TFormatSettings s;
        s.values = {locale.currencySymbol().toStdString(),
                    QString(locale.groupSeparator()).toStdString(),
                    QString(locale.decimalPoint()).toStdString(),
                    "-",
                    locale.dateFormat(QLocale::ShortFormat).toStdString(),
                    locale.dateFormat(QLocale::LongFormat).toStdString(),
                    ":",
                    locale.amText().toStdString(),
                    locale.pmText().toStdString(),
                    locale.timeFormat(QLocale::ShortFormat).toStdString(),
                    locale.timeFormat(QLocale::LongFormat).toStdString()};
        s.shortMonthNames = namesOf(QLocale::ShortFormat, true);
        s.longMonthNames = namesOf(QLocale::LongFormat, true);
        s.shortDayNames = namesOf(QLocale::ShortFormat, false);
        s.longDayNames = namesOf(QLocale::LongFormat, false);
        return s;
    }();
    return settings;
}

} // namespace base
