#include "MessageFrame.h"

#include <QTest>

using Platform::MessageFrame;
using Platform::WindowMessage;

class tst_MessageFrame : public QObject
{
    Q_OBJECT

private slots:
    void requestsRoundTrip_data();
    void requestsRoundTrip();
    void repliesRoundTrip();
    void requestsCarryAPath();
    void everyShortPrefixIsIncomplete();
    void malformedRequestsAreRefused_data();
    void malformedRequestsAreRefused();
    void malformedRepliesAreRefused();
};

void tst_MessageFrame::requestsRoundTrip_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<quint32>("message");
    QTest::addColumn<quint64>("wParam");
    QTest::addColumn<qint64>("lParam");
    QTest::newRow("post show") << 0 << quint32(1046) << quint64(0) << qint64(2);
    QTest::newRow("send extremes") << 1 << quint32(0xFFFFFFFF) << quint64(0xFFFFFFFFFFFFFFFF)
                                   << std::numeric_limits<qint64>::min();
    QTest::newRow("negative") << 1 << quint32(16) << quint64(1) << qint64(-1);
}

void tst_MessageFrame::requestsRoundTrip()
{
    QFETCH(int, mode);
    QFETCH(quint32, message);
    QFETCH(quint64, wParam);
    QFETCH(qint64, lParam);
    const QByteArray frame
        = MessageFrame::encodeRequest(MessageFrame::Mode(mode), { message, wParam, lParam });
    QCOMPARE(frame.size(), MessageFrame::RequestSize);
    QVERIFY(frame.startsWith("kcm\x01"));

    MessageFrame::Mode decodedMode;
    WindowMessage decoded;
    QCOMPARE(MessageFrame::decodeRequest(frame, &decodedMode, &decoded),
             MessageFrame::Status::Complete);
    QCOMPARE(int(decodedMode), mode);
    QCOMPARE(decoded.message, message);
    QCOMPARE(decoded.wParam, wParam);
    QCOMPARE(decoded.lParam, lParam);
}

void tst_MessageFrame::requestsCarryAPath()
{
    for (const QByteArray &path :
         { QByteArray("/a/b c\n\0d", 10), QByteArray(MessageFrame::MaxPathSize, 'x') }) {
        const QByteArray frame
            = MessageFrame::encodeRequest(MessageFrame::Mode::Send, { 1046, 0, 1, path });
        QVERIFY(frame.startsWith("kcm\x02"));
        MessageFrame::Mode mode;
        WindowMessage decoded;
        for (int length = 0; length < frame.size(); ++length)
            QCOMPARE(MessageFrame::decodeRequest(frame.left(length), &mode, &decoded),
                     MessageFrame::Status::Incomplete);
        QCOMPARE(MessageFrame::decodeRequest(frame, &mode, &decoded),
                 MessageFrame::Status::Complete);
        QCOMPARE(decoded.lParam, qint64(1));
        QCOMPARE(decoded.path, path);
    }
    QVERIFY(
        MessageFrame::encodeRequest(MessageFrame::Mode::Post,
                                    { 1046, 0, 0, QByteArray(MessageFrame::MaxPathSize + 1, 'x') })
            .isEmpty());
}

void tst_MessageFrame::repliesRoundTrip()
{
    for (const bool handled : { true, false }) {
        for (const qint64 result :
             { qint64(0), qint64(99), qint64(-7), std::numeric_limits<qint64>::max() }) {
            const QByteArray frame = MessageFrame::encodeReply(handled, result);
            QCOMPARE(frame.size(), MessageFrame::ReplySize);
            bool decodedHandled = !handled;
            qint64 decodedResult = 0;
            QCOMPARE(MessageFrame::decodeReply(frame, &decodedHandled, &decodedResult),
                     MessageFrame::Status::Complete);
            QCOMPARE(decodedHandled, handled);
            QCOMPARE(decodedResult, result);
        }
    }
}

void tst_MessageFrame::everyShortPrefixIsIncomplete()
{
    const QByteArray request
        = MessageFrame::encodeRequest(MessageFrame::Mode::Send, { 1046, 0, 0 });
    const QByteArray reply = MessageFrame::encodeReply(true, 0);
    MessageFrame::Mode mode;
    WindowMessage message;
    bool handled;
    qint64 result;
    for (int length = 0; length < request.size(); ++length)
        QCOMPARE(MessageFrame::decodeRequest(request.left(length), &mode, &message),
                 MessageFrame::Status::Incomplete);
    for (int length = 0; length < reply.size(); ++length)
        QCOMPARE(MessageFrame::decodeReply(reply.left(length), &handled, &result),
                 MessageFrame::Status::Incomplete);
}

void tst_MessageFrame::malformedRequestsAreRefused_data()
{
    const QByteArray valid = MessageFrame::encodeRequest(MessageFrame::Mode::Post, { 1046, 0, 2 });
    QTest::addColumn<QByteArray>("bytes");
    QByteArray bytes = valid;
    bytes[0] = 'X';
    QTest::newRow("first byte wrong") << bytes.left(1);
    QTest::newRow("text") << QByteArray("GET / HTTP/1.0\r\n\r\n");
    QTest::newRow("a reply") << MessageFrame::encodeReply(true, 0);
    bytes = valid;
    bytes[3] = 3;
    QTest::newRow("version 3") << bytes.left(4);
    bytes = valid;
    bytes[3] = 2;
    QTest::newRow("version 2 without a path") << bytes;
    const QByteArray withPath = MessageFrame::encodeRequest(MessageFrame::Mode::Send,
                                                            { 1046, 0, 0, QByteArray(10, 'p') });
    QTest::newRow("path and trailing byte") << withPath + 'x';
    bytes = withPath;
    bytes[4] = char((MessageFrame::RequestBodySize + MessageFrame::MaxPathSize + 1) >> 8);
    bytes[5] = char((MessageFrame::RequestBodySize + MessageFrame::MaxPathSize + 1) & 0xFF);
    QTest::newRow("path too long") << bytes.left(6);
    bytes = valid;
    bytes[5] = char(22);
    QTest::newRow("longer body") << bytes;
    bytes = valid;
    bytes[4] = char(0xFF);
    bytes[5] = char(0xFF);
    QTest::newRow("huge length") << bytes.left(6);
    bytes = valid;
    bytes[6] = 2;
    QTest::newRow("mode 2") << bytes.left(7);
    QTest::newRow("trailing byte") << valid + '\0';
    QTest::newRow("two frames") << valid + valid;
}

void tst_MessageFrame::malformedRequestsAreRefused()
{
    QFETCH(QByteArray, bytes);
    MessageFrame::Mode mode;
    WindowMessage message;
    QCOMPARE(MessageFrame::decodeRequest(bytes, &mode, &message), MessageFrame::Status::Malformed);
}

void tst_MessageFrame::malformedRepliesAreRefused()
{
    bool handled;
    qint64 result;
    QByteArray bytes = MessageFrame::encodeReply(true, 0);
    QCOMPARE(MessageFrame::decodeReply(bytes + 'x', &handled, &result),
             MessageFrame::Status::Malformed);
    bytes[6] = 2;
    QCOMPARE(MessageFrame::decodeReply(bytes, &handled, &result), MessageFrame::Status::Malformed);
    QCOMPARE(
        MessageFrame::decodeReply(
            MessageFrame::encodeRequest(MessageFrame::Mode::Send, { 1, 2, 3 }), &handled, &result),
        MessageFrame::Status::Malformed);
}

QTEST_APPLESS_MAIN(tst_MessageFrame)
#include "tst_MessageFrame.moc"
