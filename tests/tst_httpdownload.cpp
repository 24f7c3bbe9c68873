// Downloads against a real HTTP server on loopback that sends Content-Disposition, announces ranges
// and honours Range requests: file names, resume, replacement, unwritable targets, complete and
// longer local files, name announcements and blocking downloads.
#include "HttpClient.h"
#include "HttpDownloader.h"
#include "HttpResponse.h"
#include "LoopbackHttpServer.h"
#include "TestSupport.h"

#include <QtTest>

using namespace Qt;

namespace {

QByteArray remoteContent(int size)
{
    QByteArray content;
    for (int i = 0; i < size; ++i)
        content.append(static_cast<char>('a' + i % 26));
    return content;
}

} // namespace

class HttpDownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        server.reset(new LoopbackHttpServer);
        QVERIFY(server->listen());
        disposition.clear();
        rangesAnnounced = true;
        content = remoteContent(1000);
        server->handler
            = [this](const LoopbackHttpRequest &request, QTcpSocket *socket) { serve(request, socket); };
        folder.reset(new QTemporaryDir);
        QDir::setCurrent(folder->path());
    }

    // Windows cannot remove the folder a process stands in.
    void cleanup() { QDir::setCurrent(QDir::tempPath()); }

    void fileNameFromDisposition_rules_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "attachment; filename=setup.exe"
                               << "setup.exe";
        QTest::newRow("quoted with blank") << "attachment; filename=\"my setup.exe\""
                                           << "my setup.exe";
        QTest::newRow("path climbing") << "attachment; filename=../../x"
                                       << "x";
        QTest::newRow("windows path") << "attachment; filename=\"..\\\\..\\\\evil.dll\""
                                      << "evil.dll";
        QTest::newRow("only dots") << "attachment; filename=.."
                                   << "";
        QTest::newRow("inline") << "inline; filename=a.txt"
                                << "";
    }

    void fileNameFromDisposition_rules()
    {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        QCOMPARE(HttpDownloader::fileNameFromDisposition(value), expected);
    }

    void name_fromUrl()
    {
        QVERIFY(download(url("/files/report.bin"), QString()));
        QCOMPARE(readFile(folder->path() + "/report.bin"), content);
    }

    void name_fromHostWhenUrlEndsInSlash()
    {
        QVERIFY(download(url("/"), QString()));
        QCOMPARE(readFile(folder->path() + "/127.0.0.1"), content);
    }

    void name_fromDispositionWins_andStaysInTheFolder()
    {
        disposition = "attachment; filename=\"../../my report.txt\"";
        QStringList announced;
        QVERIFY(download(url("/"), QString(), {}, &announced));
        QCOMPARE(readFile(folder->path() + "/my report.txt"), content);
        QCOMPARE(announced, QStringList({ "my report.txt" }));
        QVERIFY(!QFile::exists(folder->path() + "/../../my report.txt"));
    }

    void resume_sendsRangeAndAppends()
    {
        const QString path = folder->path() + "/resume.bin";
        writeFile(path, content.left(400));
        QList<qint64> progress;
        QVERIFY(download(url("/resume.bin"), path, &progress));
        QCOMPARE(server->requests.last().headers.value("range"), QByteArray("bytes=400-"));
        QCOMPARE(readFile(path), content);
        QVERIFY(!progress.isEmpty());
        QVERIFY(progress.first() > 400);
        QCOMPARE(progress.last(), qint64(1000));
    }

    void resumeNotWanted_replacesTheFile()
    {
        const QString path = folder->path() + "/replace.bin";
        writeFile(path, "old old old");
        HttpRequest request = client.get(url("/replace.bin"));
        request.setDownload(true, path).setResumeWanted(false);
        QVERIFY(run(request));
        QVERIFY(!server->requests.last().headers.contains("range"));
        QCOMPARE(readFile(path), content);
    }

    void serverIgnoringRange_doesNotCorruptTheFile()
    {
        rangesHonoured = false;
        const QString path = folder->path() + "/ignored.bin";
        writeFile(path, content.left(400));
        QVERIFY(download(url("/ignored.bin"), path));
        QCOMPARE(readFile(path), content);
        rangesHonoured = true;
    }

    void unwritableTarget_reportsNonWritable()
    {
        const QString path = folder->path() + "/no/such/folder/file.bin";
        QStringList errors;
        HttpRequest request = client.get(url("/file.bin"));
        request.setDownload(true, path);
        request.handle(DownloadFileError,
            QVariant::fromValue(std::function<void(QString)>([&](QString e) { errors << e; })));
        QVERIFY(run(request));
        QCOMPARE(errors, QStringList({ QString("Url: %1 %2 Non-Writable").arg(url("/file.bin"), path) }));
    }

    void completeLocalFile_isNotDownloadedAgain()
    {
        const QString path = folder->path() + "/complete.bin";
        writeFile(path, content);
        QList<qint64> progress;
        QStringList finishedFiles;
        int finished = 0;
        HttpRequest request = client.get(url("/complete.bin"));
        request.setDownload(true, path);
        request.handle(DownloadFileProgress,
            QVariant::fromValue(
                std::function<void(qint64, qint64)>([&](qint64 done, qint64) { progress << done; })));
        request.handle(DownloadFileFinished,
            QVariant::fromValue(std::function<void(QString)>([&](QString file) { finishedFiles << file; })));
        request.handleFinished([&](QByteArray) { ++finished; });
        request.exec();
        QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 5000);
        QTest::qWait(200);
        QCOMPARE(readFile(path), content);
        QCOMPARE(progress, QList<qint64>({ 1000 }));
        QCOMPARE(finishedFiles, QStringList({ path }));
        QCOMPARE(server->requests.size(), 1); // the probe only
    }

    void longerLocalFile_isTruncatedAndDownloadedWhole()
    {
        const QString path = folder->path() + "/longer.bin";
        writeFile(path, remoteContent(1500).toUpper());
        QList<qint64> progress;
        QVERIFY(download(url("/longer.bin"), path, &progress));
        QVERIFY(!server->requests.last().headers.contains("range"));
        QCOMPARE(readFile(path), content);
        QVERIFY(progress.first() <= 1000);
        QCOMPARE(progress.last(), qint64(1000));
    }

    void largeBody_isWrittenWhole()
    {
        content = remoteContent(3 * 1024 * 1024);
        const QString path = folder->path() + "/large.bin";
        QVERIFY(download(url("/large.bin"), path));
        QCOMPARE(QFileInfo(path).size(), qint64(content.size()));
        QCOMPARE(readFile(path), content);
    }

    void blockingDownload_returnsAfterItEnded()
    {
        const QString path = folder->path() + "/blocking.bin";
        bool fileFinished = false;
        HttpRequest request = client.get(url("/blocking.bin"));
        request.setDownload(true, path).setBlocking(true);
        request.handle(
            DownloadFileFinished, QVariant::fromValue(std::function<void()>([&]() { fileFinished = true; })));
        request.exec();
        QVERIFY(fileFinished);
        QCOMPARE(readFile(path), content);
    }

