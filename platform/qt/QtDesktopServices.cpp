#include "QtDesktopServices.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QUuid>

namespace murmelin {

void QtClipboard::setString(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text), QClipboard::Clipboard);
}

void QtClipboard::setPrimarySelection(const std::string& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection())
        clipboard->setText(QString::fromStdString(text), QClipboard::Selection);
}

std::string QtTranslator::translate(const std::string& key) const {
    return QCoreApplication::translate("Murmelin", key.c_str()).toStdString();
}

std::string QtIdentifierSource::uuidString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

DesktopAppIdentity::DesktopAppIdentity(const QString& executableDir) {
    const QDir bin(executableDir);
    if (bin.dirName() != QLatin1String("bin"))
        return;
    const QString entry = bin.absoluteFilePath(
        QStringLiteral("../share/applications/%1.desktop").arg(QLatin1String(kDesktopEntryName)));
    if (QFileInfo(entry).isFile())
        identifier_ = kDesktopEntryName;
}

} // namespace murmelin
