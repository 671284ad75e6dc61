#include "maintenance/RunSummary.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "engine/format/DbfFormat.h"
#include "platform/Env.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "settings/Formats.h"

namespace ari {

QString StampText(TDateTime value) {
    return ShortDateText(value) + u' ' + LongTimeText(value);
}

JournalLog::JournalLog(const std::string& folder, std::function<TDateTime()> now)
    : journal_(folder), now_(std::move(now)), subscription_([this](const QString& line, bool) {
          if (!journal_.Append(StampText(now_ ? now_() : LocalNow()) + u' ' + line))
              failed_ = true;
      }) {}

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items)
        out += (out.empty() ? "" : ", ") + s;
    return out;
}

void AddOnce(std::vector<std::string>& items, const std::string& item) {
    for (const std::string& s : items)
        if (s == item)
            return;
    items.push_back(item);
}

}  // namespace

PassSummary RunSummary::Pass() const {
    PassSummary pass;
    pass.liveFolder = liveFolder_;
    pass.tables = tables_;
    pass.seconds = Seconds((finished_ ? ended_ : std::chrono::steady_clock::now()) - started_);
    pass.result = overall_.empty() ? "not finished" : overall_;
    return pass;
}

RunSummary::RunSummary(const std::string& liveFolderText, RunOperations operations)
    : operations_(operations),
      liveFolder_(liveFolderText.empty() ? std::string()
                                         : WithTrailingSeparator(AbsolutePath(liveFolderText))),
      started_(std::chrono::steady_clock::now()) {}

TableSummary& RunSummary::Entry(const std::string& table) {
    for (TableSummary& t : tables_)
        if (EqualsNoCase(t.table, table))
            return t;
    TableSummary t;
    t.table = table;
    t.recordsBefore = TableRecords(table);
    t.bytesBefore = TableBytes(table);
    t.result = "not finished";
    tables_.push_back(std::move(t));
    return tables_.back();
}

std::uint64_t RunSummary::TableBytes(const std::string& table) const {
    if (liveFolder_.empty())
        return 0;
    std::uint64_t total = 0;
    for (const char* ext : {kTableExtension, kMemoExtension, kProductionIndexExtension}) {
        for (const std::string& name :
             FilesNamedNoCase(liveFolder_, CompanionPathFor(table, ext))) {
            FileInfo st;
            if (Env::Default()->PathInfo(liveFolder_ + name, false, &st) == 0 &&
                st.kind == NameKind::Regular)
                total += st.size;
        }
    }
    return total;
}

// The record count of the table's header (bytes 4 to 7, little-endian), read without opening
// the table through the engine: no lock taken, nothing held.
std::int64_t RunSummary::TableRecords(const std::string& table) const {
    if (liveFolder_.empty())
        return -1;
    const std::string name = FindFileNoCase(liveFolder_, table);
    if (name.empty())
        return -1;
    Env* env = Env::Default();
    const FileHandle fd =
        env->Open(liveFolder_ + name, kOpenRead | kOpenNoFollow | kOpenNonBlocking);
    if (fd < 0)
        return -1;
    uint8_t header[engine::dbf::kRecordCount + 4];
    FileInfo st;
    const bool ok =
        env->Info(fd, &st) == 0 && st.kind == NameKind::Regular &&
        env->ReadAt(fd, 0, header, sizeof header) == static_cast<int64_t>(sizeof header);
    env->Close(fd);
    if (!ok)
        return -1;
    return engine::GetLE32(header + engine::dbf::kRecordCount);
}

void RunSummary::TableStarted(RunPass pass, const std::string& table) {
    current_ = table;
    tableStarted_ = std::chrono::steady_clock::now();
    TableSummary& t = Entry(table);
    t.result = "not finished";
    if (pass == RunPass::Pack) {
        AddOnce(t.operations, "pack");
    } else {
        if (operations_.transfer)
            AddOnce(t.operations, "transfer");
        if (operations_.rebuild)
            AddOnce(t.operations, "rebuild");
    }
}

void RunSummary::IndexAdded(const std::string& table, const IndexDefinition& definition) {
    TableSummary& t = Entry(table);
    AddOnce(t.operations, "rebuild");
    t.tagsRebuilt.push_back(definition.name);
}

void RunSummary::TablePacked(const std::string& table) {
    Entry(table).packed = true;
}

void RunSummary::TableFinished(RunPass, const std::string& table) {
    TableSummary& t = Entry(table);
    t.seconds += Seconds(std::chrono::steady_clock::now() - tableStarted_);
    t.recordsAfter = TableRecords(table);
    t.bytesAfter = TableBytes(table);
    t.result = "ok";
    current_.clear();
}

void RunSummary::Error(const std::string& message) {
    if (!current_.empty()) {
        TableSummary& t = Entry(current_);
        t.seconds += Seconds(std::chrono::steady_clock::now() - tableStarted_);
        t.recordsAfter = TableRecords(current_);
        t.bytesAfter = TableBytes(current_);
        t.result = "failed: " + message;
        failedTable_ = current_;
        current_.clear();
    }
    overall_ = "failed: " + message;
}

void RunSummary::RunFinished(bool result) {
    ended_ = std::chrono::steady_clock::now();
    finished_ = true;
    if (overall_.empty())
        overall_ = result ? "ok" : "failed";
}

void RunSummary::Stopped(const std::string& why) {
    if (!current_.empty()) {
        TableSummary& t = Entry(current_);
        t.seconds += Seconds(std::chrono::steady_clock::now() - tableStarted_);
        t.recordsAfter = TableRecords(current_);
        t.bytesAfter = TableBytes(current_);
        t.result = why;
        current_.clear();
    }
    if (!finished_) {
        ended_ = std::chrono::steady_clock::now();
        finished_ = true;
    }
    overall_ = why;
}

