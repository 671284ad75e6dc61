// The fixed date, time and number formats of the process: "HH:MM:SS" times, "DD/MM/YYYY"
// dates and "." decimals on every machine, whatever its regional settings.
#pragma once

#include <QString>

#include "platform/DateTime.h"
#include "platform/Exception.h"

// A text that does not convert to the value asked for.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

// Fixes the process-wide formats (table below) and switches on right-to-left support.
void ApplyFormatSettings();

namespace ari {

// The process-wide format settings, as far as this program reads or prints them.
struct FormatSettings {
    QString shortDateFormat = QStringLiteral("DD/MM/YYYY");
    QChar dateSeparator = u'/';
    QChar timeSeparator = u':';
    QString currencyString = QStringLiteral(" ");
    int currencyFormat = 1;
    QChar thousandSeparator = u'/';
    int currencyDecimals = 0;
    int negCurrFormat = 2;
    QChar decimalSeparator = u'.';
    QString shortTimeFormat = QStringLiteral("HH:MM");
    QString longTimeFormat = QStringLiteral("HH:MM:SS");
    QString timeAMString = QStringLiteral("AM");
    QString timePMString = QStringLiteral("PM");
    bool rightToLeft = false;
};

FormatSettings& CurrentFormats();

// Prints `value` with a format string of the letters D, M, Y, H, N, S (either case), "/" and
// ":"; "MM" after an hour group means minutes. The value is first taken to the nearest
// millisecond and the milliseconds are then dropped.
QString FormatDateTimeText(const QString& format, TDateTime value);

QString LongTimeText(TDateTime value);   // "HH:MM:SS"
QString ShortTimeText(TDateTime value);  // "HH:MM"
QString ShortDateText(TDateTime value);  // "DD/MM/YYYY"
// Short date text, then a blank and the long time text unless the time is exactly midnight.
QString DateTimeText(TDateTime value);

// Reads a time text ("6:30 PM", "06:00:00", ...); throws EConvertError
// "'<text>' is not a valid time".
TDateTime StrToTime(const QString& text);

// Reads a decimal number with "." as the decimal point; false when the text is not one.
bool TryStrToFloat(const QString& text, double& value);

// Reads a flag: a number (nonzero = true) or "True"/"False" in any case; throws EConvertError
// "'<text>' is not a valid boolean value".
bool StrToBool(const QString& text);

}  // namespace ari
