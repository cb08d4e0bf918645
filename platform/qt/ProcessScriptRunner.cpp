#include "ProcessScriptRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace murmelin {

ProcessScriptRunner::ProcessScriptRunner(const QString& executableDir) {
    const QFileInfo beside(QDir(executableDir).absoluteFilePath(QLatin1String(kNotifyProgram)));
    QString path = beside.isExecutable() ? beside.absoluteFilePath() : QString();
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(QLatin1String(kNotifyProgram));
    // Without one anywhere, keep the bare name: starting it then fails, which is ignored.
    runner_ = (path.isEmpty() ? QString::fromLatin1(kNotifyProgram) : path).toStdString();
}

void ProcessScriptRunner::launch(const std::string& program,
                                 const std::vector<std::string>& arguments) {
    QStringList args;
    for (const std::string& a : arguments)
        args << QString::fromStdString(a);
    QProcess::startDetached(QString::fromStdString(program), args);
}

} // namespace murmelin
