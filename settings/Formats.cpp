#include "settings/Formats.h"

#include <QCoreApplication>
#include <QLocale>

namespace ari {

FormatSettings& CurrentFormats() {
    static FormatSettings settings = [] {
        FormatSettings s;
        // Start from the user's locale for the fields this program leaves alone.
        const QLocale locale = QLocale::system();
        s.currencyString = locale.currencySymbol();
        s.timeAMString = locale.amText();
        s.timePMString = locale.pmText();
        return s;
    }();
    return settings;
}

namespace {

QString TwoDigits(int v) {
    return QString::number(v).rightJustified(2, u'0');
}

bool IsFormatLetter(QChar c) {
    const char16_t u = c.toUpper().unicode();
    return u == u'D' || u == u'M' || u == u'Y' || u == u'H' || u == u'N' || u == u'S';
}

}  // namespace

QString FormatDateTimeText(const QString& format, TDateTime value) {
    const DateTimeParts p = DecodeDateTime(value);
    const FormatSettings& fs = CurrentFormats();
    QString out;
    char16_t previousGroup = 0;  // letter of the last letter group, separators not counted
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (!IsFormatLetter(c)) {
            if (c == u'/')
                out += fs.dateSeparator;
            else if (c == u':')
                out += fs.timeSeparator;
            else
                out += c;
            ++i;
            continue;
        }
        const char16_t letter = c.toUpper().unicode();
        qsizetype n = 0;
        while (i + n < format.size() && format[i + n].toUpper().unicode() == letter)
            ++n;
        i += n;
        switch (letter) {
            case u'D':
                out += n >= 2 ? TwoDigits(p.day) : QString::number(p.day);
                break;
            case u'M':
                if (previousGroup == u'H')
                    out += n >= 2 ? TwoDigits(p.minute) : QString::number(p.minute);
                else
                    out += n >= 2 ? TwoDigits(p.month) : QString::number(p.month);
                break;
            case u'Y':
                out += n >= 3 ? QString::number(p.year).rightJustified(4, u'0')
                              : TwoDigits(p.year % 100);
                break;
            case u'H':
                out += n >= 2 ? TwoDigits(p.hour) : QString::number(p.hour);
                break;
            case u'N':
                out += n >= 2 ? TwoDigits(p.minute) : QString::number(p.minute);
                break;
            case u'S':
                out += n >= 2 ? TwoDigits(p.second) : QString::number(p.second);
                break;
        }
        previousGroup = letter;
    }
    return out;
}

QString LongTimeText(TDateTime value) {
    return FormatDateTimeText(CurrentFormats().longTimeFormat, value);
}

QString ShortTimeText(TDateTime value) {
    return FormatDateTimeText(CurrentFormats().shortTimeFormat, value);
}

QString ShortDateText(TDateTime value) {
    return FormatDateTimeText(QStringLiteral("DD/MM/YYYY"), value);
}

QString DateTimeText(TDateTime value) {
    const DateTimeParts p = DecodeDateTime(value);
    QString text = ShortDateText(value);
    if (p.hour != 0 || p.minute != 0 || p.second != 0 || p.millisecond != 0)
        text += u' ' + LongTimeText(value);
    return text;
}

namespace {

// A cursor over a time text; every reader skips the blanks that may stand before a part.
struct TimeScanner {
    const QString& text;
    qsizetype pos = 0;

    void SkipBlanks() {
        while (pos < text.size() && text[pos] == u' ')
            ++pos;
    }
    bool AtEnd() const { return pos >= text.size(); }

    // Reads one or more digits; false when there is none. Large values saturate.
    bool Number(int& value) {
        const qsizetype start = pos;
        long long v = 0;
        while (pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9') {
            if (v < 100000)
                v = v * 10 + (text[pos].unicode() - u'0');
            ++pos;
        }
        value = static_cast<int>(v);
        return pos > start;
    }

    // Reads an AM or PM marker: 0 none, 1 AM, 2 PM.
    int Marker() {
        const FormatSettings& fs = CurrentFormats();
        const QString candidates[4] = {fs.timeAMString, QStringLiteral("AM"), fs.timePMString,
                                       QStringLiteral("PM")};
        for (int k = 0; k < 4; ++k) {
            const QString& m = candidates[k];
            if (m.isEmpty())
                continue;
            if (text.mid(pos, m.size()).compare(m, Qt::CaseInsensitive) == 0) {
                pos += m.size();
                return k < 2 ? 1 : 2;
            }
        }
        return 0;
    }
};

[[noreturn]] void NotATime(const QString& text) {
    throw EConvertError(QStringLiteral("'%1' is not a valid time").arg(text).toStdString());
}

}  // namespace