QStringList RunSummary::Lines(const QString& stamp) const {
    QStringList out;
    out << QStringLiteral("=== Pass summary ") + stamp + QStringLiteral(" (") +
               QString::fromStdString(liveFolder_) + u')';
    for (const TableSummary& t : tables_) {
        const std::vector<std::string>& operations = t.operations;
        QString line = QStringLiteral("table ") + QString::fromStdString(t.table) +
                       QStringLiteral(": operations ") +
                       QString::fromStdString(operations.empty() ? "none" : Joined(operations));
        const auto count = [](std::int64_t n) {
            return n < 0 ? QStringLiteral("?") : QString::number(n);
        };
        line += QStringLiteral("; records ") + count(t.recordsBefore) + QStringLiteral(" -> ") +
                count(t.recordsAfter);
        if (t.packed && t.recordsBefore >= 0 && t.recordsAfter >= 0)
            line += QStringLiteral("; deleted records removed ") +
                    QString::number(t.recordsBefore - t.recordsAfter);
        line += QStringLiteral("; tags rebuilt ") +
                (t.tagsRebuilt.empty() ? QStringLiteral("none")
                                       : QString::fromStdString(Joined(t.tagsRebuilt)));
        line += QStringLiteral("; bytes ") + QString::number(t.bytesBefore) +
                QStringLiteral(" -> ") + QString::number(t.bytesAfter);
        line += QStringLiteral("; time ") + QString::number(t.seconds, 'f', 2) +
                QStringLiteral(" s; result ") + QString::fromStdString(t.result);
        if (!t.verify.empty())
            line += QStringLiteral("; verify ") + QString::fromStdString(t.verify);
        out << line;
    }
    const auto end = finished_ ? ended_ : std::chrono::steady_clock::now();
    out << QStringLiteral("total time ") + QString::number(Seconds(end - started_), 'f', 2) +
               QStringLiteral(" s; result ") +
               QString::fromStdString(overall_.empty() ? "not finished" : overall_);
    return out;
}

namespace {

QString PersianOperation(const std::string& operation) {
    if (operation == "transfer")
        return QStringLiteral("انتقال ایندکس");
    if (operation == "rebuild")
        return QStringLiteral("بازسازی ایندکس");
    if (operation == "pack")
        return QStringLiteral("فشرده سازی");
    return QString::fromStdString(operation);
}

// "ok" and "failed[: message]" and "not finished" in Persian; a result of another wording (a
// stop on request) is shown as it is.
QString PersianResult(const std::string& result) {
    static const std::string failed = "failed";
    if (result == "ok")
        return QStringLiteral("موفق");
    if (result == "not finished")
        return QStringLiteral("ناتمام");
    if (result.compare(0, failed.size(), failed) == 0) {
        const std::string rest = result.substr(failed.size());
        if (rest.empty())
            return QStringLiteral("ناموفق");
        if (rest.compare(0, 2, ": ") == 0)
            return QStringLiteral("ناموفق: ") + QString::fromStdString(rest.substr(2));
    }
    return QString::fromStdString(result);
}

QString PersianSeconds(double seconds) {
    return QString::number(seconds, 'f', 2) + QStringLiteral(" ثانیه");
}

}  // namespace

QStringList PersianLines(const PassSummary& pass, const QString& stamp) {
    const QString none = QStringLiteral("هیچ");
    const QString separator = QStringLiteral("؛ ");
    const auto count = [](std::int64_t n) {
        return n < 0 ? QStringLiteral("نامعلوم") : QString::number(n);
    };
    QStringList out;
    out << QStringLiteral("خلاصه آخرین اجرا، ") + stamp + QStringLiteral(" (") +
               QString::fromStdString(pass.liveFolder) + u')';
    for (const TableSummary& t : pass.tables) {
        QStringList operations;
        for (const std::string& o : t.operations)
            operations << PersianOperation(o);
        QStringList fields;
        fields << QStringLiteral("عملیات: ") +
                      (operations.isEmpty() ? none : operations.join(QStringLiteral("، ")));
        fields << QStringLiteral("تعداد رکوردها پیش از کار: ") + count(t.recordsBefore) +
                      QStringLiteral("، پس از کار: ") + count(t.recordsAfter);
        if (t.packed && t.recordsBefore >= 0 && t.recordsAfter >= 0)
            fields << QStringLiteral("رکوردهای حذف شده که پاک شدند: ") +
                          QString::number(t.recordsBefore - t.recordsAfter);
        fields << QStringLiteral("ایندکس های بازسازی شده: ") +
                      (t.tagsRebuilt.empty() ? none
                                             : QString::fromStdString(Joined(t.tagsRebuilt)));
        fields << QStringLiteral("حجم پیش از کار: ") + QString::number(t.bytesBefore) +
                      QStringLiteral(" بایت، پس از کار: ") + QString::number(t.bytesAfter) +
                      QStringLiteral(" بایت");
        fields << QStringLiteral("زمان: ") + PersianSeconds(t.seconds);
        fields << QStringLiteral("نتیجه: ") + PersianResult(t.result);
        if (!t.verify.empty())
            fields << QStringLiteral("بررسی: ") + (t.verify == "ok"
                                                       ? QStringLiteral("سالم")
                                                       : QString::fromStdString(t.verify));
        out << QStringLiteral("جدول ") + QString::fromStdString(t.table) + QStringLiteral(": ") +
                   fields.join(separator);
    }
    out << QStringLiteral("زمان کل: ") + PersianSeconds(pass.seconds) + separator +
               QStringLiteral("نتیجه کل: ") + PersianResult(pass.result);
    return out;
}

}  // namespace ari
