// Text from outside reaches the log as one line, with no byte a terminal
// showing the log would take as a command.

#include "http/RequestLog.h"

#include <QTest>
#include <cstdio>

class RequestLogTest : public QObject
{
    Q_OBJECT

private slots:
    void controlCharactersAreEscaped()
    {
        FILE *stream = std::tmpfile();
        QVERIFY(stream);
        QuorvaneServer::RequestLog log(stream);
        // An object store's error code with a colour, a forged line and a C1
        // CSI; then UTF-8, which passes as it is.
        log.message("error: (\x1b[31mSlow\nforged\r\x7f\xc2\x9b\x32J)");
        log.request("GET", "/caf\xc3\xa9", 200, 1, 2, 3);
        QByteArray written(4096, '\0');
        std::rewind(stream);
        written.truncate(qsizetype(std::fread(written.data(), 1, 4096, stream)));
        std::fclose(stream);
        const QList<QByteArray> lines = written.split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].endsWith("error: (\\x1b[31mSlow\\x0aforged\\x0d\\x7f\\xc2\\x9b2J)"),
                 lines[0].constData());
        QVERIFY2(lines[1].endsWith(" GET /caf\xc3\xa9 200 in=1 out=2 3ms"), lines[1].constData());
    }
};

QTEST_APPLESS_MAIN(RequestLogTest)
#include "tst_RequestLog.moc"