private:
    void serve(const LoopbackHttpRequest &request, QTcpSocket *socket)
    {
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!disposition.isEmpty())
            headers.append(qMakePair(QByteArray("Content-Disposition"), disposition));
        if (rangesAnnounced)
            headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
        const QByteArray range = request.headers.value("range");
        if (rangesHonoured && range.startsWith("bytes=")) {
            const int from = range.mid(6, range.indexOf('-') - 6).toInt();
            headers.append(qMakePair(QByteArray("Content-Range"),
                QString("bytes %1-%2/%3").arg(from).arg(content.size() - 1).arg(content.size()).toUtf8()));
            LoopbackHttpServer::respond(socket, 206, content.mid(from), headers);
            return;
        }
        LoopbackHttpServer::respond(socket, 200, content, headers);
    }

    bool run(HttpRequest &request)
    {
        bool ended = false;
        request.handleFinished([&ended](QByteArray) { ended = true; });
        request.handleError([&ended](QByteArray) { ended = true; });
        request.exec();
        return QTest::qWaitFor([&ended]() { return ended; }, 10000);
    }

    bool download(const QString &address, const QString &path, QList<qint64> *progress = nullptr,
        QStringList *announced = nullptr)
    {
        HttpRequest request = client.get(address);
        request.setDownload(true, path);
        if (progress)
            request.handle(DownloadFileProgress,
                QVariant::fromValue(std::function<void(qint64, qint64)>(
                    [progress](qint64 done, qint64) { progress->append(done); })));
        if (announced)
            request.handle(DownloadFileNameChanged,
                QVariant::fromValue(
                    std::function<void(QString)>([announced](QString name) { announced->append(name); })));
        return run(request);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    static void writeFile(const QString &path, const QByteArray &data)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(data);
    }

    QString url(const QString &path) const { return server->baseUrl() + path; }

    QScopedPointer<LoopbackHttpServer> server;
    QScopedPointer<QTemporaryDir> folder;
    HttpClient client;
    QByteArray content;
    QByteArray disposition;
    bool rangesAnnounced = true;
    bool rangesHonoured = true;
};

QTEST_GUILESS_MAIN(HttpDownloadTest)
#include "tst_httpdownload.moc"
