#include "ContentType.h"

#include <QTest>

using Quorvane::contentTypeFor;

class ContentTypeTest : public QObject
{
    Q_OBJECT

private slots:
    void contentType_data();
    void contentType();
};

void ContentTypeTest::contentType_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("expected");

    struct Row
    {
        QList<QByteArray> endings;
        QByteArray type;
    };
    const QList<Row> table = {
        { { "pdf" }, "application/pdf" },
        { { "doc", "docx" }, "application/msword" },
        { { "xls", "xlsx" }, "application/vnd.ms-excel" },
        { { "ppt", "pptx" }, "application/vnd.ms-powerpoint" },
        { { "zip" }, "application/zip" },
        { { "rar" }, "application/x-rar-compressed" },
        { { "mpeg", "mpg", "avi", "wmv", "mov", "qt" }, "video/" },
        { { "mp3", "wav", "wma", "mid", "midi", "aiff", "aif", "rpm", "ram", "rm" }, "audio/" },
        { { "txt", "rtf" }, "text/plain" },
        { { "exe", "bin", "dll", "so" }, "application/octet-stream" },
        { { "odt", "ods", "odp", "odg" }, "application/vnd.oasis.opendocument.text" },
    };
    for (const Row &row : table) {
        for (const QByteArray &ending : row.endings) {
            QTest::addRow("%s", ending.constData())
                << QByteArray("/home/ann/files/item." + ending) << row.type;
            QTest::addRow("%s upper", ending.constData())
                << QByteArray("C:/Files/ITEM." + ending.toUpper()) << row.type;
        }
    }
    const QList<QByteArray> images
        = { "jpg", "jpeg", "png", "gif", "tiff", "tif", "bmp", "svg", "ico" };
    for (const QByteArray &ending : images) {
        QTest::addRow("image %s", ending.constData())
            << QByteArray("pictures/Item." + ending.toUpper()) << QByteArray("image/" + ending);
    }

    QTest::newRow("mixed case pdf") << QByteArray("Report.PdF") << QByteArray("application/pdf");
    QTest::newRow("holiday photo") << QByteArray("Holiday.JPG") << QByteArray("image/jpg");
    QTest::newRow("tiff keeps its spelling") << QByteArray("scan.TIFF") << QByteArray("image/tiff");
    QTest::newRow("tif keeps its spelling") << QByteArray("scan.tif") << QByteArray("image/tif");
    QTest::newRow("midi is audio") << QByteArray("song.midi") << QByteArray("audio/");
    QTest::newRow("movie") << QByteArray("movie.MPEG") << QByteArray("video/");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("no dot") << QByteArray("report_pdf") << QByteArray();
    QTest::newRow("ending without dot") << QByteArray("pdf") << QByteArray();
    QTest::newRow("unknown ending") << QByteArray("archive.tar.gz") << QByteArray();
    QTest::newRow("extension only on the folder")
        << QByteArray("/tmp/old.zip/notes") << QByteArray();
    QTest::newRow("trailing space") << QByteArray("report.pdf ") << QByteArray();
    // Only the end counts: an inner known ending does not.
    QTest::newRow("inner ending") << QByteArray("report.pdf.exe")
                                  << QByteArray("application/octet-stream");
    // The dot belongs to the ending: ".so" does not catch "iso".
    QTest::newRow("iso") << QByteArray("disk.iso") << QByteArray();
    QTest::newRow("docx not doc") << QByteArray("a.docx") << QByteArray("application/msword");
    // Latin-1 capitals in the name are lowered without disturbing the ending test.
    QTest::newRow("latin-1 name") << QByteArray("\xC9T\xC9.PNG") << QByteArray("image/png");
    QTest::newRow("utf-8 name") << QByteArray("R\xC3\xA9sum\xC3\xA9.DOC")
                                << QByteArray("application/msword");
}

void ContentTypeTest::contentType()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, expected);
    QCOMPARE(contentTypeFor(path), expected);
}

QTEST_GUILESS_MAIN(ContentTypeTest)
#include "tst_ContentType.moc"
