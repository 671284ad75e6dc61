#include <gtest/gtest.h>

#include <QMessageBox>
#include <stdexcept>

#include "app/ErrorGuard.h"
#include "app/QtDialogs.h"
#include "platform/Dialogs.h"
#include "platform/Exception.h"

namespace {

TEST(ErrorGuard, ApplicationTitleFromTheExecutableName) {
    EXPECT_EQ(ari::ApplicationTitle("/opt/x/autoreindex"), "Autoreindex");
    EXPECT_EQ(ari::ApplicationTitle("/opt/x/AutoReIndex.bin.exe"), "Autoreindex");
    EXPECT_EQ(ari::ApplicationTitle("tool"), "Tool");
}

TEST(ErrorGuard, FullStopRule) {
    struct Case {
        const char* message;
        const char* shown;
    } cases[] = {
        {"'25:00' is not a valid time", "'25:00' is not a valid time."},
        {"Disk full", "Disk full."},
        {"ends with a full stop.", "ends with a full stop."},
        {"ends with a blank ", "ends with a blank "},
        {"ends with a comma,", "ends with a comma,"},
        {"ends in digit 7", "ends in digit 7."},
        {"مسیر", "مسیر."},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ari::ErrorBoxText(QString::fromUtf8(c.message)).toStdString(), c.shown);
}

TEST(ErrorGuard, AnEscapingErrorIsShownAndGoesNoFurther) {
    std::vector<std::string> shown;
    ari::Dialogs().showError = [&](const std::string& t) { shown.push_back(t); };
    bool after = false;
    ari::RunGuarded([] { throw Exception("Unable to write to /x/settings.ini"); });
    ari::RunGuarded([] { throw std::runtime_error("plain"); });
    ari::RunGuarded([&] { after = true; });
    ari::Dialogs() = {};
    EXPECT_EQ(shown, (std::vector<std::string>{"Unable to write to /x/settings.ini.", "plain."}));
    EXPECT_TRUE(after);
}

TEST(ErrorGuard, ABoxIsWideEnoughForItsTitle) {
    // A short text would size the box below its caption, which the title bar then cuts.
    for (const char* title : {"Autoreindex", "A much longer application title than the text"}) {
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(title), QStringLiteral("Ok."),
                        QMessageBox::Ok);
        ari::FitTitle(box);
        box.show();
        EXPECT_GT(box.width(), box.fontMetrics().horizontalAdvance(box.windowTitle()) + 96)
            << title;
        box.hide();
    }
}

}  // namespace
