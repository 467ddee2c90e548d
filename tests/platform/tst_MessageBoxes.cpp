#include "MessageBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>

using Platform::MessageBoxes;

class tst_MessageBoxes : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void theSystemBoxHasNoOwnerAndOneButton();
    void theEnvironmentAnswersBoxesForWholePrograms();
    void withoutAnAnswererARealBoxIsShown();
};

void tst_MessageBoxes::cleanup()
{
    MessageBoxes::setAnswerer({});
    qunsetenv("KEYCRATE_TEST_ANSWER_BOXES");
}

void tst_MessageBoxes::theSystemBoxHasNoOwnerAndOneButton()
{
    QList<MessageBoxes::Box> boxes;
    MessageBoxes::setAnswerer([&](const MessageBoxes::Box &box) {
        boxes.append(box);
        return QMessageBox::Ok;
    });
    MessageBoxes::system(QStringLiteral("KEYCRATE"), QStringLiteral("Operation successful!"),
                         false);
    MessageBoxes::system(QStringLiteral("Error"), QStringLiteral("Error locking/unlocking file!"),
                         true);
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes[0].kind, MessageBoxes::Kind::System);
    QCOMPARE(boxes[0].parent, nullptr);
    QCOMPARE(boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(boxes[1].kind, MessageBoxes::Kind::SystemError);
    QCOMPARE(boxes[1].title, QStringLiteral("Error"));
}

void tst_MessageBoxes::theEnvironmentAnswersBoxesForWholePrograms()
{
    qputenv("KEYCRATE_TEST_ANSWER_BOXES", "1");
    // Were a box shown, it would wait for a click: close it so the test fails
    // instead of hanging.
    bool shown = false;
    QTimer guard;
    connect(&guard, &QTimer::timeout, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            shown = true;
            modal->close();
        }
    });
    guard.start(50);
    QCOMPARE(MessageBoxes::critical(nullptr, QStringLiteral("Error"), QStringLiteral("x")),
             QMessageBox::Ok);
    QCOMPARE(MessageBoxes::question(nullptr, QStringLiteral("Q"), QStringLiteral("y")),
             QMessageBox::No);
    QCOMPARE(MessageBoxes::question(nullptr, QStringLiteral("Q"), QStringLiteral("z"),
                                    QMessageBox::Yes | QMessageBox::Cancel),
             QMessageBox::Cancel);
    MessageBoxes::system(QStringLiteral("KEYCRATE"), QStringLiteral("Operation successful!"),
                         false);
    QVERIFY(!shown);
}

void tst_MessageBoxes::withoutAnAnswererARealBoxIsShown()
{
    QString seenText;
    QTimer::singleShot(0, [&] {
        QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        seenText = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    QCOMPARE(MessageBoxes::information(nullptr, QStringLiteral("T"), QStringLiteral("real")),
             QMessageBox::Ok);
    QCOMPARE(seenText, QStringLiteral("real"));
}

QTEST_MAIN(tst_MessageBoxes)
#include "tst_MessageBoxes.moc"
