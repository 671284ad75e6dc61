// The summary of the passes, as the operator opens it from the status bar: the passes of the run
// journal (the last night first, earlier ones to choose from), and for the one chosen a table
// with a row per table (operations, records before and after, deleted records removed, time,
// result), the pass's total time and result below. Right to left as the main window, sized to
// fit the screen whatever the number of tables (the table scrolls), closed with Esc or its
// button. It does not hold up the main window: the schedule and the run go on meanwhile.
#pragma once

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

#include "maintenance/RunSummary.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace ari {

// A pass as the view shows it: when it ran ("YYYY-MM-DD HH:MM:SS") and what it did.
struct DatedPass {
    std::string date;
    PassSummary pass;
};

class PassSummaryView : public QDialog {
    Q_OBJECT

  public:
    // The view's columns, right to left.
    enum Column {
        kTable,
        kOperations,
        kRecordsBefore,
        kRecordsAfter,
        kRemoved,
        kSeconds,
        kResult,
        kColumnCount
    };

    explicit PassSummaryView(QWidget* parent);

    // The passes to choose from, the last one first; shows that one.
    void SetPasses(std::vector<DatedPass> passes);
    // The pass shown (0 the last one); -1 when there is none.
    int ShownPass() const;
    void ShowPass(int index);
    // The pass shown, as Persian text: a heading, a paragraph per table, the total (what the
    // copy button puts on the clipboard).
    QString PassText() const;
    // Sizes the view to its table within the screen of `over` (its own when null) and centres it
    // over `over`: never larger than the screen's free area.
    void FitToScreen(const QWidget* over);

    QComboBox* Passes = nullptr;    // the passes, the last one first
    QLabel* Folder = nullptr;       // the live folder of the pass shown
    QTableWidget* Table = nullptr;  // a row per table of the pass shown
    QLabel* Total = nullptr;        // the pass's total time and result
    QPushButton* CopyButton = nullptr;
    QPushButton* CloseButton = nullptr;

  private:
    std::vector<DatedPass> passes_;
};

}  // namespace ari
