// A Qt text window for tests to type and paste into: a QTextEdit titled "Murmelin target" that
// takes keyboard focus at start and reports its whole plain text whenever it changes, so a test
// reads exactly what arrived. Usage: target_window [output-file]  (without a file: stdout, one
// JSON string per change). The file is replaced atomically, and first written (empty) once the
// window has focus, so its existence means "ready to receive keys". Beside it, <file>.focus gets
// a line "in" or "out" at each change of the keyboard focus: where no tool asks the compositor
// (mutter), it tells whether anything took the focus.
#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTextEdit>
#include <QWindow>
#include <cstdio>

namespace {

void report(const QString& path, const QString& text) {
    if (path.isEmpty()) {
        // A one-element array is the simplest JSON that quotes any text onto one line.
        const QByteArray line = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
        std::fprintf(stdout, "%s\n", line.constData());
        std::fflush(stdout);
        return;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        std::fprintf(stderr, "target_window: cannot write %s\n", qPrintable(path));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    QTextEdit edit;
    edit.setWindowTitle("Murmelin target");
    edit.setAcceptRichText(false);
    edit.resize(640, 360);
    edit.move(100, 100);
    QObject::connect(&edit, &QTextEdit::textChanged, [&] { report(path, edit.toPlainText()); });

    bool announced = false;
    QObject::connect(&app, &QGuiApplication::focusWindowChanged, [&](QWindow* window) {
        if (!path.isEmpty()) {
            QFile focus(path + QStringLiteral(".focus"));
            if (focus.open(QIODevice::Append))
                focus.write(window != nullptr && window == edit.windowHandle() ? "in\n" : "out\n");
        }
        if (!announced && window != nullptr && window == edit.windowHandle()) {
            announced = true;
            report(path, edit.toPlainText());
        }
    });
    edit.show();
    edit.raise();
    edit.activateWindow();
    edit.setFocus();
    return app.exec();
}
