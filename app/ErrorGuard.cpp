#include "app/ErrorGuard.h"

#include <QFileInfo>
#include <exception>

#include "platform/Dialogs.h"

namespace ari {

QString ApplicationTitle(const QString& executablePath) {
    QString name = QFileInfo(executablePath).fileName();
    const int dot = name.indexOf('.');
    if (dot >= 0)
        name.truncate(dot);
    if (name.isEmpty())
        return name;
    return name.left(1).toUpper() + name.mid(1).toLower();
}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + '.';
    return message;
}

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowErrorBox(ErrorBoxText(QString::fromUtf8(e.what())).toStdString());
    } catch (...) {
        ShowErrorBox(ErrorBoxText(QStringLiteral("Unknown error")).toStdString());
    }
}

}  // namespace ari
