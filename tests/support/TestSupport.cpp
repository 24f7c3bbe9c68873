#include "TestSupport.h"

#include <QDir>
#include <QFile>

void registerTool(const TestEnvironment &environment, const QString &title, const QString &programPath,
    const QString &version)
{
    environment.writeEntry(QStringLiteral("Uninstall"), title,
        { { QStringLiteral("DisplayName"), title },
            { QStringLiteral("DisplayIcon"), programPath + QStringLiteral(",0") },
            { QStringLiteral("DisplayVersion"), version }, { QStringLiteral("VersionNumber"), version } });
}

QStringList desktopExecWords(const QString &desktopEntry)
{
    QString exec;
    for (const QString &line : desktopEntry.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("Exec=")))
            exec = line.mid(5);
    static const QMap<QChar, QChar> stringEscapes = { { QLatin1Char('s'), QLatin1Char(' ') },
        { QLatin1Char('n'), QLatin1Char('\n') }, { QLatin1Char('t'), QLatin1Char('\t') },
        { QLatin1Char('r'), QLatin1Char('\r') }, { QLatin1Char('\\'), QLatin1Char('\\') } };
    QString value;
    for (int i = 0; i < exec.size(); ++i) {
        if (exec.at(i) == QLatin1Char('\\') && i + 1 < exec.size() && stringEscapes.contains(exec.at(i + 1)))
            value += stringEscapes.value(exec.at(++i));
        else
            value += exec.at(i);
    }
    QStringList words;
    QString word;
    bool quoted = false;
    bool inWord = false;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (quoted && c == QLatin1Char('\\') && i + 1 < value.size()) {
            word += value.at(++i);
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (c == QLatin1Char(' ') && !quoted) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

#include <QMutex>

namespace {
QMutex captureMutex;
QStringList capturedLines;
QtMessageHandler activeCapturePrevious = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&captureMutex);
        capturedLines.append(message);
    }
    if (activeCapturePrevious)
        activeCapturePrevious(type, context, message);
}
} // namespace

LogCapture::LogCapture()
{
    clear();
    previous = qInstallMessageHandler(captureHandler);
    activeCapturePrevious = previous;
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&captureMutex);
    return capturedLines;
}

bool LogCapture::hasLineStartingWith(const QString &prefix) const
{
    const QStringList all = lines();
    return std::any_of(
        all.begin(), all.end(), [&prefix](const QString &line) { return line.startsWith(prefix); });
}

void LogCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    capturedLines.clear();
}

QStringList readRecordedFrames(const QString &recordPath)
{
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QTextDocument>
#include <QTimer>

namespace {

void pollForModal(const QString &buttonName, std::function<void(QWidget *)> inspect, QElapsedTimer started)
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal) {
        if (started.elapsed() > 10000) {
            qWarning("answerNextModal: no modal dialog appeared");
            return;
        }
        QTimer::singleShot(20, [=]() { pollForModal(buttonName, inspect, started); });
        return;
    }
    if (inspect)
        inspect(modal);
    if (buttonName.isEmpty()) {
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        return;
    }
    auto *button = modal->findChild<QAbstractButton *>(buttonName);
    if (!button) {
        qWarning("answerNextModal: no button %s", qPrintable(buttonName));
        modal->close();
        return;
    }
    button->click();
}

// A modal dialog that no test answers holds a suite in its event loop until CTest stops it, with no
// word of why: one left open for 15 s is named in the output and closed, so the case fails instead.
class ForgottenModalCloser : public QObject
{
public:
    explicit ForgottenModalCloser(QObject *parent)
        : QObject(parent)
    {
        connect(&watch, &QTimer::timeout, this, &ForgottenModalCloser::look);
        watch.start(500);
    }

private:
    void look()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal != seen) {
            seen = modal;
            openFor.start();
            return;
        }
        if (!modal || openFor.elapsed() < 15000)
            return;
        QStringList texts;
        for (QLabel *label : modal->findChildren<QLabel *>())
            if (!label->text().isEmpty())
                texts << shownText(label);
        qWarning("A modal dialog nobody answered, closed after 15 s: %s", qPrintable(texts.join(" | ")));
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    }

    QTimer watch;
    QElapsedTimer openFor;
    QPointer<QWidget> seen;
};

// Widgets suites only; started from the event loop, once the application is whole.
void closeForgottenModals()
{
    QTimer::singleShot(0, QCoreApplication::instance(), []() {
        if (qobject_cast<QApplication *>(QCoreApplication::instance()))
            new ForgottenModalCloser(QCoreApplication::instance());
    });
}

Q_COREAPP_STARTUP_FUNCTION(closeForgottenModals)

} // namespace

void answerNextModal(const QString &buttonName, std::function<void(QWidget *)> inspect)
{
    QElapsedTimer started;
    started.start();
    QTimer::singleShot(0, [=]() { pollForModal(buttonName, inspect, started); });
}

const QStringList UrlRecorder::Schemes = { QStringLiteral("http"), QStringLiteral("https"),
    QStringLiteral("file"), QStringLiteral("javascript"), QStringLiteral("search-ms") };

UrlRecorder::UrlRecorder()
{
    for (const QString &scheme : Schemes)
        QDesktopServices::setUrlHandler(scheme, this, "openUrl");
}

UrlRecorder::~UrlRecorder()
{
    for (const QString &scheme : Schemes)
        QDesktopServices::unsetUrlHandler(scheme);
}

void UrlRecorder::openUrl(const QUrl &url)
{
    urls.append(url);
}

QString stopProgramCleanly(QProcess &program, int timeoutMs)
{
    if (program.state() == QProcess::NotRunning)
        return QStringLiteral("the program was not running");
    askProgramToQuit(program);
    if (!program.waitForFinished(timeoutMs)) {
        program.kill();
        program.waitForFinished(5000);
        return QStringLiteral("the program did not quit within %1 ms").arg(timeoutMs);
    }
    if (program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0)
        return {};
    const QString output
        = QString::fromLocal8Bit(program.readAllStandardError() + program.readAllStandardOutput());
    return QStringLiteral("exit status %1, exit code %2:\n%3")
        .arg(program.exitStatus())
        .arg(program.exitCode())
        .arg(output.right(8000));
}

#include <QTest>

bool ProgramProcess::startWith(const QString &programPath, const QMap<QString, QString> &settings)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it)
        environment.insert(it.key(), it.value());
    setProcessEnvironment(environment);
    setProcessChannelMode(QProcess::MergedChannels);
    output.clear();
    if (launcher.isEmpty())
        start(programPath, { QStringLiteral("--tray") });
    else
        start(launcher.first(), launcher.mid(1) + QStringList { programPath, QStringLiteral("--tray") });
    return waitForStarted(5000)
        && QTest::qWaitFor(
            [this]() {
                return log().contains(QLatin1String("WebSocket Secure (wss) server listening on port 51869"));
            },
            10000);
}

QString ProgramProcess::log()
{
    output += readAll();
    return QString::fromUtf8(output);
}

QString shownText(QLabel *label)
{
    if (!label)
        return QStringLiteral("<no label>");
    // QLabel's documented rule: markup when told so, or, by default, when the text looks like markup.
    const Qt::TextFormat format = label->textFormat();
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(label->text())))
        return label->text();
    QTextDocument shown;
    shown.setHtml(label->text());
    return shown.toPlainText();
}

void startAsOtherUser(QProcess &process, const QString &program, const QStringList &arguments)
{
    const QStringList launcher = otherUserLauncher();
    process.start(launcher.value(0), launcher.mid(1) + QStringList { program } + arguments);
}
