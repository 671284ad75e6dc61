#include "sessions/SessionListing.h"

#include <QStringDecoder>

namespace ari {

namespace {

// Fixed columns of a row (0-based start, width).
constexpr int kUserStart = 0, kUserWidth = 23;
constexpr int kSessionStart = 23, kSessionWidth = 19;
constexpr int kIdStart = 42, kIdWidth = 4;
constexpr int kStateStart = 46, kStateWidth = 8;

QString Cut(const QString& line, int start, int width) {
    if (start >= line.size())
        return {};
    return line.mid(start, width);
}

QString Decode(QStringConverter::Encoding encoding, QByteArrayView bytes, bool* failed) {
    QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (failed)
        *failed = decoder.hasError();
    return text;
}

}  // namespace

QString DecodeListingText(const QByteArray& bytes) {
    const QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF"))
        return Decode(QStringConverter::Utf8, view.sliced(3), nullptr);
    if (view.startsWith("\xFF\xFE"))
        return Decode(QStringConverter::Utf16LE, view.sliced(2), nullptr);
    if (view.startsWith("\xFE\xFF"))
        return Decode(QStringConverter::Utf16BE, view.sliced(2), nullptr);
    bool failed = false;
    QString text = Decode(QStringConverter::Utf8, view, &failed);
    if (!failed)
        return text;
    return QString::fromLatin1(bytes);
}

QStringList SplitListingLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = text.at(i);
        if (c == u'\r' || c == u'\n') {
            lines.append(text.mid(start, i - start));
            if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
                ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
}

SessionRow CutSessionRow(const QString& line) {
    return SessionRow{Cut(line, kUserStart, kUserWidth), Cut(line, kSessionStart, kSessionWidth),
                      Cut(line, kIdStart, kIdWidth), Cut(line, kStateStart, kStateWidth)};
}

QString TrimBlanks(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text.at(first).unicode() <= 32)
        ++first;
    while (last > first && text.at(last - 1).unicode() <= 32)
        --last;
    return text.mid(first, last - first);
}

QString LowerAsciiLetters(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() - u'A' + u'a');
    }
    return out;
}

QString CountedEntry(const SessionRow& row) {
    const QString state = LowerAsciiLetters(TrimBlanks(row.state));
    if (state != QLatin1String("active") && state != QLatin1String("disc"))
        return {};
    const bool console = TrimBlanks(row.sessionName) == QLatin1String("console");
    return TrimBlanks(row.userName) +
           (console ? QStringLiteral("(directly);") : QStringLiteral(";")) + state;
}

bool IsSessionNumber(const QString& idField) {
    const QString id = TrimBlanks(idField);
    if (id.isEmpty())
        return false;
    for (QChar c : id) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

namespace {

bool IsBlank(QChar c) {
    return c.unicode() <= 32;
}
bool IsDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// The digits of a right-aligned id that reach left out of the id field into the session name's
// columns, when the field starts with a digit (often none). `whole` is false when the number
// does not start after a blank (it runs into a name or a mark), so it cannot be told apart.
QString DigitsBeforeIdField(const SessionRow& row, bool* whole) {
    *whole = true;
    if (row.id.isEmpty() || !IsDigit(row.id.front()))
        return {};
    qsizetype start = row.sessionName.size();
    while (start > 0 && IsDigit(row.sessionName.at(start - 1)))
        --start;
    const QChar before = start > 0                ? row.sessionName.at(start - 1)
                         : row.userName.isEmpty() ? QChar(u' ')
                                                  : row.userName.back();
    *whole = IsBlank(before);
    return row.sessionName.mid(start);
}

}  // namespace

bool HoldsWholeSessionId(const SessionRow& row) {
    if (!IsSessionNumber(row.id))
        return false;
    qsizetype first = 0, end = row.id.size();
    while (IsBlank(row.id.at(first)))
        ++first;
    while (IsBlank(row.id.at(end - 1)))
        --end;
    // Before the number: a blank inside the field, or a blank before the digits that a
    // right-aligned id puts into the session name's last columns.
    if (first == 0) {
        bool whole = true;
        DigitsBeforeIdField(row, &whole);
        if (!whole)
            return false;
    }
    // After it: a blank inside the field, or, from the field's last column on, the state.
    if (end < row.id.size())
        return true;
    return row.state.isEmpty() || !IsDigit(row.state.front());
}

QString LogoffParameters(const SessionRow& row) {
    bool whole = true;
    const QString lead = DigitsBeforeIdField(row, &whole);
    return lead + row.id + QStringLiteral(" /server:") + QLatin1String(kSessionServer);
}

bool IsOwnSession(const SessionRow& row) {
    return row.userName.startsWith(u'>');
}

SessionListing ParseSessionListing(const QStringList& lines) {
    SessionListing listing;
    for (qsizetype i = 1; i < lines.size(); ++i)
        listing.rows.push_back(CutSessionRow(lines.at(i)));
    for (int r = 0; r < static_cast<int>(listing.rows.size()); ++r) {
        QString entry = CountedEntry(listing.rows[r]);
        if (!entry.isEmpty())
            listing.counted.push_back(CountedSession{std::move(entry), r});
    }
    for (const CountedSession& entry : listing.counted) {
        // The entry's text after its first ";" decides, as the lstUsers entry reads.
        const QString after = entry.text.mid(entry.text.indexOf(u';') + 1);
        const SessionRow& row = listing.rows[entry.row];
        if (after == QLatin1String("disc") && HoldsWholeSessionId(row) && !IsOwnSession(row))
            listing.logoffRows.push_back(entry.row);
    }
    return listing;
}

}  // namespace ari
