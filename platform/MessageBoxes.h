#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace Platform {

// Every message box of the program goes through here, so that a test can
// answer it instead of a person.
//
// With an answerer installed, no box is shown: the answerer gets the box and
// returns the button it "pressed". In a test build (KEYCRATE_TESTING), with
// KEYCRATE_TEST_ANSWER_BOXES set in the environment (for tests that run the
// program itself) every box is answered
// with Ok, or with Cancel or No when there is no Ok. Every box is reported to
// the logging category "keycrate.boxes" at info level.
class MessageBoxes
{
public:
    // System and SystemError are the desktop's own box (see system()).
    // Passphrase asks for a secret line (see passphrase()).
    enum class Kind { Information, Warning, Critical, Question, System, SystemError, Passphrase };

    struct Box
    {
        Kind kind;
        QWidget *parent;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        // A Passphrase box's answer goes here; null for the others.
        QString *entered = nullptr;
    };

    using Answerer = std::function<QMessageBox::StandardButton(const Box &box)>;

    static QMessageBox::StandardButton
    information(QWidget *parent, const QString &title, const QString &text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    static QMessageBox::StandardButton
    warning(QWidget *parent, const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    static QMessageBox::StandardButton
    critical(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    static QMessageBox::StandardButton
    question(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No);

    // The box the desktop itself shows for a request from another program: no
    // owner window, one OK button, kept above other windows so that it is
    // seen while the program's window is hidden.
    static void system(const QString &caption, const QString &text, bool isError);

    // Asks for a secret without showing it; false when cancelled (an
    // answerer gives Ok and fills box.entered to answer).
    static bool passphrase(QWidget *parent, const QString &title, const QString &text,
                           QString *entered);

    // Replaces the boxes; an empty answerer shows real boxes again.
    static void setAnswerer(Answerer answerer);

private:
    static QMessageBox::StandardButton ask(const Box &box);
};

} // namespace Platform