TDateTime StrToTime(const QString& text) {
    TimeScanner s{text};
    const QChar timeSep = CurrentFormats().timeSeparator;
    const QChar decimalSep = CurrentFormats().decimalSeparator;

    s.SkipBlanks();
    int marker = s.Marker();
    s.SkipBlanks();
    int hour = 0, minute = 0, second = 0, ms = 0;
    if (!s.Number(hour))
        NotATime(text);
    s.SkipBlanks();
    if (!s.AtEnd() && text[s.pos] == timeSep) {
        ++s.pos;
        if (!s.Number(minute))
            NotATime(text);
        s.SkipBlanks();
        if (!s.AtEnd() && text[s.pos] == timeSep) {
            ++s.pos;
            if (!s.Number(second))
                NotATime(text);
            s.SkipBlanks();
            if (!s.AtEnd() && text[s.pos] == decimalSep) {
                ++s.pos;
                if (!s.Number(ms))
                    NotATime(text);
                s.SkipBlanks();
            }
        }
    }
    if (marker == 0) {
        marker = s.Marker();
        s.SkipBlanks();
    }
    if (!s.AtEnd())
        NotATime(text);
    if (marker != 0) {
        if (hour < 1 || hour > 12)
            NotATime(text);
        if (hour == 12)
            hour = 0;
        if (marker == 2)
            hour += 12;
    }
    if (hour >= 24 || minute >= 60 || second >= 60 || ms >= 1000)
        NotATime(text);
    return EncodeTime(hour, minute, second, ms);
}

bool TryStrToFloat(const QString& text, double& value) {
    const QString t = text.trimmed();
    qsizetype i = 0;
    const qsizetype n = t.size();
    if (i < n && (t[i] == u'+' || t[i] == u'-'))
        ++i;
    qsizetype digits = 0;
    while (i < n && t[i].isDigit() && t[i].unicode() < 128)
        ++i, ++digits;
    if (i < n && t[i] == CurrentFormats().decimalSeparator) {
        ++i;
        while (i < n && t[i].isDigit() && t[i].unicode() < 128)
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < n && (t[i] == u'e' || t[i] == u'E')) {
        ++i;
        if (i < n && (t[i] == u'+' || t[i] == u'-'))
            ++i;
        qsizetype expDigits = 0;
        while (i < n && t[i].isDigit() && t[i].unicode() < 128)
            ++i, ++expDigits;
        if (expDigits == 0)
            return false;
    }
    if (i != n)
        return false;
    QString normalized = t;
    normalized.replace(CurrentFormats().decimalSeparator, u'.');
    bool ok = false;
    value = QLocale::c().toDouble(normalized, &ok);
    return ok;
}

bool StrToBool(const QString& text) {
    double number = 0;
    if (TryStrToFloat(text, number))
        return number != 0.0;
    if (text.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0)
        return false;
    throw EConvertError(
        QStringLiteral("'%1' is not a valid boolean value").arg(text).toStdString());
}

}  // namespace ari

void ApplyFormatSettings() {
    ari::FormatSettings& fs = ari::CurrentFormats();
    fs.rightToLeft = true;
    // Through the application's property, so that the formats need no GUI library: a process
    // without a GUI (a headless run) has no layout direction to set.
    if (QCoreApplication* app = QCoreApplication::instance();
        app && app->metaObject()->indexOfProperty("layoutDirection") >= 0)
        app->setProperty("layoutDirection", QVariant::fromValue(Qt::RightToLeft));
    fs.shortDateFormat = QStringLiteral("DD/MM/YYYY");
    fs.dateSeparator = u'/';
    fs.timeSeparator = u':';
    if (fs.currencyString.isEmpty())
        fs.currencyString = QStringLiteral(" ");
    fs.currencyFormat = 1;
    fs.thousandSeparator = u'/';
    fs.currencyDecimals = 0;
    fs.negCurrFormat = 2;
    fs.decimalSeparator = u'.';
    fs.shortTimeFormat = QStringLiteral("HH:MM");
    fs.longTimeFormat = QStringLiteral("HH:MM:SS");
}
