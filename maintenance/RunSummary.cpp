#include "maintenance/RunSummary.h"

#include "maintenance/SummaryTexts.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "engine/format/DbfFormat.h"
#include "engine/table/DbfFile.h"
#include "platform/Env.h"
#include "platform/Exception.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "settings/Formats.h"

namespace ari {

std::string StampText(TDateTime value) {
    return ShortDateText(value) + ' ' + LongTimeText(value);
}

std::string IsoStampText(TDateTime value) {
    const DateTimeParts p = DecodeDateTime(value);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second);
    return text;
}

std::uint64_t TableFileBytes::Total() const {
    std::uint64_t total = 0;
    for (const std::int64_t n : {table, index, memo})
        total += n > 0 ? static_cast<std::uint64_t>(n) : 0;
    return total;
}

JournalLog::JournalLog(const std::string& folder, std::function<TDateTime()> now)
    : journal_(folder), now_(std::move(now)), subscription_([this](const std::string& line, bool) {
          if (!journal_.Append(StampText(now_ ? now_() : LocalNow()) + ' ' + line))
              failed_ = true;
      }) {}

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// `value` with two decimals and "." as the decimal point.
std::string TwoDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string Joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "" : separator) + items[i];
    return out;
}

std::string Joined(const std::vector<std::string>& items) {
    return Joined(items, ", ");
}

// `text` on one line: an engine message of several lines, or a name with a line break in it,
// would end the summary's block early for whoever reads it back (PassHistory.h).
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

void AddOnce(std::vector<std::string>& items, const std::string& item) {
    for (const std::string& s : items)
        if (s == item)
            return;
    items.push_back(item);
}

}  // namespace

std::string JoinedLines(const std::vector<std::string>& lines) {
    return Joined(lines, "\n");
}

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

