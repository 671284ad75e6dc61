// The fixed date, time and number formats of the process: "HH:MM:SS" times, "DD/MM/YYYY"
// dates and "." decimals on every machine, whatever its regional settings.
#pragma once

#include <string>

#include "platform/DateTime.h"
#include "platform/Exception.h"

// A text that does not convert to the value asked for.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

// Fixes the process-wide formats (table below) and switches on right-to-left support: the
// window lays itself out right to left when `rightToLeft` is set (a process without a window has
// no layout direction to set).
void ApplyFormatSettings();

namespace ari {

// The process-wide format settings, as far as this program reads or prints them. Texts are
// UTF-8; the separators are ASCII characters.
struct FormatSettings {
    std::string shortDateFormat = "DD/MM/YYYY";
    char dateSeparator = '/';
    char timeSeparator = ':';
    std::string currencyString = " ";
    int currencyFormat = 1;
    char thousandSeparator = '/';
    int currencyDecimals = 0;
    int negCurrFormat = 2;
    char decimalSeparator = '.';
    std::string shortTimeFormat = "HH:MM";
    std::string longTimeFormat = "HH:MM:SS";
    std::string timeAMString = "AM";
    std::string timePMString = "PM";
    bool rightToLeft = false;
};

FormatSettings& CurrentFormats();

// Prints `value` with a format string of the letters D, M, Y, H, N, S (either case), "/" and
// ":"; "MM" after an hour group means minutes. The value is first taken to the nearest
// millisecond and the milliseconds are then dropped.
std::string FormatDateTimeText(const std::string& format, TDateTime value);

std::string LongTimeText(TDateTime value);   // "HH:MM:SS"
std::string ShortTimeText(TDateTime value);  // "HH:MM"
std::string ShortDateText(TDateTime value);  // "DD/MM/YYYY"
// Short date text, then a blank and the long time text unless the time is exactly midnight.
std::string DateTimeText(TDateTime value);

// Reads a time text ("6:30 PM", "06:00:00", ...); throws EConvertError
// "'<text>' is not a valid time".
TDateTime StrToTime(const std::string& text);

// Reads a decimal number with "." as the decimal point; false when the text is not one.
bool TryStrToFloat(const std::string& text, double& value);

// Reads a flag: a number (nonzero = true) or "True"/"False" in any case; throws EConvertError
// "'<text>' is not a valid boolean value".
bool StrToBool(const std::string& text);

}  // namespace ari
