// Date-and-time values as the program computes with them: days since 30 December 1899 with the
// time of day as the fraction (so 1.5 is noon on 31 December 1899), which is how stored
// dates and the status bar's date-and-time texts are computed.
#pragma once

namespace ari {

using TDateTime = double;

struct DateTimeParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Builds a value from its parts (the parts are not range-checked beyond what the maths needs).
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
// Splits a value, first taking it to the nearest whole millisecond.
DateTimeParts DecodeDateTime(TDateTime value);

// Days from 1899-12-30 to a proleptic Gregorian date, and back.
long DaysFromCivil(int year, int month, int day);
void CivilFromDays(long days, int& year, int& month, int& day);

// The local wall-clock time now.
TDateTime LocalNow();

}  // namespace ari