TableFileBytes RunSummary::TableBytes(const std::string& table) const {
    TableFileBytes out;
    if (liveFolder_.empty())
        return out;
    // Every spelling of the name counts (a folder may hold a.DBF beside a.dbf).
    const auto bytes = [&](const char* ext) {
        std::int64_t total = -1;
        for (const std::string& name :
             FilesNamedNoCase(liveFolder_, CompanionPathFor(table, ext))) {
            FileInfo st;
            if (Env::Default()->PathInfo(liveFolder_ + name, false, &st) == 0 &&
                st.kind == NameKind::Regular)
                total = (total < 0 ? 0 : total) + static_cast<std::int64_t>(st.size);
        }
        return total;
    };
    out.table = bytes(kTableExtension);
    out.index = bytes(kProductionIndexExtension);
    out.memo = bytes(kMemoExtension);
    return out;
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
    // The records the engine reads, by the count rule that settles a stale header count (a
    // header that says 1 over a file of 300 records has 300), as the pack reads them.
    try {
        return engine::DbfFile::OpenHeld(liveFolder_ + name)->RecordCount();
    } catch (const Exception&) {
        return engine::GetLE32(header + engine::dbf::kRecordCount);  // damaged: as it says
    }
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

void RunSummary::ErrorReason(const std::string& reason) {
    if (!failedTable_.empty())
        Entry(failedTable_).result += " (" + reason + ")";
    overall_ += " (" + reason + ")";
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

std::vector<std::string> RunSummary::Lines(TDateTime when) const {
    return Lines(IsoStampText(when));
}

std::vector<std::string> RunSummary::Lines(const std::string& stamp) const {
    std::vector<std::string> out;
    out.push_back(summary::kHeading + stamp + " (" + OneLine(liveFolder_) + ')');
    for (const TableSummary& t : tables_) {
        const std::vector<std::string>& operations = t.operations;
        std::string line = summary::kTableLine + OneLine(t.table) + ": operations " +
                           (operations.empty() ? "none" : Joined(operations));
        const auto count = [](std::int64_t n) { return n < 0 ? "?" : std::to_string(n); };
        line += "; records " + count(t.recordsBefore) + " -> " + count(t.recordsAfter);
        if (t.packed && t.recordsBefore >= 0 && t.recordsAfter >= 0)
            line += summary::kRemoved + std::to_string(t.recordsBefore - t.recordsAfter);
        line += "; tags rebuilt " + (t.tagsRebuilt.empty() ? "none" : Joined(t.tagsRebuilt));
        const auto size = [](std::int64_t n) { return n < 0 ? "none" : std::to_string(n); };
        const auto files = [&](const char* kind, std::int64_t before, std::int64_t after) {
            if (before >= 0 || after >= 0)
                line += std::string("; ") + kind + " bytes " + size(before) + " -> " + size(after);
        };
        files("table", t.bytesBefore.table, t.bytesAfter.table);
        files("index", t.bytesBefore.index, t.bytesAfter.index);
        files("memo", t.bytesBefore.memo, t.bytesAfter.memo);
        line += "; time " + TwoDecimals(t.seconds) + summary::kResult + OneLine(t.result);
        if (!t.verify.empty())
            line += "; verify " + OneLine(t.verify);
        out.push_back(line);
    }
    const auto end = finished_ ? ended_ : std::chrono::steady_clock::now();
    out.push_back(summary::kTotalLine + TwoDecimals(Seconds(end - started_)) + summary::kResult +
                  (overall_.empty() ? "not finished" : OneLine(overall_)));
    return out;
}

std::string PersianOperation(const std::string& operation) {
    if (operation == "transfer")
        return "انتقال ایندکس";
    if (operation == "rebuild")
        return "بازسازی ایندکس";
    if (operation == "pack")
        return "فشرده سازی";
    return operation;
}

// "ok" and "failed[: message]" and "not finished" in Persian; a result of another wording (a
// stop on request) is shown as it is.
std::string PersianResult(const std::string& result) {
    static const std::string failed = "failed";
    if (result == "ok")
        return "موفق";
    if (result == "not finished")
        return "ناتمام";
    if (result.compare(0, failed.size(), failed) == 0) {
        const std::string rest = result.substr(failed.size());
        if (rest.empty())
            return "ناموفق";
        if (rest.compare(0, 2, ": ") == 0)
            return "ناموفق: " + rest.substr(2);
    }
    return result;
}

std::string PersianSeconds(double seconds) {
    return TwoDecimals(seconds) + " ثانیه";
}

std::string PersianTableLine(const TableSummary& t) {
    const std::string none = "هیچ";
    const std::string separator = "؛ ";
    const auto count = [](std::int64_t n) { return n < 0 ? "نامعلوم" : std::to_string(n); };
    std::vector<std::string> operations;
    for (const std::string& o : t.operations)
        operations.push_back(PersianOperation(o));
    std::vector<std::string> fields;
    fields.push_back("عملیات: " + (operations.empty() ? none : Joined(operations, "، ")));
    fields.push_back("تعداد رکوردها پیش از کار: " + count(t.recordsBefore) +
                     "، پس از کار: " + count(t.recordsAfter));
    if (t.packed && t.recordsBefore >= 0 && t.recordsAfter >= 0)
        fields.push_back("رکوردهای حذف شده که پاک شدند: " +
                         std::to_string(t.recordsBefore - t.recordsAfter));
    fields.push_back("ایندکس های بازسازی شده: " +
                     (t.tagsRebuilt.empty() ? none : Joined(t.tagsRebuilt)));
    fields.push_back("حجم پیش از کار: " + std::to_string(t.bytesBefore.Total()) +
                     " بایت، پس از کار: " + std::to_string(t.bytesAfter.Total()) + " بایت");
    fields.push_back("زمان: " + PersianSeconds(t.seconds));
    fields.push_back("نتیجه: " + PersianResult(t.result));
    if (!t.verify.empty())
        fields.push_back("بررسی: " + (t.verify == "ok" ? std::string("سالم") : t.verify));
    return "جدول " + t.table + ": " + Joined(fields, separator);
}

std::vector<std::string> PersianLines(const PassSummary& pass, const std::string& stamp,
                                      bool last) {
    const std::string separator = "؛ ";
    std::vector<std::string> out;
    out.push_back((last ? "خلاصه آخرین اجرا، " : "خلاصه اجرا، ") + stamp + " (" + pass.liveFolder +
                  ')');
    for (const TableSummary& t : pass.tables)
        out.push_back(PersianTableLine(t));
    out.push_back("زمان کل: " + PersianSeconds(pass.seconds) + separator +
                  "نتیجه کل: " + PersianResult(pass.result));
    return out;
}

}  // namespace ari
