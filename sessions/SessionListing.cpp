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

bool HoldsWholeSessionId(const SessionRow& row) {
    if (!IsSessionNumber(row.id))
        return false;
    auto isBlank = [](QChar c) { return c.unicode() <= 32; };
    auto isDigit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    qsizetype first = 0, end = row.id.size();
    while (isBlank(row.id.at(first)))
        ++first;
    while (isBlank(row.id.at(end - 1)))
        --end;
    // Before the number: a blank inside the field, or the session name's last column.
    const QChar before = first > 0
                             ? row.id.at(first - 1)
                             : (row.sessionName.isEmpty() ? QChar(u' ') : row.sessionName.back());
    if (!isBlank(before))
        return false;
    // After it: a blank inside the field, or, from the field's last column on, the state.
    if (end < row.id.size())
        return true;
    return row.state.isEmpty() || !isDigit(row.state.front());
}

QString LogoffParameters(const SessionRow& row) {
    return row.id + QStringLiteral(" /server:") + QLatin1String(kSessionServer);
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
